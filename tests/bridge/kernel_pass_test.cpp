#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <cerrno>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "frames.h"
#include "kernel_pass.h"

namespace {

const int32_t TcActRedirect = 7;
const uint32_t WholeFrame = 0xFFFFFFFF;
const uint32_t SomeInterface = 7;
// A test run of a socket filter starts the frame after an Ethernet header, as a socket of
// IP would see it; a packet socket sees the frame from its own Ethernet header, so a
// header of a local EtherType goes in front.
const Bytes OuterEthernet = {2, 0, 0, 0, 0, 1, 2, 0, 0, 0, 0, 2, 0x88, 0xB5};

uint32_t TestRun(int program, const Bytes& frame) {
    Bytes data = frame;
    LIBBPF_OPTS(bpf_test_run_opts, run, .data_in = data.data(),
                .data_size_in = uint32_t(data.size()), .repeat = 1);
    int err = bpf_prog_test_run_opts(program, &run);
    EXPECT_EQ(err, 0) << "test run: " << errno;
    return run.retval;
}

Bytes Cut(Bytes frame, size_t length) {
    frame.resize(length);
    return frame;
}

struct Case {
    const char* what;
    Bytes frame;
    int side;
    bool passes;
};

} // namespace

// Both programs of a side, as the kernel's verifier takes them, run on a table of frames:
// the socket filter keeps a frame out of the ring exactly when the ingress program sends
// it on (never both, never neither), and they do so only for TCP of neither SMB port, of a
// side that has a target, and with every byte they read inside the frame.
TEST(KernelPass, BothProgramsPassExactlyTheTcpOfNeitherSmbPort) {
    int targets = bpf_map_create(BPF_MAP_TYPE_ARRAY, "test_targets", 4, 4, 2, nullptr);
    if (targets < 0 && (errno == EPERM || errno == EACCES)) {
        GTEST_SKIP() << "loading programs needs CAP_BPF";
    }
    ASSERT_GE(targets, 0) << errno;
    int passed = bpf_map_create(BPF_MAP_TYPE_PERCPU_ARRAY, "test_passed", 4, 8, 2, nullptr);
    ASSERT_GE(passed, 0) << errno;
    uint32_t key = 0;
    uint32_t target = SomeInterface;
    ASSERT_EQ(bpf_map_update_elem(targets, &key, &target, BPF_ANY), 0);
    int filters[2];
    int ingress[2];
    char log[4096];
    for (int side = 0; side < 2; ++side) {
        LIBBPF_OPTS(bpf_prog_load_opts, load, .log_level = 1, .log_size = sizeof log,
                    .log_buf = log);
        std::vector<bpf_insn> f = KernelPassSocketFilter(targets, side);
        filters[side] = bpf_prog_load(BPF_PROG_TYPE_SOCKET_FILTER, "test_filter", "Dual BSD/GPL",
                                      f.data(), f.size(), &load);
        ASSERT_GE(filters[side], 0) << log;
        std::vector<bpf_insn> i = KernelPassIngress(targets, passed, side);
        ingress[side] = bpf_prog_load(BPF_PROG_TYPE_SCHED_CLS, "test_ingress", "Dual BSD/GPL",
                                      i.data(), i.size(), &load);
        ASSERT_GE(ingress[side], 0) << log;
    }

    const Endpoint client = TestClient(10, 50000);
    const Endpoint other = TestServer(5201);
    const Bytes payload(32, 0x55);
    auto v4 = [&](const Endpoint& from, const Endpoint& to, TcpFrameOptions o = {}) {
        o.nextInStream = false;
        return BuildTcpFrame(from, to, payload, o);
    };
    auto with = [](auto set) {
        TcpFrameOptions o;
        set(o);
        return o;
    };
    const Bytes hopByHop = {6, 0, 1, 4, 0, 0, 0, 0}; // next: TCP; a PadN option
    const std::vector<Case> cases = {
        {"IPv4 TCP of other ports", v4(client, other), 0, true},
        {"IPv4 TCP to 445", v4(client, TestServer(445)), 0, false},
        {"IPv4 TCP from 445", v4(TestServer(445), client), 0, false},
        {"IPv4 TCP to 139", v4(client, TestServer(139)), 0, false},
        {"IPv4 TCP from 139", v4(TestServer(139), client), 0, false},
        {"IPv4 with options, other ports",
         v4(client, other, with([](auto& o) { o.ipHeaderWords = 6; })), 0, true},
        {"IPv4 with options, to 445",
         v4(client, TestServer(445), with([](auto& o) { o.ipHeaderWords = 6; })), 0, false},
        {"IPv4 first fragment",
         v4(client, other, with([](auto& o) { o.flagsAndFragment = 0x2000; })), 0, false},
        {"IPv4 later fragment",
         v4(client, other, with([](auto& o) { o.flagsAndFragment = 0x0010; })), 0, false},
        {"IPv4 UDP", v4(client, other, with([](auto& o) { o.protocol = 17; })), 0, false},
        {"IPv4 header shorter than 20 bytes",
         v4(client, other, with([](auto& o) { o.ipHeaderWords = 4; })), 0, false},
        {"IPv4 ports cut off", Cut(v4(client, other), FrameTcp + 3), 0, false},
        {"IPv4 header longer than the frame",
         Cut(v4(client, other, with([](auto& o) { o.ipHeaderWords = 15; })), FramePayload), 0,
         false},
        {"IPv6 TCP of other ports", ToIpv6Frame(v4(client, other)), 0, true},
        {"IPv6 TCP to 445", ToIpv6Frame(v4(client, TestServer(445))), 0, false},
        {"IPv6 TCP from 139", ToIpv6Frame(v4(TestServer(139), client)), 0, false},
        {"IPv6 with an extension header", ToIpv6Frame(v4(client, other), hopByHop, 0), 0, false},
        {"IPv6 ports cut off", Cut(ToIpv6Frame(v4(client, other)), FrameTcp + Ipv6ExtraBytes + 3),
         0, false},
        {"ARP", v4(client, other, with([](auto& o) { o.etherType = 0x0806; })), 0, false},
        {"a local EtherType", v4(client, other, with([](auto& o) { o.etherType = 0x88B5; })), 0,
         false},
        {"IPv4 TCP of other ports, on a side with no target", v4(client, other), 1, false},
    };
    uint64_t sent = 0;
    for (const Case& c : cases) {
        Bytes asSocketSees = OuterEthernet;
        asSocketSees.insert(asSocketSees.end(), c.frame.begin(), c.frame.end());
        uint32_t filtered = TestRun(filters[c.side], asSocketSees);
        uint32_t ingressed = TestRun(ingress[c.side], c.frame);
        EXPECT_EQ(filtered, c.passes ? 0 : WholeFrame) << c.what;
        EXPECT_EQ(ingressed, uint32_t(c.passes ? TcActRedirect : 0)) << c.what;
        sent += c.passes ? 1 : 0;
    }
    int processors = libbpf_num_possible_cpus();
    ASSERT_GT(processors, 0);
    for (uint32_t side = 0; side < 2; ++side) {
        std::vector<uint64_t> counts(size_t(processors), 0);
        ASSERT_EQ(bpf_map_lookup_elem(passed, &side, counts.data()), 0);
        uint64_t sum = 0;
        for (uint64_t n : counts) {
            sum += n;
        }
        EXPECT_EQ(sum, side == 0 ? sent : 0) << "frames counted as passed on side " << side;
    }
    for (int fd : {filters[0], filters[1], ingress[0], ingress[1], targets, passed}) {
        close(fd);
    }
}
