// Sessions the engine cannot read (encrypted, compressed) or cannot rewrite (signed):
// reported once per session and kind, counted, and refused only when asked.
#include <gtest/gtest.h>

#include <cstring>

#include "control_codes.h"
#include "control_device.h"
#include "engine_state.h"
#include "smb_engine_fixture.h"
#include "unreadable.h"
#include "wire_bytes.h"

namespace {

const uint64_t Alice = 0x4411;
const uint64_t Bob = 0x4422;
const uint32_t Docs = 5;

UnreadableStats Counters() {
    UnreadableStats s{};
    ReadUnreadableStats(&s);
    return s;
}

class UnreadableTest : public SmbEngineTest {
  protected:
    void SetUp() override {
        SmbEngineTest::SetUp();
        Login2(Alice, "alice");
        Login2(Bob, "bob");
        Connect2(Alice, Docs, "\\\\FILESRV\\Docs");
        Rules({Rule("docs", "alice", "11000000"), Rule("docs", "bob", "10000000")});
    }
    void Refuse(bool on) {
        std::vector<uint8_t> buffer(4);
        buffer[0] = on ? 1 : 0;
        ControlStatusBlock s{};
        EngineDeviceControl(buffer.data(), 1, 4, IOCTL_ENGINE_SET_REFUSE_UNREADABLE, &s);
        ASSERT_EQ(s.status, 0u);
    }
};

// Encrypted and compressed requests, with the refusal off and on, for a user with a deny
// rule (alice) and one without (bob), over IPv4 and IPv6: what the frame becomes, the one
// event per session and kind, and the counters.
TEST_F(UnreadableTest, EncryptedAndCompressedRequests) {
    struct Case {
        const char* name;
        bool compressed;
        uint64_t session;
        bool refuse;
        bool refused;
        uint8_t kind;
        const char* user;
    };
    const Case cases[] = {
        {"encrypted, refusal off", false, Alice, false, false, 20, "alice"},
        {"encrypted, refusal on", false, Alice, true, true, 20, "alice"},
        {"encrypted, refusal on, no deny rule", false, Bob, true, false, 20, "bob"},
        {"encrypted, unknown session", false, 0x9999, true, false, 20, ""},
        {"compressed, refusal off", true, Alice, false, false, 21, "alice"},
        {"compressed, refusal on", true, Alice, true, true, 21, "alice"},
    };
    for (bool overIpv6 : {false, true}) {
        ipv6 = overIpv6;
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (overIpv6 ? " IPv6" : " IPv4"));
            ClearKeyedTable(g_Engine.UnreadableSessions, false);
            Events();
            Refuse(c.refuse);
            UnreadableStats before = Counters();
            Bytes message = c.compressed ? Smb2CompressedMessage(c.session, 40)
                                         : Smb2TransformMessage(c.session, 300);
            EXPECT_EQ(Request(message), c.refused);
            Bytes after = LastSmb();
            if (c.refused && !c.compressed) {
                EXPECT_EQ(after[4], message[4] ^ 0xFF) << "a signature byte flipped";
                after[4] = message[4];
            } else if (c.refused) {
                EXPECT_EQ(ReadLe32(after, 0), 0u) << "the protocol identifier zeroed";
                PutLe32(after, 0, ReadLe32(message, 0));
            }
            EXPECT_EQ(after, message) << "nothing else changes";
            EXPECT_EQ(Request(message), c.refused) << "every message of the session alike";

            std::vector<FileEvent> events = Events();
            ASSERT_EQ(events.size(), 1u) << "one event per session and kind";
            EXPECT_EQ(events[0].Kind, c.kind);
            EXPECT_EQ(events[0].Blocked, c.refused ? 1 : 0);
            EXPECT_EQ(Ascii(events[0].UserName), c.user);
            EXPECT_EQ(events[0].ClientAddress, overIpv6 ? 0u : 0x0A0200C0u);
            EXPECT_NE(EventPath(events[0]).find(c.compressed ? "compressed" : "encrypted"),
                      std::string::npos);
            UnreadableStats now = Counters();
            EXPECT_EQ(now.MessagesUnread - before.MessagesUnread, 2u);
            EXPECT_EQ(now.MessagesRefused - before.MessagesRefused, c.refused ? 2u : 0u);
            EXPECT_EQ(now.SessionsReported - before.SessionsReported, 1u);
        }
    }
    // Answers are counted and reported, never refused.
    ClearKeyedTable(g_Engine.UnreadableSessions, false);
    Refuse(true);
    EXPECT_FALSE(Response(Smb2TransformMessage(Alice, 100)));
    EXPECT_EQ(Events().size(), 1u);
}

// An encrypted request whose header spans two segments is decided in the second; the
// signature went by in the first, so the second segment's first byte is flipped.
TEST_F(UnreadableTest, EncryptedRequestAcrossSegments) {
    Refuse(true);
    Bytes wire = NetbiosWrap(Smb2TransformMessage(Alice, 400));
    Bytes first(wire.begin(), wire.begin() + 30);
    Bytes second(wire.begin() + 30, wire.end());
    Bytes frame1 = BuildTcpFrame(client, server, first);
    Bytes original1 = frame1;
    EXPECT_FALSE(InspectInbound(frame1.data(), uint32_t(frame1.size()), false));
    EXPECT_EQ(frame1, original1);
    Bytes frame2 = BuildTcpFrame(client, server, second);
    Bytes original2 = frame2;
    ASSERT_TRUE(InspectInbound(frame2.data(), uint32_t(frame2.size()), false));
    EXPECT_TRUE(TcpChecksumValid(frame2));
    size_t differing = 0;
    for (size_t i = FramePayload; i < frame2.size(); ++i) {
        differing += frame2[i] != original2[i];
    }
    EXPECT_EQ(differing, 1u);
    EXPECT_EQ(frame2[FramePayload], uint8_t(original2[FramePayload] ^ 0xFF));
    std::vector<FileEvent> events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Blocked, 1);
}

// Signed sessions: reported once, and a denial there keeps the server's own (signed)
// error answer rather than a rewritten one that would fail the client's check. The same
// requests unsigned get the usual rewrite and no event of the kind.
TEST_F(UnreadableTest, SignedSessionsKeepTheServersAnswer) {
    for (bool smb1 : {false, true}) {
        for (bool sign : {false, true}) {
            SCOPED_TRACE(std::string(smb1 ? "SMB1" : "SMB2") + (sign ? " signed" : " unsigned"));
            ClearKeyedTable(g_Engine.UnreadableSessions, false);
            Events();
            Bytes request;
            Bytes answer;
            if (smb1) {
                Login1(7, "alice");
                Connect1(7, 3, "\\\\FILESRV\\DOCS");
                Smb1Ids ids{7, 3, nextMid()};
                request = Smb1PathRequest(0x06, ids, {0x16}, "plan.xlsx");
                answer = Smb1Reply(0x06, ids, 0xC0000033);
                if (sign) {
                    for (Bytes* m : {&request, &answer}) {
                        PutLe16(*m, 10, uint16_t(ReadLe16(*m, 10) | 0x0004));
                        (*m)[14] = 0x5E;
                    }
                }
            } else {
                Smb2Ids ids{Alice, Docs, nextId++};
                Smb2CreateFields fields;
                fields.name = "plan.xlsx";
                fields.desiredAccess = 0x00010080;
                fields.shareAccess = 4;
                fields.createDisposition = 1;
                request = Smb2CreateRequest(ids, fields);
                answer = Smb2ErrorResponse(5, ids, 0xC000000D);
                if (sign) {
                    for (Bytes* m : {&request, &answer}) {
                        PutLe32(*m, 16, ReadLe32(*m, 16) | 0x8);
                        (*m)[48] = 0x5E;
                    }
                }
            }
            EXPECT_TRUE(Request(request)) << "the denial itself works";
            EXPECT_EQ(Response(answer), !sign);
            uint32_t statusAt = smb1 ? 5 : 8;
            EXPECT_EQ(ReadLe32(LastSmb(), statusAt),
                      sign ? ReadLe32(answer, statusAt) : 0xC0000022u);
            std::vector<FileEvent> events = Events();
            size_t signedEvents = 0;
            for (const FileEvent& e : events) {
                signedEvents += e.Kind == 22;
            }
            EXPECT_EQ(signedEvents, sign ? 1u : 0u);
        }
    }
}

} // namespace
