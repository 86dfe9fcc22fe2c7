// TCP over IPv6: classification (extension headers, lengths, fragments), and SMB traffic
// decided, spoiled and reported over IPv6 as over IPv4.
#include <gtest/gtest.h>

#include <cstring>

#include "client_address.h"
#include "engine_state.h"
#include "frame_view.h"
#include "report_rings.h"
#include "session_clients.h"
#include "smb_engine_fixture.h"
#include "wire_bytes.h"

namespace {

// One extension header of `bytes` (a multiple of 8) naming `next`.
Bytes Extension(uint8_t next, size_t bytes) {
    Bytes e(bytes, 0);
    e[0] = next;
    e[1] = uint8_t(bytes / 8 - 1);
    return e;
}

Bytes FragmentHeader(uint8_t next, uint16_t offsetUnits, bool more) {
    Bytes e(8, 0);
    e[0] = next;
    PutBe16(e, 2, uint16_t(offsetUnits << 3 | (more ? 1 : 0)));
    return e;
}

const size_t Ipv6Tcp = 14 + 40;

TEST(ParseIpv6, ExtensionHeadersLengthsAndFragments) {
    Bytes payload(60, 0x5A);
    Bytes base = BuildTcpFrame(TestClient(), TestServer(), payload);
    Bytes nineHops;
    for (int i = 0; i < 9; ++i) {
        nineHops = Concat({nineHops, Extension(i < 8 ? 0 : 6, 8)});
    }
    struct Case {
        const char* name;
        Bytes extensions;
        uint8_t firstNext;
        int result;
        bool tcp;
        size_t tcpAt;   // when tcp
        bool fragment;  // the frame is a fragment
        int lengthEdit; // added to the payload length field
        uint8_t version;
    };
    const Case cases[] = {
        {"plain", {}, 6, 0, true, Ipv6Tcp, false, 0, 6},
        {"hop-by-hop", Extension(6, 8), 0, 0, true, Ipv6Tcp + 8, false, 0, 6},
        {"hop, routing, destination",
         Concat({Extension(43, 8), Extension(60, 24), Extension(6, 16)}), 0, 0, true, Ipv6Tcp + 48,
         false, 0, 6},
        {"first fragment", FragmentHeader(6, 0, true), 44, 0, false, 0, true, 0, 6},
        {"later fragment", Concat({Extension(44, 8), FragmentHeader(6, 185, false)}), 60, 0, false,
         0, true, 0, 6},
        {"UDP", {}, 17, 0, false, 0, false, 0, 6},
        {"nine extension headers", nineHops, 0, -5, false, 0, false, 0, 6},
        {"extension longer than the payload", Extension(6, 24), 0, -6, false, 0, false, -90, 6},
        {"extension header cut short", Extension(6, 8), 0, -5, false, 0, false, -82, 6},
        {"payload length beyond the frame", {}, 6, -4, false, 0, false, 1, 6},
        {"jumbogram length", {}, 6, -3, false, 0, false, -80, 6},
        {"version 4 under the IPv6 type", {}, 6, -2, false, 0, false, 0, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes frame = ToIpv6Frame(base, c.extensions, c.firstNext);
        uint16_t length = uint16_t((frame[18] << 8 | frame[19]) + c.lengthEdit);
        PutBe16(frame, 18, length);
        frame[14] = uint8_t(c.version << 4);
        FrameView view{};
        EXPECT_EQ(ParseEthernet(frame.data(), uint32_t(frame.size()), &view), c.result);
        EXPECT_EQ((view.flags & FrameHasTcp) != 0, c.tcp);
        EXPECT_EQ(view.fragmented != 0, c.fragment);
        if (c.result != 0) {
            EXPECT_EQ(view.networkHeader, nullptr);
            continue;
        }
        EXPECT_EQ(view.ipv6Header, frame.data() + 14);
        EXPECT_EQ(view.ipv4Header, nullptr);
        EXPECT_EQ(view.addressLength, 16);
        EXPECT_EQ(view.sourceAddress, frame.data() + 14 + 8);
        EXPECT_EQ(view.destinationAddress, frame.data() + 14 + 24);
        if (c.tcp) {
            EXPECT_EQ(view.tcpHeader, frame.data() + c.tcpAt);
            EXPECT_EQ(view.payload, frame.data() + c.tcpAt + 20);
            EXPECT_EQ(view.payloadLength, payload.size());
            EXPECT_EQ(view.tcpSegmentLength, 20 + payload.size());
            EXPECT_EQ(view.destinationPort, 445);
        }
    }
    // Too short for the fixed header.
    Bytes frame = ToIpv6Frame(base);
    FrameView view{};
    EXPECT_EQ(ParseEthernet(frame.data(), 14 + 39, &view), -1);
    EXPECT_EQ(view.networkHeader, nullptr);
}

TEST(ParseIpv6, FlowKeysKeepConnectionsApartAndFollowTheChecksum) {
    // Flow keys: every pair of distinct IPv6 connections differs, and none equals the
    // IPv4 key of the same addresses and ports.
    std::vector<TableKey> keys;
    for (uint8_t client : {10, 11, 12}) {
        for (uint16_t port : {50000, 50001}) {
            Bytes v4 = BuildTcpFrame(TestClient(client, port), TestServer(), Bytes(8, 1));
            Bytes v6 = ToIpv6Frame(v4);
            for (Bytes* frame : {&v4, &v6}) {
                FrameView view{};
                ParseEthernet(frame->data(), uint32_t(frame->size()), &view);
                keys.push_back(FlowKeyOf(&view));
            }
        }
    }
    for (size_t i = 0; i < keys.size(); ++i) {
        for (size_t j = i + 1; j < keys.size(); ++j) {
            EXPECT_FALSE(keys[i].KeyLow == keys[j].KeyLow && keys[i].KeyHigh == keys[j].KeyHigh)
                << i << " " << j;
        }
    }
}

// SMB traffic over IPv6, for both dialects: a delete is denied, its answer rewritten with
// a valid TCP checksum (the fixture checks every rewritten frame), and the event names
// the IPv6 client beside an IPv4 field of zero, as does the session's record. The same client under
// known-clients-only is an unknown client, even with its IPv4 twin (and 0.0.0.0) on the admission
// list.
class Ipv6FlowTest : public SmbEngineTest {};

TEST_F(Ipv6FlowTest, DeniedDeletesAndUnknownClients) {
    const uint8_t expectedClient[16] = {0x20, 0x01, 0x0d, 0xb8, 0,   0, 0, 0,
                                        0,    0,    0,    0,    192, 0, 2, 10};
    for (bool smb1 : {false, true}) {
        for (bool overIpv6 : {false, true}) {
            SCOPED_TRACE(std::string(smb1 ? "SMB1" : "SMB2") + (overIpv6 ? " IPv6" : " IPv4"));
            EngineReset();
            SetInspectionEnabled(true);
            ipv6 = overIpv6;
            client = TestClient(10, uint16_t(overIpv6 ? 50100 : 50200) + (smb1 ? 1 : 0));
            Rules({Rule("docs", "alice", "11000000"), Rule("docs\\known", "alice", "10000001")});
            uint8_t value = 0;
            KeyedTableInsert(g_Engine.ClientAdmissionTable, false, MakeTableKey(0x0A0200C0, 0),
                             &value, 1);
            KeyedTableInsert(g_Engine.ClientAdmissionTable, false, MakeTableKey(0, 0), &value, 1);
            bool denied;
            bool unknown;
            bool rewritten;
            if (smb1) {
                Login1(7, "alice");
                Connect1(7, 3, "\\\\FILESRV\\DOCS");
                Smb1Ids ids{7, 3, nextMid()};
                denied = Request(Smb1PathRequest(0x06, ids, {0x16}, "plan.xlsx"));
                rewritten = Response(Smb1Reply(0x06, ids, 0xC0000033));
                Smb1CreateFields fields;
                fields.name = "known\\a.txt";
                fields.shareAccess = 7;
                unknown = Request(Smb1NtCreateRequest(Smb1Ids{7, 3, nextMid()}, fields));
            } else {
                Login2(0x55, "alice");
                Connect2(0x55, 9, "\\\\FILESRV\\Docs");
                Smb2Ids ids{0x55, 9, nextId++};
                Smb2CreateFields fields;
                fields.name = "plan.xlsx";
                fields.desiredAccess = 0x00010080;
                fields.shareAccess = 4;
                fields.createDisposition = 1;
                denied = Request(Smb2CreateRequest(ids, fields));
                rewritten = Response(Smb2ErrorResponse(5, ids, 0xC000000D));
                fields.name = "known\\a.txt";
                fields.desiredAccess = 0x80;
                unknown = Request(Smb2CreateRequest(Smb2Ids{0x55, 9, nextId++}, fields));
            }
            EXPECT_TRUE(denied);
            EXPECT_TRUE(rewritten);
            EXPECT_EQ(ReadLe32(LastSmb(), 0) & 0xFFFFFF00u, 0x424D5300u) << "SMB header found";
            EXPECT_EQ(unknown, overIpv6) << "known by address only over IPv4";

            std::vector<FileEvent> events(FileEventRingSlots);
            std::vector<uint8_t> clients(FileEventRingSlots * ClientIpv6Bytes);
            events.resize(DrainFileEventRingWithClients(false, events.data(), clients.data()) /
                          sizeof(FileEvent));
            ASSERT_GE(events.size(), 1u);
            EXPECT_EQ(events[0].Kind, 1);
            EXPECT_EQ(events[0].Blocked, 1);
            EXPECT_EQ(EventPath(events[0]), "docs\\plan.xlsx");
            uint8_t none[16] = {};
            size_t unknownEvents = 0;
            for (size_t i = 0; i < events.size(); ++i) {
                EXPECT_EQ(events[i].ClientAddress, overIpv6 ? 0u : 0x0A0200C0u);
                EXPECT_EQ(
                    std::memcmp(clients.data() + 16 * i, overIpv6 ? expectedClient : none, 16), 0);
                unknownEvents += events[i].Kind == 10;
            }
            EXPECT_EQ(unknownEvents, overIpv6 ? 1u : 0u);

            // The session lists its client the same way.
            SessionClient sessions[4];
            ASSERT_EQ(EnumerateSessionClients(sessions, 4), 1u);
            EXPECT_EQ(sessions[0].User.ClientAddress, overIpv6 ? 0u : 0x0A0200C0u);
            EXPECT_EQ(std::memcmp(sessions[0].ClientIpv6, overIpv6 ? expectedClient : none, 16), 0);

            // Assignments name sessions by the IPv4 address of their trees: one for 0.0.0.0
            // names no session, an IPv6 client's included.
            UserAssignment assignment{};
            assignment.UserName[0] = 'b';
            ASSERT_TRUE(AssignSessionUsers(&assignment, 1));
            ASSERT_EQ(EnumerateSessionClients(sessions, 4), 1u);
            EXPECT_NE(sessions[0].User.UserName[0], 'b') << (overIpv6 ? "IPv6" : "IPv4");
        }
    }
}

} // namespace
