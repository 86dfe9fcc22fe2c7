#include <gtest/gtest.h>

#include <random>

#include "engine_fixture.h"
#include "frames.h"
#include "inspect.h"
#include "report_rings.h"

namespace {

// Header offset of an SMB message in a frame built with default options.
const size_t FrameSmb = FramePayload + 4;

Bytes Smb2Request(uint16_t command, uint64_t messageId = 1, size_t bodyBytes = 0) {
    Smb2Fields fields;
    fields.command = command;
    fields.messageId = messageId;
    fields.sessionId = 0x1000;
    fields.treeId = 5;
    return Smb2Message(fields, Bytes(bodyBytes ? bodyBytes : 56, 0));
}

Bytes Smb2Response(uint16_t command, uint64_t messageId = 1) {
    Smb2Fields fields;
    fields.command = command;
    fields.messageId = messageId;
    fields.flags = 1;
    return Smb2Message(fields, Smb2Body(9, 8));
}

Bytes ClientFrame(const Bytes& payload, uint16_t serverPort = 445, uint16_t clientPort = 50000) {
    return BuildTcpFrame(TestClient(10, clientPort), TestServer(serverPort), payload);
}

Bytes ServerFrame(const Bytes& payload, uint16_t serverPort = 445) {
    return BuildTcpFrame(TestServer(serverPort), TestClient(), payload);
}

bool Inbound(Bytes& frame) {
    return InspectInbound(frame.data(), uint32_t(frame.size()), false);
}

bool Outbound(Bytes& frame) {
    return InspectOutbound(frame.data(), uint32_t(frame.size()), false);
}

SmbTrafficStats Stats() {
    SmbTrafficStats stats;
    ReadTrafficStats(&stats);
    return stats;
}

class InspectTest : public EngineTest {
  protected:
    // With admission control on and no client listed, every request outside session
    // establishment that reaches a handler gets its protocol identifier zeroed: a visible
    // sign of which messages were handed to the SMB handlers.
    void RefuseUnlistedClients() { g_Engine.Settings->AdmissionControl = 1; }
    void Admit(const Endpoint& client) {
        uint8_t value = 1;
        uint32_t address = uint32_t(client.ip[0]) | client.ip[1] << 8 | client.ip[2] << 16 |
                           uint32_t(client.ip[3]) << 24;
        ASSERT_TRUE(KeyedTableInsert(g_Engine.ClientAdmissionTable, false, MakeTableKey(address, 0),
                                     &value, 1));
    }
};

TEST_F(InspectTest, SmbTrafficIsCountedPerDirection) {
    Bytes request = ClientFrame(NetbiosWrap(Smb2Request(8)));
    Bytes response = ServerFrame(NetbiosWrap(Smb2Response(8)), 139);
    Bytes other = BuildTcpFrame(TestClient(), TestServer(80), Bytes(100, 1));
    EXPECT_FALSE(Inbound(request));
    EXPECT_FALSE(Inbound(request));
    EXPECT_FALSE(Outbound(response));
    EXPECT_FALSE(Inbound(other));
    EXPECT_FALSE(Outbound(request)) << "sent from the client port, not an SMB port";
    SmbTrafficStats stats = Stats();
    EXPECT_EQ(stats.InboundPackets, 2u);
    EXPECT_EQ(stats.InboundBytes, 2 * request.size());
    EXPECT_EQ(stats.OutboundPackets, 1u);
    EXPECT_EQ(stats.OutboundBytes, response.size());
}

TEST_F(InspectTest, NothingIsCountedWhileInspectionIsOff) {
    SetInspectionEnabled(false);
    RefuseUnlistedClients();
    Bytes request = ClientFrame(NetbiosWrap(Smb2Request(5)));
    Bytes copy = request;
    EXPECT_FALSE(Inbound(request));
    EXPECT_EQ(request, copy);
    EXPECT_EQ(Stats().InboundPackets, 0u);
}

TEST_F(InspectTest, UnclassifiedFramesAreNotCounted) {
    TcpFrameOptions vlan;
    vlan.etherType = 0x8100;
    TcpFrameOptions fragment;
    fragment.flagsAndFragment = 0x2000;
    Bytes payload = NetbiosWrap(Smb2Request(5));
    Bytes frames[] = {BuildTcpFrame(TestClient(), TestServer(), payload, vlan),
                      BuildTcpFrame(TestClient(), TestServer(), payload, fragment)};
    RefuseUnlistedClients();
    for (Bytes& frame : frames) {
        Bytes copy = frame;
        EXPECT_FALSE(Inbound(frame));
        EXPECT_EQ(frame, copy);
    }
    EXPECT_EQ(Stats().InboundPackets, 0u);
}

TEST_F(InspectTest, ShortPayloadsAreCountedButNotDecoded) {
    RefuseUnlistedClients();
    Bytes full = NetbiosWrap(Smb2Request(5));
    for (size_t n : {0, 3, 4, 67}) {
        Bytes frame = ClientFrame(Bytes(full.begin(), full.begin() + n));
        Bytes copy = frame;
        EXPECT_FALSE(Inbound(frame)) << n;
        EXPECT_EQ(frame, copy) << n;
    }
    EXPECT_EQ(Stats().InboundPackets, 4u);
}

TEST_F(InspectTest, AdmissionGateSpoilsRequestsOfUnlistedClients) {
    RefuseUnlistedClients();
    Bytes frame = ClientFrame(NetbiosWrap(Smb2Request(5)));
    Bytes original = frame;
    ASSERT_TRUE(Inbound(frame));
    EXPECT_EQ(frame[FrameSmb] | frame[FrameSmb + 1] | frame[FrameSmb + 2] | frame[FrameSmb + 3], 0);
    EXPECT_TRUE(
        std::equal(frame.begin() + FrameSmb + 4, frame.end(), original.begin() + FrameSmb + 4))
        << "only the protocol identifier changes";
    EXPECT_TRUE(Ipv4ChecksumValid(frame));
    EXPECT_TRUE(TcpChecksumValid(frame));
}

TEST_F(InspectTest, AdmissionGateLetsListedClientsAndSessionSetupThrough) {
    RefuseUnlistedClients();
    Admit(TestClient(10));
    Bytes listed = ClientFrame(NetbiosWrap(Smb2Request(5)));
    Bytes copy = listed;
    EXPECT_FALSE(Inbound(listed));
    EXPECT_EQ(listed, copy);

    for (uint16_t command : {0, 1, 2, 3, 4}) {
        Bytes frame =
            BuildTcpFrame(TestClient(11), TestServer(), NetbiosWrap(Smb2Request(command)));
        Bytes before = frame;
        EXPECT_FALSE(Inbound(frame)) << "session establishment command " << command;
        EXPECT_EQ(frame, before);
    }
}

TEST_F(InspectTest, AdmissionGateAppliesToSmb1Too) {
    RefuseUnlistedClients();
    Smb1Fields create;
    create.command = 0xA2;
    Smb1Fields setup;
    setup.command = 0x73;
    Bytes words(48, 0);
    Bytes spoiled = ClientFrame(NetbiosWrap(Smb1Message(create, std::vector<uint16_t>(24), words)));
    Bytes kept = ClientFrame(NetbiosWrap(Smb1Message(setup, std::vector<uint16_t>(12), words)));
    Bytes keptCopy = kept;
    EXPECT_TRUE(Inbound(spoiled));
    EXPECT_EQ(spoiled[FrameSmb], 0);
    EXPECT_TRUE(TcpChecksumValid(spoiled));
    EXPECT_FALSE(Inbound(kept));
    EXPECT_EQ(kept, keptCopy);
}

TEST_F(InspectTest, EachMemberOfAnInboundCompoundChainIsHandled) {
    RefuseUnlistedClients();
    Bytes chain = Smb2Compound({Smb2Request(5, 1), Smb2Request(16, 2, 40), Smb2Request(6, 3, 24)});
    Bytes frame = ClientFrame(NetbiosWrap(chain));
    ASSERT_TRUE(Inbound(frame));
    size_t second = FrameSmb + 64 + 56;
    size_t third = second + 64 + 40;
    for (size_t at : {FrameSmb, second, third}) {
        EXPECT_EQ(frame[at], 0) << "member at " << at;
        EXPECT_EQ(frame[at + 4], 64) << "header intact after the protocol identifier";
    }
    EXPECT_TRUE(TcpChecksumValid(frame));
}

// The first segment of a message longer than the segment, each on a flow of its own: a
// message is decided once the bytes its decision reads are there.
TEST_F(InspectTest, MessageLongerThanTheSegmentIsDecidedWhenItsFieldsAreThere) {
    RefuseUnlistedClients();
    Bytes create = Smb2Request(5, 1, 40);
    Bytes frame = ClientFrame(NetbiosWrap(create, int64_t(create.size()) + 1000), 445, 50001);
    Bytes copy = frame;
    EXPECT_FALSE(Inbound(frame)) << "a CREATE's fixed part runs into the next segment";
    EXPECT_EQ(frame, copy);

    Bytes write = Smb2Request(9, 7, 48);
    Bytes writeFrame = ClientFrame(NetbiosWrap(write, 65000), 445, 50002);
    EXPECT_TRUE(Inbound(writeFrame)) << "a WRITE's first segment holds its file id";
    EXPECT_EQ(writeFrame[FrameSmb], 0);

    Smb1Fields writeAndX;
    writeAndX.command = 0x2F;
    std::vector<uint16_t> words(14);
    words[0] = 0xFF; // no chained command
    Bytes smb1 = Smb1Message(writeAndX, words, Bytes(20, 0));
    Bytes smb1Frame = ClientFrame(NetbiosWrap(smb1, 60000), 445, 50003);
    EXPECT_TRUE(Inbound(smb1Frame));
    Smb1Fields close;
    close.command = 0x04;
    Bytes smb1Close = Smb1Message(close, std::vector<uint16_t>(3), Bytes(30, 0));
    Bytes closeFrame = ClientFrame(NetbiosWrap(smb1Close, 60000), 445, 50004);
    EXPECT_FALSE(Inbound(closeFrame));
}

TEST_F(InspectTest, WrongDirectionBitsAndOtherProtocolsAreIgnored) {
    RefuseUnlistedClients();
    Smb2Fields responseFields;
    responseFields.command = 5;
    responseFields.flags = 1;
    Smb1Fields reply;
    reply.command = 0xA2;
    reply.flags = 0x98;
    Bytes notSmb = Smb2Request(5);
    notSmb[0] = 0xFD;
    Bytes keepalive = Smb2Request(5);
    Bytes frames[] = {
        ClientFrame(NetbiosWrap(Smb2Message(responseFields, Bytes(56, 0)))),
        ClientFrame(NetbiosWrap(Smb1Message(reply, std::vector<uint16_t>(24), Bytes(40, 0)))),
        ClientFrame(NetbiosWrap(notSmb)),
        ClientFrame(NetbiosWrap(keepalive, -1, 0x85)),
    };
    for (Bytes& frame : frames) {
        Bytes copy = frame;
        EXPECT_FALSE(Inbound(frame));
        EXPECT_EQ(frame, copy);
    }
    EXPECT_EQ(Stats().InboundPackets, 4u) << "counted before the SMB checks";
}

TEST_F(InspectTest, ResponsesAreNeverGated) {
    RefuseUnlistedClients();
    Bytes frame = ServerFrame(NetbiosWrap(Smb2Response(5)));
    Bytes copy = frame;
    EXPECT_FALSE(Outbound(frame));
    EXPECT_EQ(frame, copy);
    // Outbound has no 68-byte minimum; a short complete SMB1 reply is accepted as a message.
    Smb1Fields reply;
    reply.command = 0x04;
    reply.flags = 0x98;
    Bytes shortReply = ServerFrame(NetbiosWrap(Smb1Message(reply, {}, {})));
    ASSERT_LT(shortReply.size() - FramePayload, 68u);
    EXPECT_FALSE(Outbound(shortReply));
    EXPECT_EQ(Stats().OutboundPackets, 2u);
}

TEST_F(InspectTest, GateWorksAtDispatchLevel) {
    RefuseUnlistedClients();
    Bytes frame = ClientFrame(NetbiosWrap(Smb2Request(5)));
    SimRaiseIrql(KmDispatchLevel);
    bool rewrote = InspectInbound(frame.data(), uint32_t(frame.size()), true);
    SimLowerIrql(KmPassiveLevel);
    EXPECT_TRUE(rewrote);
}

TEST_F(InspectTest, IntervalCountersCoverTheGapBetweenRefreshes) {
    Bytes request = ClientFrame(NetbiosWrap(Smb2Request(8)));
    uint64_t size = request.size();
    Inbound(request); // first frame: snapshot still empty
    EXPECT_EQ(Stats().InboundIntervalBytes, 0u);
    Inbound(request); // snapshot taken: `size` bytes
    SimAdvanceSystemTime(5000000);
    Inbound(request); // half a second later: no refresh
    EXPECT_EQ(Stats().InboundIntervalBytes, 0u);
    SimAdvanceSystemTime(5000000);
    Inbound(request); // one second after the snapshot: two frames counted since
    EXPECT_EQ(Stats().InboundIntervalBytes, 2 * size);
    SimAdvanceSystemTime(30 * 10000000ull);
    Inbound(request); // a long gap: one frame since, not scaled
    EXPECT_EQ(Stats().InboundIntervalBytes, size);
    EXPECT_EQ(Stats().OutboundIntervalBytes, 0u);
}

TEST_F(InspectTest, NotStartedEngineLeavesFramesAlone) {
    EngineStop();
    Bytes frame = ClientFrame(NetbiosWrap(Smb2Request(5)));
    Bytes copy = frame;
    EXPECT_FALSE(Inbound(frame));
    EXPECT_EQ(frame, copy);
    ASSERT_TRUE(EngineStart());
}

// Any frame, of any length and content, leaves the engine intact and is either returned
// untouched or reported as rewritten.
TEST_F(InspectTest, ArbitraryFramesAreHandledSafely) {
    RefuseUnlistedClients();
    std::mt19937 random(445);
    Bytes seeds[] = {
        ClientFrame(NetbiosWrap(Smb2Compound({Smb2Request(5), Smb2Request(9, 2, 48)}))),
        ClientFrame(NetbiosWrap(Smb1Message(Smb1Fields{}, std::vector<uint16_t>(24), {}))),
        ServerFrame(NetbiosWrap(Smb2Compound({Smb2Response(5), Smb2Response(16)}))),
    };
    for (int round = 0; round < 20000; ++round) {
        Bytes frame = seeds[round % 3];
        int edits = 1 + random() % 6;
        for (int e = 0; e < edits; ++e) {
            frame[random() % frame.size()] = uint8_t(random());
        }
        frame.resize(random() % (frame.size() + 1));
        // A heap copy of exactly the frame's size, so that ASan sees any overread.
        uint8_t* exact = new uint8_t[frame.size() + 1];
        std::copy(frame.begin(), frame.end(), exact);
        bool rewrote = round % 2 ? InspectInbound(exact, uint32_t(frame.size()), false)
                                 : InspectOutbound(exact, uint32_t(frame.size()), false);
        if (!rewrote) {
            ASSERT_TRUE(std::equal(frame.begin(), frame.end(), exact)) << "round " << round;
        }
        delete[] exact;
    }
}

} // namespace
