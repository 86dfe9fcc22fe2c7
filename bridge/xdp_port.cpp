#include "xdp_port.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <cerrno>
#include <cstring>
#include <linux/if_ether.h>
#include <linux/if_link.h>
#include <linux/if_xdp.h>
#include <net/if.h>
#include <ctime>
#include <sched.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>
#include <xdp/xsk.h>

namespace {

// Receive buffers: as many frames as the AF_PACKET ring holds at an MTU of 1500, so that a
// fast sender's TCP window fits while the guard waits for a processor.
const uint32_t RxFrames = 8192;
// Transmit buffers: many batches' worth; each is back as soon as the kernel sent it.
const uint32_t TxFrames = 2048;
// Outgoing frames handed to the kernel before it is asked to send them.
const uint32_t BatchFrames = 64;
// Tries for frames the device has no room for, a pause before each: a second in all.
const int BusyRetries = 20000;
const long BusyPauseNanoseconds = 50000;
const int BusyYields = 100;
// Room the kernel keeps before each received frame in its buffer (XDP_PACKET_HEADROOM).
const uint32_t KernelHeadroom = 256;
const uint32_t SmallChunk = 2048;
const uint32_t LargeChunk = 4096;
const uint32_t MacAddresses = 12;
const uint32_t VlanTagLength = 4;
const uint32_t TypeLength = 2;
// struct xdp_md: the receive queue's number.
const int16_t RxQueueIndexOffset = 16;
const int32_t XdpPass = 2;
const int32_t RedirectMapHelper = 51; // BPF_FUNC_redirect_map

std::string Errno(const std::string& what, int err) {
    return what + ": " + std::strerror(err);
}

uint16_t Big16(const uint8_t* p) {
    return uint16_t(p[0] << 8 | p[1]);
}

// Where the headers stand (Ethernet, IPv4, IPv6, TCP, UDP).
const uint32_t EtherTypeAt = 12;
const uint32_t EthernetLength = 14;
const uint16_t EtherTypeIpv4 = 0x0800;
const uint16_t EtherTypeIpv6 = 0x86DD;
const uint32_t Ipv4MinLength = 20;
const uint32_t Ipv4TotalLengthAt = 2;
const uint32_t Ipv4FragmentAt = 6;
const uint16_t Ipv4FragmentBits = 0x3FFF; // more fragments, and the offset
const uint32_t Ipv4ProtocolAt = 9;
const uint32_t Ipv4AddressesAt = 12;
const uint32_t Ipv4AddressesLength = 8;
const uint32_t Ipv6Length = 40;
const uint32_t Ipv6PayloadLengthAt = 4;
const uint32_t Ipv6NextHeaderAt = 6;
const uint32_t Ipv6AddressesAt = 8;
const uint32_t Ipv6AddressesLength = 32;
const uint8_t ProtocolTcp = 6;
const uint8_t ProtocolUdp = 17;
const uint32_t TcpChecksumAt = 16;
const uint32_t TcpMinLength = 20;
const uint32_t UdpChecksumAt = 6;
const uint32_t UdpLength = 8;

// The one's-complement sum of 16-bit words as they lie in memory; the sum does not depend
// on the byte order, so it is stored back the same way.
uint64_t AddWords(uint64_t sum, const uint8_t* p, uint32_t count) {
    for (; count >= 4; p += 4, count -= 4) {
        uint32_t word;
        std::memcpy(&word, p, sizeof word);
        sum += word;
    }
    if (count >= 2) {
        uint16_t half;
        std::memcpy(&half, p, sizeof half);
        sum += half;
        p += 2;
        count -= 2;
    }
    if (count > 0) {
        uint8_t last[2] = {p[0], 0};
        uint16_t half;
        std::memcpy(&half, last, sizeof half);
        sum += half;
    }
    return sum;
}

uint16_t Fold(uint64_t sum) {
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return uint16_t(sum);
}

uint16_t InMemoryOrder(uint16_t value) {
    uint8_t bytes[2] = {uint8_t(value >> 8), uint8_t(value)};
    uint16_t half;
    std::memcpy(&half, bytes, sizeof half);
    return half;
}

} // namespace

struct XdpPort::Rings {
    xsk_ring_prod fill{};
    xsk_ring_cons completion{};
    xsk_ring_cons rx{};
    xsk_ring_prod tx{};
};

void LiftVlanTag(ReceivedFrame* frame) {
    uint8_t* d = frame->data;
    if (frame->length < MacAddresses + VlanTagLength + TypeLength) {
        return;
    }
    uint16_t tpid = Big16(d + MacAddresses);
    if (tpid != ETH_P_8021Q && tpid != ETH_P_8021AD) {
        return;
    }
    frame->vlanPresent = true;
    frame->vlanTpid = tpid;
    frame->vlanTci = Big16(d + MacAddresses + 2);
    std::memmove(d + VlanTagLength, d, MacAddresses);
    frame->data = d + VlanTagLength;
    frame->length -= VlanTagLength;
    frame->wireLength = frame->length;
}

bool CompleteLeftChecksum(uint8_t* frame, uint32_t length) {
    if (length < EthernetLength) {
        return false;
    }
    uint16_t type = Big16(frame + EtherTypeAt);
    const uint8_t* ip = frame + EthernetLength;
    uint32_t room = length - EthernetLength;
    const uint8_t* addresses;
    uint32_t addressesLength;
    uint8_t protocol;
    uint8_t* l4;
    uint32_t l4Length;
    if (type == EtherTypeIpv4 && room >= Ipv4MinLength) {
        uint32_t headerLength = uint32_t(ip[0] & 0x0F) * 4;
        uint32_t total = Big16(ip + Ipv4TotalLengthAt);
        if (headerLength < Ipv4MinLength || total < headerLength || total > room ||
            (Big16(ip + Ipv4FragmentAt) & Ipv4FragmentBits) != 0) {
            return false;
        }
        addresses = ip + Ipv4AddressesAt;
        addressesLength = Ipv4AddressesLength;
        protocol = ip[Ipv4ProtocolAt];
        l4 = frame + EthernetLength + headerLength;
        l4Length = total - headerLength;
    } else if (type == EtherTypeIpv6 && room >= Ipv6Length) {
        l4Length = Big16(ip + Ipv6PayloadLengthAt);
        if (l4Length > room - Ipv6Length) {
            return false;
        }
        addresses = ip + Ipv6AddressesAt;
        addressesLength = Ipv6AddressesLength;
        protocol = ip[Ipv6NextHeaderAt];
        l4 = frame + EthernetLength + Ipv6Length;
    } else {
        return false;
    }
    uint32_t at = protocol == ProtocolTcp && l4Length >= TcpMinLength ? TcpChecksumAt
                  : protocol == ProtocolUdp && l4Length >= UdpLength  ? UdpChecksumAt
                                                                      : 0;
    if (at == 0) {
        return false;
    }
    uint64_t pseudo = AddWords(0, addresses, addressesLength);
    pseudo += InMemoryOrder(protocol);
    pseudo += InMemoryOrder(uint16_t(l4Length));
    uint16_t field;
    std::memcpy(&field, l4 + at, sizeof field);
    if (field != Fold(pseudo)) {
        return false;
    }
    std::memset(l4 + at, 0, sizeof field);
    uint16_t checksum = uint16_t(~Fold(AddWords(pseudo, l4, l4Length)));
    if (checksum == 0 && protocol == ProtocolUdp) {
        checksum = 0xFFFF; // 0 would say "no checksum"
    }
    std::memcpy(l4 + at, &checksum, sizeof checksum);
    return true;
}

uint32_t PutFrame(const ReceivedFrame& frame, uint8_t* out) {
    if (!frame.vlanPresent || frame.length < MacAddresses) {
        std::memcpy(out, frame.data, frame.length);
        return frame.length;
    }
    std::memcpy(out, frame.data, MacAddresses);
    out[MacAddresses] = uint8_t(frame.vlanTpid >> 8);
    out[MacAddresses + 1] = uint8_t(frame.vlanTpid);
    out[MacAddresses + 2] = uint8_t(frame.vlanTci >> 8);
    out[MacAddresses + 3] = uint8_t(frame.vlanTci);
    std::memcpy(out + MacAddresses + VlanTagLength, frame.data + MacAddresses,
                frame.length - MacAddresses);
    return frame.length + VlanTagLength;
}

XdpPort::XdpPort() = default;

XdpPort::~XdpPort() {
    Close();
    if (programFd_ >= 0) {
        close(programFd_);
    }
    if (mapFd_ >= 0) {
        close(mapFd_);
    }
}

// The program: every frame goes to the socket of its receive queue, if there is one, and
// to the interface's own stack otherwise (while the guard is not forwarding).
bool XdpPort::LoadProgram(std::string* error) {
    if (programFd_ >= 0) {
        return true;
    }
    mapFd_ =
        bpf_map_create(BPF_MAP_TYPE_XSKMAP, "mf_xsks", sizeof(uint32_t), sizeof(int), 1, nullptr);
    if (mapFd_ < 0) {
        *error = Errno("socket map for " + name_, errno);
        return false;
    }
    const bpf_insn program[] = {
        // r2 = ctx->rx_queue_index
        {BPF_LDX | BPF_MEM | BPF_W, BPF_REG_2, BPF_REG_1, RxQueueIndexOffset, 0},
        // r1 = the socket map (a 64-bit immediate over two instructions)
        {BPF_LD | BPF_DW | BPF_IMM, BPF_REG_1, BPF_PSEUDO_MAP_FD, 0, mapFd_},
        {0, 0, 0, 0, 0},
        // r3 = the action when the map has no socket for the queue
        {BPF_ALU64 | BPF_MOV | BPF_K, BPF_REG_3, 0, 0, XdpPass},
        {BPF_JMP | BPF_CALL, 0, 0, 0, RedirectMapHelper},
        {BPF_JMP | BPF_EXIT, 0, 0, 0, 0},
    };
    programFd_ = bpf_prog_load(BPF_PROG_TYPE_XDP, "mf_to_socket", "Dual BSD/GPL", program,
                               sizeof program / sizeof program[0], nullptr);
    if (programFd_ < 0) {
        *error = Errno("XDP program for " + name_, errno);
        return false;
    }
    return true;
}

void XdpPort::Close() {
    // Frames handed to the transmit ring and not yet sent (none between bursts) go with it;
    // their receive buffers went back when they were queued.
    queued_ = 0;
    if (socket_ != nullptr) {
        dropsBefore_ = ReceiveDrops();
        if (if_nametoindex(name_.c_str()) == index_) {
            bpf_xdp_detach(int(index_), XDP_FLAGS_DRV_MODE, nullptr);
        }
        xsk_socket__delete(socket_);
        socket_ = nullptr;
    }
    if (umem_ != nullptr) {
        xsk_umem__delete(umem_);
        umem_ = nullptr;
    }
    if (area_ != nullptr) {
        munmap(area_, areaLength_);
        area_ = nullptr;
    }
    rings_.reset();
    freeTx_.clear();
    fd_ = -1;
    index_ = 0;
}

bool XdpPort::Open(const std::string& interface, uint32_t maxFrame, std::string* error) {
    Close();
    name_ = interface;
    maxFrame_ = maxFrame;
    unsigned index = if_nametoindex(interface.c_str());
    if (index == 0) {
        *error = Errno("interface " + interface, errno);
        return false;
    }
    if (!LoadProgram(error)) {
        return false;
    }
    chunk_ = maxFrame + KernelHeadroom <= SmallChunk   ? SmallChunk
             : maxFrame + KernelHeadroom <= LargeChunk ? LargeChunk
                                                       : 0;
    if (chunk_ == 0) {
        *error = interface + ": frames of " + std::to_string(maxFrame) +
                 " bytes do not fit an AF_XDP buffer (at most " +
                 std::to_string(LargeChunk - KernelHeadroom) + ")";
        return false;
    }
    areaLength_ = size_t(RxFrames + TxFrames) * chunk_;
    void* area = mmap(nullptr, areaLength_, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (area == MAP_FAILED) {
        *error = Errno("AF_XDP buffers for " + interface, errno);
        return false;
    }
    area_ = static_cast<uint8_t*>(area);
    rings_.reset(new Rings);
    xsk_umem_config umemConfig{};
    umemConfig.fill_size = RxFrames;
    umemConfig.comp_size = TxFrames;
    umemConfig.frame_size = chunk_;
    umemConfig.frame_headroom = 0;
    int err = xsk_umem__create(&umem_, area_, areaLength_, &rings_->fill, &rings_->completion,
                               &umemConfig);
    if (err != 0) {
        umem_ = nullptr;
        *error = Errno("AF_XDP buffers of " + interface, -err);
        return false;
    }
    xsk_socket_config config{};
    config.rx_size = RxFrames;
    config.tx_size = TxFrames;
    config.libxdp_flags = XSK_LIBXDP_FLAGS__INHIBIT_PROG_LOAD;
    config.xdp_flags = XDP_FLAGS_DRV_MODE;
    config.bind_flags = XDP_COPY;
    err = xsk_socket__create(&socket_, interface.c_str(), 0, umem_, &rings_->rx, &rings_->tx,
                             &config);
    if (err != 0) {
        socket_ = nullptr;
        *error = Errno("AF_XDP socket on " + interface, -err);
        return false;
    }
    fd_ = xsk_socket__fd(socket_);
    // Every receive buffer to the kernel; the transmit buffers to the guard.
    uint32_t at = 0;
    if (xsk_ring_prod__reserve(&rings_->fill, RxFrames, &at) != RxFrames) {
        *error = interface + ": the fill ring has no room for the receive buffers";
        Close();
        return false;
    }
    for (uint32_t i = 0; i < RxFrames; ++i) {
        *xsk_ring_prod__fill_addr(&rings_->fill, at + i) = uint64_t(i) * chunk_;
    }
    xsk_ring_prod__submit(&rings_->fill, RxFrames);
    for (uint32_t i = 0; i < TxFrames; ++i) {
        freeTx_.push_back(uint64_t(RxFrames + i) * chunk_);
    }
    uint32_t queue = 0;
    if (bpf_map_update_elem(mapFd_, &queue, &fd_, BPF_ANY) != 0) {
        err = errno;
        Close();
        *error = Errno("AF_XDP socket map of " + interface, err);
        return false;
    }
    err = bpf_xdp_attach(int(index), programFd_, XDP_FLAGS_DRV_MODE, nullptr);
    if (err != 0) {
        Close();
        *error = Errno("XDP program on " + interface + " (native mode)", -err);
        return false;
    }
    index_ = index;
    return true;
}

bool XdpPort::Next(ReceivedFrame* frame) {
    uint32_t at = 0;
    if (socket_ == nullptr || xsk_ring_cons__peek(&rings_->rx, 1, &at) == 0) {
        return false;
    }
    const xdp_desc* d = xsk_ring_cons__rx_desc(&rings_->rx, at);
    uint8_t* data = static_cast<uint8_t*>(xsk_umem__get_data(area_, d->addr));
    uint32_t length = d->len;
    xsk_ring_cons__release(&rings_->rx, 1);
    *frame = ReceivedFrame{};
    frame->data = data;
    frame->length = length;
    frame->wireLength = length;
    frame->slot = data;
    frame->port = this;
    LiftVlanTag(frame);
    if (CompleteLeftChecksum(frame->data, frame->length)) {
        frame->offload.flags = VirtioNeedsChecksum; // counted as the rings count it
    }
    return true;
}

void XdpPort::Release(const ReceivedFrame& frame) {
    if (socket_ == nullptr) {
        return; // closed since: its buffers are gone with it
    }
    uint64_t offset = uint64_t(static_cast<uint8_t*>(frame.slot) - area_);
    uint32_t at = 0;
    // The fill ring holds every receive buffer, so there is always room for this one.
    if (xsk_ring_prod__reserve(&rings_->fill, 1, &at) == 1) {
        *xsk_ring_prod__fill_addr(&rings_->fill, at) = offset - offset % chunk_;
        xsk_ring_prod__submit(&rings_->fill, 1);
    }
}

void XdpPort::Reclaim() {
    uint32_t at = 0;
    uint32_t done = xsk_ring_cons__peek(&rings_->completion, TxFrames, &at);
    for (uint32_t i = 0; i < done; ++i) {
        freeTx_.push_back(*xsk_ring_cons__comp_addr(&rings_->completion, at + i));
    }
    xsk_ring_cons__release(&rings_->completion, done);
}

bool XdpPort::TakeTxBuffer(uint64_t* address) {
    if (socket_ == nullptr) {
        return false;
    }
    if (freeTx_.empty()) {
        Reclaim();
    }
    if (freeTx_.empty()) {
        return false;
    }
    *address = freeTx_.back();
    freeTx_.pop_back();
    return true;
}

void XdpPort::Queue(const ReceivedFrame& frame, bool /*rewritten*/, uint64_t* lost) {
    if (queued_ == BatchFrames) {
        Flush(lost);
    }
    uint64_t address = 0;
    uint32_t at = 0;
    if (socket_ == nullptr || frame.length + VlanTagLength > chunk_ ||
        (!TakeTxBuffer(&address) && (Flush(lost), !TakeTxBuffer(&address)))) {
        ++*lost; // the interface is gone, or every buffer stayed with the kernel
        frame.port->Release(frame);
        return;
    }
    // The transmit ring is as large as the buffers it can point to: a buffer taken means room.
    xsk_ring_prod__reserve(&rings_->tx, 1, &at);
    xdp_desc* d = xsk_ring_prod__tx_desc(&rings_->tx, at);
    d->addr = address;
    d->len = PutFrame(frame, area_ + address);
    d->options = 0;
    xsk_ring_prod__submit(&rings_->tx, 1);
    ++queued_;
    frame.port->Release(frame);
}

void XdpPort::Flush(uint64_t* lost) {
    if (queued_ == 0 || socket_ == nullptr) {
        queued_ = 0;
        return;
    }
    // In copy mode the kernel sends only when asked, a few dozen frames each time; the
    // frames are sent once it has taken them all from the ring.
    int busy = 0;
    for (;;) {
        uint32_t taken = __atomic_load_n(rings_->tx.consumer, __ATOMIC_ACQUIRE);
        if (taken == rings_->tx.cached_prod) {
            break;
        }
        if (sendto(fd_, nullptr, 0, MSG_DONTWAIT, nullptr, 0) >= 0 || errno == EINTR) {
            continue;
        }
        if ((errno == EAGAIN || errno == EBUSY || errno == ENOBUFS) && ++busy < BusyRetries) {
            // The device is full: the receiver's thread needs a processor to empty it (a
            // poll would return at once, the transmit ring having room). After a few
            // turns given up, the guard sleeps a little.
            if (busy <= BusyYields) {
                sched_yield();
            } else {
                timespec pause{0, BusyPauseNanoseconds};
                nanosleep(&pause, nullptr);
            }
            continue;
        }
        // The link is down (or stayed busy): what the ring still holds cannot be taken
        // back, so the socket starts again empty and those frames are lost.
        int err = errno;
        *lost += rings_->tx.cached_prod - taken;
        std::string error;
        bool reopened = Open(name_, maxFrame_, &error);
        std::string line = "merrowfaldine-guard: " + Errno(name_ + ": sending", err) +
                           (reopened ? "; the socket was opened again\n"
                                     : "; opening it again failed: " + error + "\n");
        ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
        (void)ignored;
        break;
    }
    queued_ = 0;
    if (socket_ != nullptr) {
        Reclaim();
    }
}

int XdpPort::TakeError() {
    int err = 0;
    socklen_t len = sizeof err;
    if (fd_ >= 0) {
        getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
    }
    return err;
}

uint64_t XdpPort::ReceiveDrops() {
    xdp_statistics stats{};
    socklen_t len = sizeof stats;
    if (fd_ < 0 || getsockopt(fd_, SOL_XDP, XDP_STATISTICS, &stats, &len) != 0) {
        return dropsBefore_;
    }
    return dropsBefore_ + stats.rx_dropped + stats.rx_ring_full + stats.rx_invalid_descs;
}
