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

#include "control_socket.h"
#include "engine_state.h"
#include "forwarding.h"
#include "frames.h"
#include "guard_engine.h"
#include "policy_builders.h"
#include "port_pair.h"
#include "ring.h"
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
