// The live guard's own pieces, without interfaces: checksum completion, the SMB frame
// test, and the control socket's request and follow protocol.
#include <cstdio>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "control_socket.h"
#include "frames.h"
#include "guard_engine.h"
#include "port_pair.h"

namespace {

uint16_t Be16(const Bytes& f, size_t at) {
    return uint16_t(f[at] << 8 | f[at + 1]);
}

// Checked independently of the code under test: the sum over the pseudo-header and the
// datagram, checksum included, must come out as zero.
bool UdpChecksumValid(const Bytes& frame) {
    size_t length = frame.size() - FrameTcp;
    Bytes covered = Concat({Bytes(frame.begin() + FrameIpv4 + 12, frame.begin() + FrameIpv4 + 20),
                            Bytes{0, 17, uint8_t(length >> 8), uint8_t(length)},
                            Bytes(frame.begin() + FrameTcp, frame.end())});
    return Be16(frame, FrameTcp + 6) != 0 && InternetChecksum(covered.data(), covered.size()) == 0;
}

TEST(GuardChecksums, OffloadedChecksumsAreCompletedAndOthersLeftAlone) {
    Bytes payload(301, 0x5A); // odd length: the last byte is half a word
    Bytes tcp = BuildTcpFrame(TestClient(), TestServer(), payload);
    ASSERT_TRUE(TcpChecksumValid(tcp) && Ipv4ChecksumValid(tcp));
    // What a sender with checksum offload hands over: partial sums or zeros.
    Bytes sent = tcp;
    sent[FrameTcp + 16] = 0x12;
    sent[FrameTcp + 17] = 0x34;
    sent[FrameIpv4 + 10] = sent[FrameIpv4 + 11] = 0;
    EXPECT_TRUE(CompleteChecksums(sent.data(), uint32_t(sent.size())));
    EXPECT_EQ(sent, tcp);

    TcpFrameOptions udpOptions;
    udpOptions.protocol = 17;
    udpOptions.tcpHeaderWords = 2; // an 8-byte header where the TCP one would be
    Bytes udp = BuildTcpFrame(TestClient(), TestServer(53), payload, udpOptions);
    udp[FrameTcp + 4] = uint8_t((udp.size() - FrameTcp) >> 8);
    udp[FrameTcp + 5] = uint8_t(udp.size() - FrameTcp);
    EXPECT_TRUE(CompleteChecksums(udp.data(), uint32_t(udp.size())));
    EXPECT_TRUE(UdpChecksumValid(udp));
    EXPECT_TRUE(Ipv4ChecksumValid(udp));

    struct Case {
        const char* what;
        Bytes frame;
    };
    TcpFrameOptions arp;
    arp.etherType = 0x0806;
    Bytes cutShort = tcp;
    cutShort.resize(FramePayload + 10); // the IPv4 length claims more
    TcpFrameOptions icmp;
    icmp.protocol = 1;
    const Case untouched[] = {
        {"not IPv4", BuildTcpFrame(TestClient(), TestServer(), payload, arp)},
        {"IPv4 longer than the frame", cutShort},
        {"neither TCP nor UDP", BuildTcpFrame(TestClient(), TestServer(), payload, icmp)},
        {"shorter than an IPv4 header", Bytes(tcp.begin(), tcp.begin() + 30)},
    };
    for (const Case& c : untouched) {
        Bytes frame = c.frame;
        EXPECT_FALSE(CompleteChecksums(frame.data(), uint32_t(frame.size()))) << c.what;
        EXPECT_EQ(frame, c.frame) << c.what;
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
