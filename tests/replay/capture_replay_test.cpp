// The real captures replayed through the engine, compared with what their policies imply.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "capture.h"
#include "frames.h"
#include "ntlm_identity.h"
#include "policy_builders.h"
#include "policy_file.h"
#include "replay_engine.h"
#include "report_output.h"
#include "sim.h"

namespace {

std::string DataPath(const std::string& name) {
    return std::string(TEST_DATA_DIR) + "/" + name;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Replays a capture under a policy; returns the JSON lines, and the frames as left.
std::string Replay(const std::string& capture, const std::string& policyFile,
                   std::vector<CaptureFrame>* original = nullptr,
                   std::vector<CaptureFrame>* result = nullptr) {
    Policy policy;
    std::string error;
    if (!policyFile.empty()) {
        EXPECT_TRUE(LoadPolicyFile(DataPath(policyFile), &policy, &error)) << error;
    }
    CaptureReader reader;
    EXPECT_TRUE(reader.Open(DataPath(capture), &error)) << error;
    ReplayEngine engine;
    EXPECT_TRUE(engine.Start(policy, &error)) << error;
    std::ostringstream out;
    ReplayPrinter printer(out, true);
    CaptureFrame frame;
    while (reader.Next(&frame, &error) == 1) {
        if (original != nullptr) {
            original->push_back(frame);
        }
        printer.Frame(frame, engine.Feed(frame.bytes));
        if (result != nullptr) {
            result->push_back(frame);
        }
    }
    return out.str();
}

struct Expectation {
    const char* capture;
    const char* policy;
    const char* expected;
};

class CaptureReplay : public ::testing::TestWithParam<Expectation> {};

TEST_P(CaptureReplay, MatchesTheDecisionsItsPolicyImplies) {
    const Expectation& e = GetParam();
    EXPECT_EQ(Replay(e.capture, e.policy), ReadFile(DataPath(e.expected)));
    EXPECT_EQ(SimPoolUsageForTag(KmPoolTag("IFlg")).blocks, 0u) << "the engine stopped cleanly";
}

INSTANTIATE_TEST_SUITE_P(
    RealCaptures, CaptureReplay,
    ::testing::Values(Expectation{"ops-smb3.pcap", "replay/deny-delete-rename.policy.json",
                                  "replay/ops-smb3.deny-delete-rename.expected.jsonl"},
                      Expectation{"ops-smb2.pcap", "replay/deny-delete-rename.policy.json",
                                  "replay/ops-smb2.deny-delete-rename.expected.jsonl"},
                      Expectation{"ops-nt1.pcap", "replay/deny-delete-rename.policy.json",
                                  "replay/ops-nt1.deny-delete-rename.expected.jsonl"},
                      Expectation{"ops-smb3.pcap", "replay/demo.policy.json",
                                  "replay/ops-smb3.demo.expected.jsonl"},
                      Expectation{"second-user-smb2.pcap", "replay/learning.policy.json",
                                  "replay/second-user-smb2.learning.expected.jsonl"},
                      // Requests that span segments or share one: every delete denied.
                      Expectation{"framing.pcap", "replay/deny-delete-rename.policy.json",
                                  "replay/framing.deny-delete-rename.expected.jsonl"}),
    [](const ::testing::TestParamInfo<Expectation>& info) {
        std::string name = std::string(info.param.expected).substr(7); // past "replay/"
        name = name.substr(0, name.find(".expected"));
        for (char& c : name) {
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        return name;
    });

TEST(CaptureReplayPlain, WithoutRulesNothingIsReportedOrRewritten) {
    for (const char* capture : {"ntlm-smb3.pcap", "ops-smb3.pcap", "ops-nt1.pcap"}) {
        EXPECT_EQ(Replay(capture, ""), "") << capture;
    }
}

TEST(CaptureReplayPlain, RewrittenFramesHaveValidChecksumsAndOthersStayIdentical) {
    std::vector<CaptureFrame> before;
    std::vector<CaptureFrame> after;
    Replay("ops-smb2.pcap", "replay/deny-delete-rename.policy.json", &before, &after);
    ASSERT_EQ(before.size(), after.size());
    int rewritten = 0;
    for (size_t i = 0; i < before.size(); ++i) {
        if (before[i].bytes == after[i].bytes) {
            continue;
        }
        ++rewritten;
        EXPECT_TRUE(Ipv4ChecksumValid(after[i].bytes)) << "frame " << i + 1;
        EXPECT_TRUE(TcpChecksumValid(after[i].bytes)) << "frame " << i + 1;
        EXPECT_EQ(before[i].bytes.size(), after[i].bytes.size());
    }
    // The captured server carried both requests out, so their answers pass as they are.
    EXPECT_EQ(rewritten, 2) << "two denied requests";
}

// The AUTHENTICATE message that smbclient sent, read straight from the capture.
TEST(CaptureReplayPlain, IdentifiesTheUserOfARealNtlmExchange) {
    CaptureReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(DataPath("ntlm-smb3.pcap"), &error)) << error;
    CaptureFrame frame;
    while (reader.Next(&frame, &error) == 1 && frame.number < 12) {
    }
    ASSERT_EQ(frame.number, 12u);
    const size_t smb = 14 + 20 + 20 + 4; // Ethernet, IPv4, TCP (no options), NetBIOS
    const Bytes& b = frame.bytes;
    size_t blobOffset = smb + (b[smb + 64 + 12] | b[smb + 64 + 13] << 8);
    size_t blobLength = b[smb + 64 + 14] | b[smb + 64 + 15] << 8;
    ASSERT_LE(blobOffset + blobLength, b.size());
    SessionUser user{};
    ASSERT_TRUE(IdentifyUser(&b[blobOffset], uint32_t(blobLength), &user));
    EXPECT_EQ(Ascii(user.UserName), "alice");
    EXPECT_EQ(Ascii(user.WorkstationName), "wks7");
    EXPECT_EQ(Ascii(user.DomainName), "testdom");
}

TEST(CaptureReplayPlain, SessionListNamesTheCapturedUsers) {
    for (auto [capture, user, address] :
         {std::tuple{"ops-nt1.pcap", "alice", "192.0.2.10"},
          std::tuple{"second-user-smb2.pcap", "bob", "192.0.2.11"}}) {
        CaptureReader reader;
        std::string error;
        ASSERT_TRUE(reader.Open(DataPath(capture), &error));
        ReplayEngine engine;
        ASSERT_TRUE(engine.Start(Policy{}, &error));
        CaptureFrame frame;
        while (reader.Next(&frame, &error) == 1) {
            engine.Feed(frame.bytes);
        }
        std::vector<SessionUser> sessions = engine.Sessions();
        ASSERT_EQ(sessions.size(), 1u) << capture;
        EXPECT_EQ(Ascii(sessions[0].UserName), user);
        EXPECT_EQ(Ascii(sessions[0].DomainName), "testdom");
        EXPECT_EQ(FormatIpv4(sessions[0].ClientAddress), address);
        SmbTrafficStats stats = engine.Stats();
        EXPECT_GT(stats.InboundPackets, 20u);
        EXPECT_GT(stats.OutboundBytes, 1000u);
    }
}

TEST(CaptureFiles, WrittenCaptureReadsBackFrameForFrame) {
    std::string error;
    CaptureReader reader;
    ASSERT_TRUE(reader.Open(DataPath("ops-nt1.pcap"), &error));
    std::string out = ::testing::TempDir() + "/written.pcap";
    CaptureWriter writer;
    ASSERT_TRUE(writer.Open(out, reader, &error)) << error;
    std::vector<CaptureFrame> frames;
    CaptureFrame frame;
    while (reader.Next(&frame, &error) == 1) {
        frame.bytes[frame.bytes.size() - 1] ^= 0; // written as read
        writer.Write(frame);
        frames.push_back(frame);
    }
    ASSERT_TRUE(writer.Close(&error));
    CaptureReader again;
    ASSERT_TRUE(again.Open(out, &error)) << error;
    size_t i = 0;
    while (again.Next(&frame, &error) == 1) {
        ASSERT_LT(i, frames.size());
        EXPECT_EQ(frame.bytes, frames[i].bytes);
        EXPECT_EQ(frame.seconds, frames[i].seconds);
        EXPECT_EQ(frame.microseconds, frames[i].microseconds);
        ++i;
    }
    EXPECT_EQ(i, frames.size());
}

TEST(CaptureFiles, TruncatedCaptureReportsWhatItRead) {
    std::string data = ReadFile(DataPath("ops-nt1.pcap"));
    std::string cut = ::testing::TempDir() + "/cut.pcap";
    std::ofstream(cut, std::ios::binary) << data.substr(0, data.size() - 30);
    CaptureReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(cut, &error)) << error;
    CaptureFrame frame;
    int status;
    uint64_t frames = 0;
    while ((status = reader.Next(&frame, &error)) == 1) {
        frames = frame.number;
    }
    EXPECT_EQ(status, -1);
    EXPECT_EQ(frames, 61u);
    EXPECT_NE(error.find("after frame 61"), std::string::npos) << error;
}

// Writes the frames of a classic pcap as pcapng: a section header, one interface and an
// enhanced packet block per frame.
void ConvertToPcapng(const std::string& from, const std::string& to) {
    std::string in = ReadFile(from);
    std::string out;
    auto put32 = [&](uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); };
    auto put16 = [&](uint16_t v) { out.append(reinterpret_cast<const char*>(&v), 2); };
    put32(0x0A0D0D0A);
    put32(28);
    put32(0x1A2B3C4D);
    put16(1);
    put16(0);
    put32(0xFFFFFFFF);
    put32(0xFFFFFFFF);
    put32(28);
    put32(1); // interface description
    put32(20);
    put16(1); // Ethernet
    put16(0);
    put32(262144);
    put32(20);
    for (size_t at = 24; at + 16 <= in.size();) {
        uint32_t seconds, micros, caplen, len;
        std::memcpy(&seconds, &in[at], 4);
        std::memcpy(&micros, &in[at + 4], 4);
        std::memcpy(&caplen, &in[at + 8], 4);
        std::memcpy(&len, &in[at + 12], 4);
        uint32_t padded = (caplen + 3) & ~3u;
        uint64_t stamp = uint64_t(seconds) * 1000000 + micros;
        put32(6); // enhanced packet
        put32(32 + padded);
        put32(0);
        put32(uint32_t(stamp >> 32));
        put32(uint32_t(stamp));
        put32(caplen);
        put32(len);
        out.append(in, at + 16, caplen);
        out.append(padded - caplen, '\0');
        put32(32 + padded);
        at += 16 + caplen;
    }
    std::ofstream(to, std::ios::binary) << out;
}

TEST(CaptureFiles, PcapngCapturesReplayLikeTheirPcapOriginals) {
    std::string ng = ::testing::TempDir() + "/ops-nt1.pcapng";
    ConvertToPcapng(DataPath("ops-nt1.pcap"), ng);
    CaptureReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(ng, &error)) << error;
    Policy policy;
    ASSERT_TRUE(LoadPolicyFile(DataPath("replay/deny-delete-rename.policy.json"), &policy, &error));
    ReplayEngine engine;
    ASSERT_TRUE(engine.Start(policy, &error));
    std::ostringstream out;
    ReplayPrinter printer(out, true);
    CaptureFrame frame;
    while (reader.Next(&frame, &error) == 1) {
        printer.Frame(frame, engine.Feed(frame.bytes));
    }
    EXPECT_EQ(frame.number, 62u);
    EXPECT_EQ(out.str(), ReadFile(DataPath("replay/ops-nt1.deny-delete-rename.expected.jsonl")));
}

TEST(CaptureFiles, NonEthernetCapturesAreRefused) {
    // A pcap header for link type 101 (raw IP) and no frames.
    const uint8_t header[24] = {0xD4, 0xC3, 0xB2, 0xA1, 2, 0, 4, 0, 0,   0, 0, 0,
                                0,    0,    0,    0,    0, 0, 4, 0, 101, 0, 0, 0};
    std::string path = ::testing::TempDir() + "/raw.pcap";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(header), 24);
    CaptureReader reader;
    std::string error;
    EXPECT_FALSE(reader.Open(path, &error));
    EXPECT_NE(error.find("not Ethernet"), std::string::npos) << error;
    EXPECT_FALSE(reader.Open(DataPath("missing.pcap"), &error));
    EXPECT_NE(error.find("missing.pcap"), std::string::npos);
}

} // namespace
