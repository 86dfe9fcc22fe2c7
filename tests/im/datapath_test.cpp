// Frames through the driver: re-wrapped sends and receives, rewritten copies carried by
// one buffer of the driver's, lookahead receives, and the mends for frames that cannot
// be inspected or cannot travel rewritten.
#include <algorithm>
#include <map>

#include "im_fixture.h"
#include "ntlm.h"
#include "policy_builders.h"
#include "smb_builders.h"

namespace {

const uint64_t Alice = 0x100000000001ull;
const uint32_t Docs = 7;
const size_t SmbAt = FramePayload + 4;
const uint32_t AccessDenied = 0xC0000022;

class DataPathTest : public ImTest {
  protected:
    void SetUp() override {
        ImTest::SetUp();
        options.sendsPend = true;
        b = Bind(options);
        Control(IOCTL_ENGINE_SET_INSPECTION, {1}, 4);
        Push(IOCTL_ENGINE_SET_RULES, std::vector<AccessRule>{Rule("docs", "alice", "11000000")});
        Bytes blob = SpnegoResponse(NtlmAuthenticate("alice", "TESTDOM", "WKS7"));
        Smb2Ids logon{Alice, 0, nextId++};
        Receive(Smb2SessionSetupRequest(logon, blob));
        Send(Smb2SessionSetupResponse(logon, 0)); // the server's word makes her alice
        Smb2Ids ids{Alice, 0, nextId++};
        Receive(Smb2TreeConnectRequest(ids, "\\\\FILESRV\\Docs"));
        ids.tree = Docs;
        Send(Smb2TreeConnectResponse(ids));
        b->CompleteSends();
        b->ReturnPackets();
    }
    Bytes Request(const Bytes& smb) { return BuildTcpFrame(client, server, NetbiosWrap(smb)); }
    Bytes Answer(const Bytes& smb) { return BuildTcpFrame(server, client, NetbiosWrap(smb)); }
    void Receive(const Bytes& smb, const sim5::Chain& chain = {{20, 33}}) {
        b->IndicatePacket(Request(smb), chain);
    }
    void Send(const Bytes& smb, const sim5::Chain& chain = {{14, 40}}) {
        b->Send({Answer(smb)}, chain, true);
    }
    Bytes DeleteOpen(const Smb2Ids& ids) {
        Smb2CreateFields fields;
        fields.name = "plan" + std::to_string(ids.messageId) + ".txt";
        fields.desiredAccess = 0x00010080;
        fields.createOptions = 0x00001000; // delete on close
        return Smb2CreateRequest(ids, fields);
    }
    uint32_t SentStatus() { return ReadLe32(b->sent.back(), SmbAt + Smb2StatusAt); }
    static uint32_t ReadLe32(const Bytes& bytes, size_t at) {
        return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
               uint32_t(bytes[at + 3]) << 24;
    }
    // Frame blocks still held: the binding's record is the one other block.
    int64_t FrameBlocks() { return sim5::Outstanding().memoryBlocks - 1; }

    sim5::AdapterOptions options;
    sim5::Binding* b = nullptr;
    Endpoint client = TestClient(10);
    Endpoint server = TestServer(445);
    uint64_t nextId = 100;
};

TEST_F(DataPathTest, UnrewrittenFramesTravelOnTheirOwnBuffers) {
    struct Case {
        const char* name;
        sim5::Chain chain;
        NDIS_STATUS receiveStatus;
    } cases[] = {
        {"one buffer", {{}, true, false}, NDIS_STATUS_SUCCESS},
        {"four mapped buffers", {{1, 13, 40}, true, false}, NDIS_STATUS_SUCCESS},
        {"unmapped buffers", {{7, 60}, false, false}, NDIS_STATUS_RESOURCES},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes request = Request(Smb2CloseRequest({Alice, Docs, nextId++}, FileId{1, 2}));
        EXPECT_EQ(b->IndicatePacket(request, c.chain, c.receiveStatus),
                  c.receiveStatus == NDIS_STATUS_RESOURCES ? 0 : 1);
        EXPECT_EQ(b->received.back(), request);
        EXPECT_FALSE(b->receivedCopy.back());
        EXPECT_EQ(b->receivedStatus.back(), c.receiveStatus);
        EXPECT_EQ(b->receivedHeaderSize.back(), 14u);
        Bytes answer = Answer(Smb2SimpleResponse(6, {Alice, Docs, nextId - 1}));
        b->Send({answer, answer}, c.chain, false);
        EXPECT_EQ(b->sent.back(), answer);
        EXPECT_FALSE(b->sentCopy.back());
        EXPECT_EQ(FrameBlocks(), 0);
        b->CompleteSends(1, 7);
        b->CompleteSends();
        b->ReturnPackets();
        EXPECT_EQ(b->HeldReceives(), 0u);
        EXPECT_EQ(sim5::Outstanding().packets, 0);
    }
    EXPECT_EQ(b->sendCompletions, std::vector<NDIS_STATUS>(6 + 2, NDIS_STATUS_SUCCESS));
}

TEST_F(DataPathTest, DeniedRequestAndItsAnswerTravelRewrittenAndTheirBlocksAreFreed) {
    for (NDIS_STATUS receiveStatus : {NDIS_STATUS_SUCCESS, NDIS_STATUS_RESOURCES}) {
        Smb2Ids ids{Alice, Docs, nextId++};
        Bytes request = Request(DeleteOpen(ids));
        b->IndicatePacket(request, {{3, 30, 10}, false, false}, receiveStatus);
        ASSERT_TRUE(b->receivedCopy.back());
        EXPECT_EQ(b->received.back().size(), request.size());
        EXPECT_NE(b->received.back(), request);
        // Each buffer of the chain copied whole: the headers before the IPv4 checksum
        // travel as they came.
        EXPECT_TRUE(std::equal(request.begin(), request.begin() + 24, b->received.back().begin()));
        EXPECT_TRUE(std::equal(request.begin() + 26, request.begin() + 34,
                               b->received.back().begin() + 26));
        EXPECT_TRUE(Ipv4ChecksumValid(b->received.back()));
        EXPECT_TRUE(TcpChecksumValid(b->received.back()));
        EXPECT_EQ(FrameBlocks(), receiveStatus == NDIS_STATUS_RESOURCES ? 0 : 1);

        Send(Smb2ErrorResponse(5, ids, 0xC000000D));
        EXPECT_TRUE(b->sentCopy.back());
        EXPECT_EQ(SentStatus(), AccessDenied);
        EXPECT_TRUE(TcpChecksumValid(b->sent.back()));
        b->ReturnPackets();
        b->CompleteSends();
        EXPECT_EQ(FrameBlocks(), 0);
        EXPECT_EQ(sim5::Outstanding().buffers, 0);
    }
}

TEST_F(DataPathTest, FramesThatCannotBeMappedOrCarriedRewrittenKeepNoDenial) {
    // A buffer without a system address: the frame is not inspected at all.
    Smb2Ids unmapped{Alice, Docs, nextId++};
    Bytes request = Request(DeleteOpen(unmapped));
    b->IndicatePacket(request, {{20}, false, true});
    EXPECT_EQ(b->received.back(), request);
    Send(Smb2ErrorResponse(5, unmapped, 0xC000000D));
    EXPECT_EQ(SentStatus(), 0xC000000Du);

    // Each allocation of the receive path failing in turn (the descriptor, the frame block,
    // the engine's, the buffer over the rewritten copy): whenever the original bytes reach
    // the server, its answer must reach the client unchanged.
    // Until the path makes fewer allocations than the one to fail.
    for (uint64_t nth = 1;; ++nth) {
        SCOPED_TRACE(nth);
        ASSERT_LT(nth, 200u);
        Smb2Ids ids{Alice, Docs, nextId++};
        Bytes frame = Request(DeleteOpen(ids));
        size_t before = b->received.size();
        uint64_t start = SimPoolAllocationCount();
        SimPoolFailAllocation(nth);
        b->IndicatePacket(frame, {{30}});
        SimPoolFailAllocation(0);
        if (SimPoolAllocationCount() - start < nth) {
            b->ReturnPackets();
            Send(Smb2ErrorResponse(5, ids, 0xC000000D));
            b->CompleteSends();
            break;
        }
        if (b->received.size() == before) {
            continue; // no descriptor: the frame never reached the server
        }
        bool travelledRewritten = b->received.back() != frame;
        b->ReturnPackets();
        Send(Smb2ErrorResponse(5, ids, 0xC000000D));
        if (!travelledRewritten) {
            EXPECT_NE(SentStatus(), AccessDenied);
        }
        b->CompleteSends();
        EXPECT_EQ(FrameBlocks(), 0);
    }
}

TEST_F(DataPathTest, SendsCompleteUpWithTheStatusFromBelowOrTheAllocationFailure) {
    Bytes answer = Answer(Smb2SimpleResponse(6, {Alice, Docs, 1}));
    size_t before = b->sendCompletions.size();
    SimPoolFailAllocation(1); // the descriptor
    b->Send({answer}, {}, false);
    SimPoolFailAllocation(0);
    ASSERT_EQ(b->sendCompletions.size(), before + 1);
    EXPECT_EQ(b->sendCompletions.back(), NDIS_STATUS_RESOURCES);
    EXPECT_EQ(b->sent.size(), 2u); // only the set-up and tree connect answers went down
}

TEST_F(DataPathTest, LookaheadReceivesGoUpUntouchedWithTheirCompleteOnTheSameProcessor) {
    Smb2Ids ids{Alice, Docs, nextId++};
    Bytes request = Request(DeleteOpen(ids));
    EXPECT_EQ(b->IndicateLookahead(request, false, 3), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(b->received.back(), request);
    EXPECT_EQ(b->lookaheadIndications, 1);
    EXPECT_EQ(b->receiveCompleteProcessors, std::vector<uint32_t>{3});
    EXPECT_EQ(b->TransferData(40, 8), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(b->transferredBytes, Bytes(request.begin() + 54, request.begin() + 62));

    // With a packet behind it the frame is inspected and indicated as a packet that the
    // protocols above must copy at once.
    b->IndicateLookahead(request, true, 1);
    EXPECT_TRUE(b->receivedCopy.back());
    EXPECT_EQ(b->receivedStatus.back(), NDIS_STATUS_RESOURCES);
    EXPECT_EQ(b->lookaheadIndications, 1);
    EXPECT_EQ(b->receiveCompleteProcessors.size(), 1u);
    EXPECT_EQ(FrameBlocks(), 0);
}

// Sends drawn by seed below: taken at once or pending, succeeding or failing, some
// cancelled from above and aborted below from within the cancel. The model checks that
// each comes up once with the status it got below; rewritten answers free their blocks.
TEST_F(DataPathTest, SendsFailingOrCancelledBelowCompleteUpOnceWithTheirStatus) {
    std::map<NDIS_STATUS, size_t> seen;
    size_t atOnceSeen = 0, pendingSeen = 0;
    for (uint64_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE(seed);
        sim5::AdapterOptions drawn;
        drawn.upperBindings = u"\\Device\\MerrowfaldineMp2";
        drawn.sendSeed = seed;
        sim5::Binding* other = Bind(drawn);
        std::vector<Bytes> frames;
        for (int i = 0; i < 8; ++i) {
            Smb2Ids ids{Alice, Docs, nextId++};
            if (i % 2 == 0) {
                frames.push_back(Answer(Smb2SimpleResponse(6, ids)));
                continue;
            }
            other->IndicatePacket(Request(DeleteOpen(ids)), {});
            frames.push_back(Answer(Smb2ErrorResponse(5, ids, 0xC000000D)));
        }
        other->Send(frames, {{14, 40}}, true);
        EXPECT_EQ(std::count(other->sentCopy.begin(), other->sentCopy.end(), true), 4);
        size_t atOnce = other->sendCompletions.size();
        EXPECT_EQ(atOnce + other->PendingSends(), frames.size());
        atOnceSeen += atOnce;
        pendingSeen += frames.size() - atOnce;
        size_t aborted = other->CancelSends(seed);
        other->CompleteSends(0, seed);
        ASSERT_EQ(other->sendCompletions.size(), frames.size());
        EXPECT_EQ(size_t(std::count(other->sendCompletions.begin(), other->sendCompletions.end(),
                                    NDIS_STATUS_REQUEST_ABORTED)),
                  aborted);
        for (NDIS_STATUS status : other->sendCompletions) {
            seen[status] += 1;
        }
        other->ReturnPackets();
        Unbind(other);
        EXPECT_EQ(FrameBlocks(), 0);
    }
    // The seeds reach every path.
    EXPECT_GT(atOnceSeen, 0u);
    EXPECT_GT(pendingSeen, 0u);
    EXPECT_GT(seen[NDIS_STATUS_SUCCESS], 0u);
    EXPECT_GT(seen[NDIS_STATUS_FAILURE], 0u);
    EXPECT_GT(seen[NDIS_STATUS_REQUEST_ABORTED], 0u);
}

// The rest of a lookahead frame fetched at once or pending below, succeeding or failing:
// a pending transfer reaches the protocol above through NdisMTransferDataComplete, once.
TEST_F(ImTest, TransfersAtOnceOrPendingBelowReachTheProtocolAbove) {
    struct Case {
        bool pends;
        NDIS_STATUS below;
    } cases[] = {
        {false, NDIS_STATUS_SUCCESS}, {true, NDIS_STATUS_SUCCESS}, {true, NDIS_STATUS_FAILURE}};
    Bytes frame(80);
    for (size_t i = 0; i < frame.size(); ++i) {
        frame[i] = uint8_t(i * 7);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pends ? "pending" : "at once");
        sim5::AdapterOptions options;
        options.transfersPend = c.pends;
        sim5::Binding* b = Bind(options);
        b->IndicateLookahead(frame, false, 2);
        NDIS_STATUS status = b->TransferData(40, 8);
        EXPECT_EQ(status, c.pends ? NDIS_STATUS_PENDING : NDIS_STATUS_SUCCESS);
        EXPECT_FALSE(b->transferCompleted);
        if (c.pends) {
            b->CompleteTransfer(c.below);
            EXPECT_TRUE(b->transferCompleted);
            EXPECT_EQ(b->transferStatus, c.below);
        }
        Bytes expected(frame.begin() + 54, frame.begin() + 62);
        EXPECT_EQ(b->transferredBytes, c.below == NDIS_STATUS_SUCCESS ? expected : Bytes());
        Unbind(b);
    }
}

// Each medium on a processor of its own, up to the last of the 64 the model reports.
TEST_F(ImTest, LookaheadIndicationsFollowTheMediumOnEveryProcessor) {
    struct Case {
        NDIS_MEDIUM medium;
        int tokenRing;
        uint32_t processor;
    } cases[] = {{NdisMedium802_5, 1, 2}, {NdisMediumWan, 0, 40}, {NdisMedium802_3, 0, 63}};
    for (const Case& c : cases) {
        sim5::AdapterOptions options;
        options.medium = c.medium;
        sim5::Binding* b = Bind(options);
        b->IndicateLookahead(Bytes(60, 0xAB), false, c.processor);
        EXPECT_EQ(b->lookaheadIndications, 1);
        EXPECT_EQ(b->tokenRingIndications, c.tokenRing);
        EXPECT_EQ(b->receiveCompleteProcessors, std::vector<uint32_t>{c.processor});
        Unbind(b);
    }
}

} // namespace
