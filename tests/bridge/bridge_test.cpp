// The live guard's own pieces, without interfaces: the checksum offload request, the SMB frame
// test, and the control socket's request and follow protocol.
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "checksum.h"
#include "control_socket.h"
#include "engine_state.h"
#include "forwarding.h"
#include "frames.h"
#include "guard_engine.h"
#include "policy_builders.h"
#include "port_pair.h"
#include "ring.h"
#include "xdp_port.h"
#include "sim.h"

namespace {

// A policy is in force whole or not at all: whichever allocation of a push fails, the guard
// ends with every part of the new policy or every part of the one before.
TEST(GuardPolicy, APushRefusedPartWayPutsThePreviousPolicyBack) {
    auto make = [](const char* tag, uint32_t address, bool learning) {
        Policy p;
        p.settings.LearningEnabled = learning;
        p.knownClients.UserCount = 1;
        SetField(p.knownClients.Users[0], NameUnits, tag);
        p.admission.resize(2);
        std::memset(p.admission.data(), 0, 2 * sizeof(AdmissionEntry));
        p.admission[0].ClientAddress = address;
        p.admission[1].ClientAddress = address + 1;
        p.templates.push_back(Rule(std::string("t") + tag, "", "1"));
        p.rules.push_back(Rule(std::string("r") + tag, "alice", "01"));
        return p;
    };
    const Policy previous = make("old", 0x0A0200C0, true);
    const Policy next = make("new", 0x140200C0, false);
    auto inForce = [](const Policy& p) {
        uint8_t value = 0;
        return g_Engine.Settings->LearningEnabled == p.settings.LearningEnabled &&
               Ascii(g_Engine.KnownClients->Users[0]) == Ascii(p.knownClients.Users[0]) &&
               IsAdmittedClient(false, p.admission[1].ClientAddress, &value) &&
               Ascii(g_Engine.TemplateList[0].Path) == Ascii(p.templates[0].Path) &&
               Ascii(g_Engine.RuleList[0].Path) == Ascii(p.rules[0].Path);
    };
    int putBack = 0;
    for (uint64_t failing = 1; failing <= 8; ++failing) {
        GuardEngine engine;
        std::string error;
        ASSERT_TRUE(engine.Start(&error));
        ASSERT_TRUE(engine.Apply(previous, &error)) << error;
        SimPoolFailAllocation(failing);
        bool applied = engine.Apply(next, &error);
        SimPoolFailAllocation(0);
        EXPECT_TRUE(inForce(applied ? next : previous))
            << "allocation " << failing << ": " << error;
        EXPECT_FALSE(inForce(applied ? previous : next)) << "allocation " << failing;
        if (!applied) {
            EXPECT_NE(error.find("the previous policy is in force"), std::string::npos) << error;
            putBack += error.find("were put back") != std::string::npos;
        }
    }
    EXPECT_GE(putBack, 2) << "failures after the admission list was replaced are undone";
}

// A checksum the sender left to the hardware goes on with the frame, moved past a VLAN
// tag the frame gets back; a rewritten frame carries complete checksums and no request.
TEST(GuardChecksums, TheSendersOffloadRequestTravelsWithUnchangedFramesOnly) {
    const uint16_t TcpStart = 34, TcpOffset = 16;
    struct Case {
        const char* what;
        uint8_t flags;
        bool vlan, rewritten;
        uint8_t wantFlags;
        uint16_t wantStart;
    };
    const Case cases[] = {
        {"left to the hardware", VirtioNeedsChecksum, false, false, VirtioNeedsChecksum, TcpStart},
        {"left to the hardware, tag put back", VirtioNeedsChecksum, true, false,
         VirtioNeedsChecksum, TcpStart + 4},
        {"rewritten by the engine", VirtioNeedsChecksum, false, true, 0, 0},
        {"rewritten, tagged", VirtioNeedsChecksum, true, true, 0, 0},
        {"already checked on receipt", VirtioDataValid, false, false, 0, 0},
        {"complete", 0, true, false, 0, 0},
    };
    for (const Case& c : cases) {
        ReceivedFrame frame{};
        frame.vlanPresent = c.vlan;
        frame.offload.flags = c.flags;
        frame.offload.checksumStart = TcpStart;
        frame.offload.checksumOffset = TcpOffset;
        VirtioNetHeader out = OutgoingOffload(frame, c.rewritten);
        EXPECT_EQ(out.flags, c.wantFlags) << c.what;
        EXPECT_EQ(out.checksumStart, c.wantStart) << c.what;
        EXPECT_EQ(out.checksumOffset, c.wantFlags != 0 ? TcpOffset : 0) << c.what;
        EXPECT_EQ(out.gsoType, 0) << c.what;
    }
}

TEST(GuardChecksums, SmbFramesAreThoseToOrFromPort445Or139) {
    struct Case {
        uint16_t from, to;
        bool smb;
    };
    const Case cases[] = {{50000, 445, true}, {445, 50000, true},  {50000, 139, true},
                          {139, 50000, true}, {50000, 443, false}, {446, 50000, false}};
    for (const Case& c : cases) {
        Bytes f = BuildTcpFrame(TestClient(10, c.from), TestServer(c.to), Bytes(4, 0));
        EXPECT_EQ(IsSmbFrame(f.data(), uint32_t(f.size())), c.smb) << c.from << "->" << c.to;
    }
    TcpFrameOptions udp;
    udp.protocol = 17;
    Bytes f = BuildTcpFrame(TestClient(), TestServer(), Bytes(4, 0), udp);
    EXPECT_FALSE(IsSmbFrame(f.data(), uint32_t(f.size())));
    EXPECT_FALSE(IsSmbFrame(f.data(), 40));
}

TEST(GuardForwarding, OptionsTakeBoundedWholeNumbersOnly) {
    struct Case {
        const char* name;
        const char* value;
        bool valid;
        uint32_t set; // the value the option holds afterwards, when valid
    };
    const Case cases[] = {
        {"--spin", "20", true, 20},       {"--spin", "0", true, 0},
        {"--spin", "10000", true, 10000}, {"--spin", "10001", false, 0},
        {"--spin", "", false, 0},         {"--spin", "-1", false, 0},
        {"--spin", "2x", false, 0},       {"--spin", "99999999999", false, 0},
        {"--gather", "7", true, 7},       {"--gather", " 5", false, 0},
        {"--threads", "2", true, 2},      {"--threads", "1", true, 1},
        {"--threads", "0", false, 0},     {"--threads", "3", false, 0},
        {"--burst", "4", false, 0},
    };
    const ForwardingOptions d;
    for (const Case& c : cases) {
        ForwardingOptions o;
        std::string error;
        EXPECT_EQ(ParseForwardingOption(c.name, c.value, &o, &error), c.valid)
            << c.name << " " << c.value;
        EXPECT_EQ(error.empty(), c.valid) << c.name << " " << c.value;
        if (!c.valid) {
            EXPECT_NE(error.find(c.name), std::string::npos) << error;
        }
        // The option named takes the value; every other keeps its default.
        std::string n = c.name;
        auto expect = [&](const std::string& option, uint32_t was) {
            return n == option && c.valid ? c.set : was;
        };
        EXPECT_EQ(o.spinMicroseconds, expect("--spin", d.spinMicroseconds)) << n << " " << c.value;
        EXPECT_EQ(o.gatherMicroseconds, expect("--gather", d.gatherMicroseconds))
            << n << " " << c.value;
        EXPECT_EQ(o.threads, expect("--threads", d.threads)) << n << " " << c.value;
    }
}

// A port that always has another frame, as a bulk copy keeps a receive ring, and that
// counts what is queued and sent through it.
class EndlessPort : public FramePort {
  public:
    bool Open(const std::string&, uint32_t maxFrame, std::string*) override {
        maxFrame_ = maxFrame;
        return true;
    }
    void Close() override {}
    bool IsOpen() const override { return true; }
    bool Next(ReceivedFrame* frame) override {
        *frame = ReceivedFrame{};
        frame->data = frame_;
        frame->length = frame->wireLength = sizeof frame_;
        frame->port = this;
        ++taken;
        return true;
    }
    void Release(const ReceivedFrame&) override { ++released; }
    uint32_t Queued() const override { return queued; }
    void Queue(const ReceivedFrame& frame, bool, uint64_t*) override {
        frame.port->Release(frame);
        ++queued;
    }
    void Flush(uint64_t*) override {
        sent += queued;
        queued = 0;
    }
    int TakeError() override { return 0; }
    uint64_t ReceiveDrops() override { return 0; }

    uint64_t taken = 0, released = 0, sent = 0;
    uint32_t queued = 0;

  private:
    uint8_t frame_[60] = {};
};

class PassThrough : public FrameInspector {
  public:
    bool Inspect(uint8_t*, uint32_t, bool) override { return false; }
};

// A stream that never lets the rings run empty still hands the loop back after a pass,
// every frame taken sent, so that signals, control requests and the watchdog are answered
// during a long copy: however the loop spins or gathers, and with one or both directions.
TEST(GuardForwarding, AStreamThatNeverStopsStillEndsEachPassWithEveryFrameSent) {
    struct Case {
        uint32_t spin, gather, directions;
    };
    const Case cases[] = {{20, 0, 2}, {0, 0, 1}, {0, 50, 2}, {10000, 10000, 1}, {10000, 0, 2}};
    for (const Case& c : cases) {
        EndlessPort a, b;
        a.Open("a", 1514, nullptr);
        b.Open("b", 1514, nullptr);
        PortPair in{&a, &b, true, {}}, out{&b, &a, false, {}};
        PortPair* pairs[] = {&in, &out};
        ForwardingOptions options;
        options.spinMicroseconds = c.spin;
        options.gatherMicroseconds = c.gather;
        PassThrough inspector;
        ForwardUntilIdle(pairs, c.directions, &inspector, options);
        uint64_t taken = a.taken + b.taken;
        EXPECT_GE(taken, ForwardingPassFrames) << c.spin << " " << c.gather;
        EXPECT_LT(taken, ForwardingPassFrames + ForwardingBurst * c.directions);
        EXPECT_EQ(a.sent + b.sent, taken) << c.spin << " " << c.gather;
        EXPECT_EQ(a.released + b.released, taken);
        EXPECT_EQ(in.counters.frames + out.counters.frames, taken);
    }
}

// An AF_XDP port sees a VLAN tag in the frame: it is lifted out before the engine looks
// and put back on the way out, so the frame leaves as it came.
TEST(GuardXdpFrames, AVlanTagIsLiftedForTheEngineAndPutBackWhole) {
    struct Case {
        const char* what;
        uint16_t type; // at bytes 12-13
        uint32_t length;
        bool tagged;
    };
    const Case cases[] = {
        {"802.1Q", 0x8100, 64, true},
        {"802.1ad", 0x88A8, 64, true},
        {"untagged IPv4", 0x0800, 64, false},
        {"tag with no type after it", 0x8100, 17, false},
        {"tag and type only", 0x8100, 18, true},
    };
    for (const Case& c : cases) {
        Bytes wire(c.length);
        for (uint32_t i = 0; i < c.length; ++i) {
            wire[i] = uint8_t(i * 7 + 1);
        }
        wire[12] = uint8_t(c.type >> 8);
        wire[13] = uint8_t(c.type);
        Bytes buffer = wire;
        ReceivedFrame frame{};
        frame.data = buffer.data();
        frame.length = c.length;
        LiftVlanTag(&frame);
        EXPECT_EQ(frame.vlanPresent, c.tagged) << c.what;
        uint32_t lifted = c.tagged ? 4 : 0;
        ASSERT_EQ(frame.length, c.length - lifted) << c.what;
        ASSERT_EQ(frame.data, buffer.data() + lifted) << c.what;
        // What the engine sees: the MAC addresses, then what followed the tag.
        EXPECT_EQ(Bytes(frame.data, frame.data + 12), Bytes(wire.begin(), wire.begin() + 12))
            << c.what;
        EXPECT_EQ(Bytes(frame.data + 12, frame.data + frame.length),
                  Bytes(wire.begin() + 12 + lifted, wire.end()))
            << c.what;
        if (c.tagged) {
            EXPECT_EQ(frame.vlanTpid, c.type) << c.what;
            EXPECT_EQ(frame.vlanTci, uint16_t(wire[14] << 8 | wire[15])) << c.what;
        }
        Bytes out(c.length + 4, 0xEE);
        EXPECT_EQ(PutFrame(frame, out.data()), c.length) << c.what;
        out.resize(c.length);
        EXPECT_EQ(out, wire) << c.what;
    }
}

// A sender that leaves its checksum to the hardware writes only the pseudo-header's sum;
// an AF_XDP port gets no word of that and completes exactly those checksums.
TEST(GuardXdpFrames, OnlyAChecksumLeftToTheHardwareIsCompleted) {
    const Bytes payload = {'s', 'o', 'm', 'e', ' ', 'd', 'a', 't', 'a', '!', 0x7F};
    auto udp = [&](bool ipv6) {
        // A UDP datagram: the TCP frame's segment, its header read as UDP, checksum at 6.
        TcpFrameOptions o;
        o.protocol = 17;
        Bytes f = BuildTcpFrame(TestClient(), TestServer(), payload, o);
        if (ipv6) {
            f = ToIpv6Frame(f);
            f[20] = 17;
        }
        return f;
    };
    struct Case {
        const char* what;
        Bytes frame;
        uint32_t l4;   // where the TCP or UDP header starts
        uint32_t at;   // the checksum field, from there
        bool complete; // a checksum it should complete once the field holds the sum
    };
    const Case cases[] = {
        {"TCP over IPv4", BuildTcpFrame(TestClient(), TestServer(), payload), 34, 16, true},
        {"TCP over IPv6", ToIpv6Frame(BuildTcpFrame(TestClient(), TestServer(), payload)), 54, 16,
         true},
        {"UDP over IPv4", udp(false), 34, 6, true},
        {"UDP over IPv6", udp(true), 54, 6, true},
        {"an IPv4 fragment",
         [&] {
             TcpFrameOptions o;
             o.flagsAndFragment = 0x2000;
             return BuildTcpFrame(TestClient(), TestServer(), payload, o);
         }(),
         34, 16, false},
        {"IPv6 with an extension header",
         ToIpv6Frame(BuildTcpFrame(TestClient(), TestServer(), payload), {6, 0, 0, 0, 0, 0, 0, 0},
                     0),
         62, 16, false},
    };
    for (const Case& c : cases) {
        Bytes f = c.frame;
        bool v6 = f[12] == 0x86;
        uint32_t l4Length = uint32_t(f.size()) - c.l4;
        // The complete checksum, and the pseudo-header's sum, computed here on their own.
        Bytes pseudo(v6 ? f.begin() + 22 : f.begin() + 26, v6 ? f.begin() + 54 : f.begin() + 34);
        pseudo.push_back(0);
        pseudo.push_back(v6 ? f[20] : f[23]);
        pseudo.push_back(uint8_t(l4Length >> 8));
        pseudo.push_back(uint8_t(l4Length));
        uint16_t pseudoSum = OnesComplementSum(0, pseudo.data(), uint32_t(pseudo.size()));
        f[c.l4 + c.at] = f[c.l4 + c.at + 1] = 0;
        uint16_t full = uint16_t(~OnesComplementSum(pseudoSum, f.data() + c.l4, l4Length));
        f[c.l4 + c.at] = uint8_t(full >> 8);
        f[c.l4 + c.at + 1] = uint8_t(full);
        const Bytes complete = f;
        Bytes left = f;
        left[c.l4 + c.at] = uint8_t(pseudoSum >> 8);
        left[c.l4 + c.at + 1] = uint8_t(pseudoSum);

        EXPECT_EQ(CompleteLeftChecksum(left.data(), uint32_t(left.size())), c.complete) << c.what;
        EXPECT_EQ(left == complete, c.complete) << c.what;
        // Complete, damaged, or cut short: left as it is.
        Bytes damaged = complete;
        damaged.at(damaged.size() - 1) ^= 0x01;
        Bytes cut = left;
        for (Bytes* same : {&f, &damaged}) {
            Bytes before = *same;
            EXPECT_FALSE(CompleteLeftChecksum(same->data(), uint32_t(same->size()))) << c.what;
            EXPECT_EQ(*same, before) << c.what;
        }
        cut[c.l4 + c.at] = uint8_t(pseudoSum >> 8);
        cut[c.l4 + c.at + 1] = uint8_t(pseudoSum);
        Bytes before = cut;
        EXPECT_FALSE(CompleteLeftChecksum(cut.data(), uint32_t(cut.size()) - 1)) << c.what;
        EXPECT_EQ(cut, before) << c.what;
    }
}

class ControlSocketTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char folder[] = "/tmp/mf-control.XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        folder_ = folder;
        path_ = folder_ + "/sub/guard.sock";
        std::string error;
        ASSERT_TRUE(server_.Open(
            path_,
            [this](const nlohmann::json& request) {
                ControlReply reply;
                requests_.push_back(request);
                std::string command = request.value("command", "");
                if (command == "echo") {
                    reply.lines = {"{\"n\":1}", "{\"n\":2}"};
                } else if (command == "follow") {
                    reply.follow = true;
                } else {
                    reply.error = "unknown command";
                }
                return reply;
            },
            &error))
            << error;
    }
    void TearDown() override {
        unlink(path_.c_str());
        rmdir((folder_ + "/sub").c_str());
        rmdir(folder_.c_str());
    }

    int Connect() {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path_.c_str());
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        return fd;
    }

    // Serves (bounded) until `done` holds.
    template <typename Done> void ServeUntil(Done done) {
        for (int round = 0; round < 100 && !done(); ++round) {
            std::vector<pollfd> fds;
            server_.AddPollFds(&fds);
            poll(fds.data(), fds.size(), 100);
            for (const pollfd& p : fds) {
                if (p.revents != 0) {
                    server_.Service(p);
                }
            }
        }
    }

    static std::string Take(int fd) {
        std::string got;
        char buffer[4096];
        ssize_t n;
        while ((n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
            got.append(buffer, size_t(n));
        }
        return got;
    }

    // Sends a request and serves until the reply has `lines` lines.
    std::string Exchange(int fd, const std::string& request, size_t lines) {
        EXPECT_EQ(write(fd, request.data(), request.size()), ssize_t(request.size()));
        std::string got;
        ServeUntil([&] {
            got += Take(fd);
            return size_t(std::count(got.begin(), got.end(), '\n')) >= lines;
        });
        return got;
    }

    std::string folder_;
    std::string path_;
    ControlServer server_;
    std::vector<nlohmann::json> requests_;
};

TEST_F(ControlSocketTest, AnswersEachRequestWithLinesAndAnEndOrAnError) {
    struct stat info {};
    ASSERT_EQ(stat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(stat((folder_ + "/sub").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    struct Case {
        std::string request;
        std::string reply;
    };
    const Case cases[] = {
        {"{\"command\":\"echo\"}\n", "{\"n\":1}\n{\"n\":2}\n{\"type\":\"end\"}\n"},
        {"{\"command\":\"nothing\"}\n", "{\"type\":\"error\",\"message\":\"unknown command\"}\n"},
        {"[1,2]\n", "{\"type\":\"error\",\"message\":\"the request is not a JSON object\"}\n"},
        {"not json\n", "{\"type\":\"error\",\"message\":\"the request is not a JSON object\"}\n"},
    };
    for (const Case& c : cases) {
        int fd = Connect();
        size_t expectedLines = size_t(std::count(c.reply.begin(), c.reply.end(), '\n'));
        EXPECT_EQ(Exchange(fd, c.request, expectedLines), c.reply) << c.request;
        close(fd);
    }
    EXPECT_EQ(requests_.size(), 2u); // the two that were JSON objects
}

TEST_F(ControlSocketTest, FollowersReceiveBroadcastLinesUntilTheyLeave) {
    int follower = Connect();
    int other = Connect();
    ASSERT_EQ(write(follower, "{\"command\":\"follow\"}\n", 21), 21);
    ServeUntil([&] { return requests_.size() == 1; });
    ASSERT_EQ(requests_.size(), 1u);
    // Broadcast writes at once; only the follower gets the lines, and no end line.
    server_.Broadcast("{\"event\":1}");
    server_.Broadcast("{\"event\":2}");
    EXPECT_EQ(Take(follower), "{\"event\":1}\n{\"event\":2}\n");
    EXPECT_EQ(Take(other), "");
    // A follower that left is dropped; the others are served as before.
    close(follower);
    ServeUntil([&] {
        std::vector<pollfd> fds;
        server_.AddPollFds(&fds);
        return fds.size() == 2; // the listening socket and the other client
    });
    server_.Broadcast("{\"event\":3}");
    EXPECT_EQ(Exchange(other, "{\"command\":\"echo\"}\n", 3),
              "{\"n\":1}\n{\"n\":2}\n{\"type\":\"end\"}\n");
    close(other);
}

} // namespace
