#include "kernel_pass.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <cerrno>
#include <cstring>
#include <linux/bpf.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "frame_port.h"

namespace {

// The tcx attach type (newer than the system's headers) and the helpers' numbers.
const int AttachTcxIngress = 46; // BPF_TCX_INGRESS
const int32_t HelperMapLookup = 1;
const int32_t HelperRedirect = 23;
const int32_t TcPass = 0;       // TC_ACT_OK: on to the interface's own stack
const int32_t WholeFrame = -1;  // a socket filter's "keep every byte"
const int32_t NotForSocket = 0; // a socket filter's "not for this socket"

// struct __sk_buff
const int16_t SkbLenAt = 0;
const int16_t SkbVlanPresentAt = 20;

// The frame, from its Ethernet header (where both kinds of program see it start).
const int32_t EtherTypeAt = 12;
const int32_t EthernetLength = 14;
const int32_t EtherTypeIpv4 = 0x0800;
const int32_t EtherTypeIpv6 = 0x86DD;
const int32_t Ipv4MinLength = 20;
const int32_t Ipv4FragmentAt = EthernetLength + 6;
const int32_t Ipv4FragmentBits = 0x3FFF; // more fragments, and the offset
const int32_t Ipv4ProtocolAt = EthernetLength + 9;
const int32_t Ipv6Length = 40;
const int32_t Ipv6NextHeaderAt = EthernetLength + 6;
const int32_t ProtocolTcp = 6;
const int32_t TcpPortsLength = 4;
const int32_t SmbPorts[] = {445, 139};

// A straight-line program with forward jumps to named labels, resolved by Finish.
class Assembler {
  public:
    void Emit(uint8_t code, uint8_t dst, uint8_t src, int16_t off, int32_t imm) {
        insns_.push_back(bpf_insn{code, dst, src, off, imm});
    }
    // if (dst op imm) goto label
    void JumpIf(uint8_t op, uint8_t dst, int32_t imm, int label) {
        jumps_.push_back({insns_.size(), label});
        Emit(BPF_JMP | op | BPF_K, dst, 0, 0, imm);
    }
    // if (dst op src) goto label
    void JumpIfReg(uint8_t op, uint8_t dst, uint8_t src, int label) {
        jumps_.push_back({insns_.size(), label});
        Emit(BPF_JMP | op | BPF_X, dst, src, 0, 0);
    }
    void Goto(int label) {
        jumps_.push_back({insns_.size(), label});
        Emit(BPF_JMP | BPF_JA, 0, 0, 0, 0);
    }
    void Label(int label) {
        if (labels_.size() <= size_t(label)) {
            labels_.resize(size_t(label) + 1, SIZE_MAX);
        }
        labels_[size_t(label)] = insns_.size();
    }
    void LoadMap(uint8_t dst, int fd) {
        Emit(BPF_LD | BPF_DW | BPF_IMM, dst, BPF_PSEUDO_MAP_FD, 0, fd);
        Emit(0, 0, 0, 0, 0);
    }
    // r0 = the map's value for key `side` (or 0), through a key on the stack.
    void LookUp(int fd, int32_t side) {
        Emit(BPF_ST | BPF_MEM | BPF_W, BPF_REG_10, 0, -4, side);
        Emit(BPF_ALU64 | BPF_MOV | BPF_X, BPF_REG_2, BPF_REG_10, 0, 0);
        Emit(BPF_ALU64 | BPF_ADD | BPF_K, BPF_REG_2, 0, 0, -4);
        LoadMap(BPF_REG_1, fd);
        Emit(BPF_JMP | BPF_CALL, 0, 0, 0, HelperMapLookup);
    }
    void Return(int32_t value) {
        Emit(BPF_ALU | BPF_MOV | BPF_K, BPF_REG_0, 0, 0, value);
        Emit(BPF_JMP | BPF_EXIT, 0, 0, 0, 0);
    }
    const std::vector<bpf_insn>& Finish() {
        for (const auto& [at, label] : jumps_) {
            insns_[at].off = int16_t(labels_.at(size_t(label)) - at - 1);
        }
        return insns_;
    }

  private:
    std::vector<bpf_insn> insns_;
    std::vector<std::pair<size_t, int>> jumps_;
    std::vector<size_t> labels_;
};

enum Labels { Keep, Pass, Ipv4, Ports, Send };

// Falls through to Pass for a frame the guard has no use for and jumps to Keep for every
// other. Each read is checked against the frame's length first: a load past the end
// would end either program with 0, which means opposite things to the two of them.
// r6 holds the context (the frame loads need it there), r8 the length, r7 the offset of
// the TCP header beyond the Ethernet header.
void EmitDecision(Assembler& a) {
    a.Emit(BPF_ALU64 | BPF_MOV | BPF_X, BPF_REG_6, BPF_REG_1, 0, 0);
    a.Emit(BPF_LDX | BPF_MEM | BPF_W, BPF_REG_0, BPF_REG_6, SkbVlanPresentAt, 0);
    a.JumpIf(BPF_JNE, BPF_REG_0, 0, Keep);
    a.Emit(BPF_LDX | BPF_MEM | BPF_W, BPF_REG_8, BPF_REG_6, SkbLenAt, 0);
    a.JumpIf(BPF_JLT, BPF_REG_8, EthernetLength + Ipv4MinLength + TcpPortsLength, Keep);
    a.Emit(BPF_LD | BPF_ABS | BPF_H, 0, 0, 0, EtherTypeAt);
    a.JumpIf(BPF_JEQ, BPF_REG_0, EtherTypeIpv4, Ipv4);
    a.JumpIf(BPF_JNE, BPF_REG_0, EtherTypeIpv6, Keep);
    // IPv6: TCP must follow the fixed header directly.
    a.JumpIf(BPF_JLT, BPF_REG_8, EthernetLength + Ipv6Length + TcpPortsLength, Keep);
    a.Emit(BPF_LD | BPF_ABS | BPF_B, 0, 0, 0, Ipv6NextHeaderAt);
    a.JumpIf(BPF_JNE, BPF_REG_0, ProtocolTcp, Keep);
    a.Emit(BPF_ALU64 | BPF_MOV | BPF_K, BPF_REG_7, 0, 0, Ipv6Length);
    a.Goto(Ports);
    a.Label(Ipv4);
    a.Emit(BPF_LD | BPF_ABS | BPF_B, 0, 0, 0, Ipv4ProtocolAt);
    a.JumpIf(BPF_JNE, BPF_REG_0, ProtocolTcp, Keep);
    a.Emit(BPF_LD | BPF_ABS | BPF_H, 0, 0, 0, Ipv4FragmentAt);
    a.Emit(BPF_ALU | BPF_AND | BPF_K, BPF_REG_0, 0, 0, Ipv4FragmentBits);
    a.JumpIf(BPF_JNE, BPF_REG_0, 0, Keep);
    a.Emit(BPF_LD | BPF_ABS | BPF_B, 0, 0, 0, EthernetLength);
    a.Emit(BPF_ALU | BPF_AND | BPF_K, BPF_REG_0, 0, 0, 0x0F);
    a.Emit(BPF_ALU | BPF_LSH | BPF_K, BPF_REG_0, 0, 0, 2);
    a.JumpIf(BPF_JLT, BPF_REG_0, Ipv4MinLength, Keep);
    a.Emit(BPF_ALU64 | BPF_MOV | BPF_X, BPF_REG_7, BPF_REG_0, 0, 0);
    a.Label(Ports);
    // r0 = where the ports end; the frame must hold them.
    a.Emit(BPF_ALU64 | BPF_MOV | BPF_X, BPF_REG_0, BPF_REG_7, 0, 0);
    a.Emit(BPF_ALU64 | BPF_ADD | BPF_K, BPF_REG_0, 0, 0, EthernetLength + TcpPortsLength);
    a.JumpIfReg(BPF_JGT, BPF_REG_0, BPF_REG_8, Keep);
    for (int32_t at : {EthernetLength, EthernetLength + 2}) {
        a.Emit(BPF_LD | BPF_IND | BPF_H, 0, BPF_REG_7, 0, at);
        for (int32_t port : SmbPorts) {
            a.JumpIf(BPF_JEQ, BPF_REG_0, port, Keep);
        }
    }
    a.Label(Pass);
}

// Ends Pass for a side with no target at Keep; leaves the target in r1 otherwise.
void EmitTarget(Assembler& a, int targetsFd, int32_t side) {
    a.LookUp(targetsFd, side);
    a.JumpIf(BPF_JEQ, BPF_REG_0, 0, Keep);
    a.Emit(BPF_LDX | BPF_MEM | BPF_W, BPF_REG_1, BPF_REG_0, 0, 0);
    a.JumpIf(BPF_JEQ, BPF_REG_1, 0, Keep);
}

std::string Errno(const std::string& what, int err) {
    return what + ": " + std::strerror(err);
}

void CloseFd(int* fd) {
    if (*fd >= 0) {
        close(*fd);
        *fd = -1;
    }
}

} // namespace

std::vector<bpf_insn> KernelPassSocketFilter(int targetsFd, int32_t side) {
    Assembler a;
    EmitDecision(a);
    EmitTarget(a, targetsFd, side);
    a.Return(NotForSocket);
    a.Label(Keep);
    a.Return(WholeFrame);
    return a.Finish();
}

std::vector<bpf_insn> KernelPassIngress(int targetsFd, int passedFd, int32_t side) {
    Assembler a;
    EmitDecision(a);
    EmitTarget(a, targetsFd, side);
    a.Emit(BPF_ALU64 | BPF_MOV | BPF_X, BPF_REG_7, BPF_REG_1, 0, 0);
    a.LookUp(passedFd, side);
    a.Emit(BPF_ALU64 | BPF_MOV | BPF_X, BPF_REG_1, BPF_REG_7, 0, 0);
    a.Emit(BPF_ALU64 | BPF_MOV | BPF_K, BPF_REG_2, 0, 0, 0); // out of the interface
    a.JumpIf(BPF_JEQ, BPF_REG_0, 0, Send);                   // an array's entries are always there
    a.Emit(BPF_LDX | BPF_MEM | BPF_DW, BPF_REG_3, BPF_REG_0, 0, 0);
    a.Emit(BPF_ALU64 | BPF_ADD | BPF_K, BPF_REG_3, 0, 0, 1);
    a.Emit(BPF_STX | BPF_MEM | BPF_DW, BPF_REG_0, BPF_REG_3, 0, 0);
    a.Label(Send);
    a.Emit(BPF_JMP | BPF_CALL, 0, 0, 0, HelperRedirect);
    a.Emit(BPF_JMP | BPF_EXIT, 0, 0, 0, 0);
    a.Label(Keep);
    a.Return(TcPass);
    return a.Finish();
}

KernelPass::~KernelPass() {
    Stop();
    for (int side = 0; side < 2; ++side) {
        CloseFd(&filterFd_[side]);
        CloseFd(&ingressFd_[side]);
    }
    CloseFd(&targetsFd_);
    CloseFd(&passedFd_);
}

bool KernelPass::Load(std::string* error) {
    if (Loaded()) {
        return true;
    }
    int targets = bpf_map_create(BPF_MAP_TYPE_ARRAY, "mf_targets", sizeof(uint32_t),
                                 sizeof(uint32_t), 2, nullptr);
    if (targets < 0) {
        *error = Errno(errno == EPERM ? "loading the kernel pass needs cap_bpf"
                                      : "the table of the kernel pass",
                       errno);
        return false;
    }
    passedFd_ = bpf_map_create(BPF_MAP_TYPE_PERCPU_ARRAY, "mf_passed", sizeof(uint32_t),
                               sizeof(uint64_t), 2, nullptr);
    if (passedFd_ < 0) {
        *error = Errno("the counters of the kernel pass", errno);
        close(targets);
        return false;
    }
    for (int side = 0; side < 2; ++side) {
        std::vector<bpf_insn> filter = KernelPassSocketFilter(targets, side);
        filterFd_[side] = bpf_prog_load(BPF_PROG_TYPE_SOCKET_FILTER, "mf_not_for_guard",
                                        "Dual BSD/GPL", filter.data(), filter.size(), nullptr);
        std::vector<bpf_insn> ingress = KernelPassIngress(targets, passedFd_, side);
        ingressFd_[side] = bpf_prog_load(BPF_PROG_TYPE_SCHED_CLS, "mf_pass_on", "Dual BSD/GPL",
                                         ingress.data(), ingress.size(), nullptr);
        if (filterFd_[side] < 0 || ingressFd_[side] < 0) {
            *error = Errno("the programs of the kernel pass", errno);
            for (int s = 0; s <= side; ++s) {
                CloseFd(&filterFd_[s]);
                CloseFd(&ingressFd_[s]);
            }
            CloseFd(&passedFd_);
            close(targets);
            return false;
        }
    }
    targetsFd_ = targets;
    return true;
}

void KernelPass::SetTarget(int side, uint32_t index) {
    if (target_[side] == index) {
        return;
    }
    uint32_t key = uint32_t(side);
    bpf_map_update_elem(targetsFd_, &key, &index, BPF_ANY);
    target_[side] = index;
}

// The filter first and the link second: both pass nothing while the side's target is 0,
// so the order does not matter to the frames; the target is set last.
bool KernelPass::AttachSide(int side, FramePort* from, FramePort* to, std::string* error) {
    if (filteredSocket_[side] != from->Descriptor()) {
        if (setsockopt(from->Descriptor(), SOL_SOCKET, SO_ATTACH_BPF, &filterFd_[side],
                       sizeof filterFd_[side]) != 0) {
            *error = Errno("the kernel pass's filter on " + from->Name(), errno);
            return false;
        }
        filteredSocket_[side] = from->Descriptor();
    }
    if (linkIndex_[side] != from->Index()) {
        CloseFd(&linkFd_[side]);
        linkIndex_[side] = 0;
        int link = bpf_link_create(ingressFd_[side], int(from->Index()),
                                   bpf_attach_type(AttachTcxIngress), nullptr);
        if (link < 0) {
            *error = Errno("the kernel pass on " + from->Name(), errno);
            return false;
        }
        linkFd_[side] = link;
        linkIndex_[side] = from->Index();
    }
    SetTarget(side, to->Index());
    return true;
}

bool KernelPass::Follow(FramePort* ports[2], std::string* error) {
    if (!Loaded()) {
        return true;
    }
    bool ok = true;
    for (int side = 0; side < 2; ++side) {
        FramePort* from = ports[side];
        FramePort* to = ports[1 - side];
        bool wanted = from->IsOpen() && to->IsOpen();
        // A target that changes goes through 0, so no frame is sent to a stale index.
        if (!wanted || target_[side] != to->Index() || linkIndex_[side] != from->Index()) {
            SetTarget(side, 0);
        }
        if (!from->IsOpen()) {
            filteredSocket_[side] = -1;
        }
        if (wanted && !AttachSide(side, from, to, error)) {
            SetTarget(side, 0);
            ok = false;
        }
    }
    return ok;
}

void KernelPass::Stop() {
    if (!Loaded()) {
        return;
    }
    for (int side = 0; side < 2; ++side) {
        SetTarget(side, 0);
        CloseFd(&linkFd_[side]);
        linkIndex_[side] = 0;
        filteredSocket_[side] = -1;
    }
}

uint64_t KernelPass::Passed(int side) const {
    if (passedFd_ < 0) {
        return 0;
    }
    int processors = libbpf_num_possible_cpus();
    if (processors <= 0) {
        return 0;
    }
    std::vector<uint64_t> values(size_t(processors), 0);
    uint32_t key = uint32_t(side);
    if (bpf_map_lookup_elem(passedFd_, &key, values.data()) != 0) {
        return 0;
    }
    uint64_t sum = 0;
    for (uint64_t v : values) {
        sum += v;
    }
    return sum;
}
