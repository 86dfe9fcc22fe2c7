// Requests from above, answered locally or forwarded one at a time, and the power states
// of both edges: queued and failed requests, held-back media status, and a power-down of
// the lower adapter that waits for outstanding work.
#include "im_fixture.h"

namespace {

std::vector<uint8_t> Word(uint32_t value) {
    std::vector<uint8_t> bytes(4);
    std::memcpy(bytes.data(), &value, 4);
    return bytes;
}

uint32_t WordAt(const std::vector<uint8_t>& bytes, size_t at) {
    uint32_t value;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
}

const NDIS_OID OidLinkSpeed = 0x00010107;
const NDIS_OID OidPacketFilter = 0x0001010E;

TEST_F(ImTest, RequestsAreAnsweredLocallyOrForwarded) {
    for (bool pends : {false, true}) {
        SCOPED_TRACE(pends ? "pending below" : "at once below");
        sim5::AdapterOptions options;
        options.requestsPend = pends;
        options.requestIrqlSeed = pends ? 5 : 6;
        sim5::Binding* b = Bind(options);
        b->Answer(OidLinkSpeed, Word(1000000));

        EXPECT_EQ(b->Query(OID_PNP_QUERY_POWER, 4).returned, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(b->Query(OID_GEN_SUPPORTED_GUIDS, 4).returned, NDIS_STATUS_NOT_SUPPORTED);
        EXPECT_EQ(b->requestsBelow, 0);

        // A query always completes up, even when the lower adapter answered at once.
        EXPECT_EQ(b->Query(OidLinkSpeed, 8).returned, NDIS_STATUS_PENDING);
        if (pends) {
            EXPECT_FALSE(b->LastRequest().completed);
            b->CompleteRequest(NDIS_STATUS_SUCCESS);
        }
        EXPECT_TRUE(b->LastRequest().completed);
        EXPECT_EQ(b->LastRequest().completionStatus, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(b->LastRequest().bytesDone, 4u);
        EXPECT_EQ(WordAt(b->LastRequest().buffer, 0), 1000000u);

        // A set answered at once returns its status directly.
        sim5::Request set = b->Set(OidPacketFilter, Word(0xB));
        EXPECT_EQ(set.returned, pends ? NDIS_STATUS_PENDING : NDIS_STATUS_SUCCESS);
        if (pends) {
            b->CompleteRequest(NDIS_STATUS_SUCCESS);
            EXPECT_TRUE(b->LastRequest().completed);
        } else {
            EXPECT_FALSE(b->LastRequest().completed);
            EXPECT_EQ(set.bytesDone, 4u);
        }
        EXPECT_EQ(b->lastOidBelow, OidPacketFilter);
        Unbind(b);
    }
}

TEST_F(ImTest, CapabilitiesAndMacOptionsAreAdjusted) {
    for (uint32_t version : {0x50001u, 0x50000u}) {
        SCOPED_TRACE(version);
        sim5::UnloadDriver();
        ASSERT_EQ(sim5::LoadDriver(), NDIS_STATUS_SUCCESS);
        sim5::AdapterOptions options;
        options.ndisVersion = version;
        sim5::Binding* b = Bind(options);
        std::vector<uint8_t> caps = Word(0);
        for (uint32_t state : {4u, 4u, 3u}) {
            std::vector<uint8_t> w = Word(state);
            caps.insert(caps.end(), w.begin(), w.end());
        }
        b->Answer(OID_PNP_CAPABILITIES, caps);
        b->Query(OID_PNP_CAPABILITIES, 16);
        EXPECT_EQ(b->LastRequest().completionStatus, NDIS_STATUS_SUCCESS);
        for (size_t at : {4u, 8u, 12u}) {
            EXPECT_EQ(WordAt(b->LastRequest().buffer, at), 0u);
        }
        b->Answer(OID_PNP_CAPABILITIES, {});
        b->Query(OID_PNP_CAPABILITIES, 8);
        EXPECT_EQ(b->LastRequest().completionStatus, NDIS_STATUS_RESOURCES);
        EXPECT_EQ(b->LastRequest().bytesNeeded, 16u);

        b->Answer(OID_GEN_MAC_OPTIONS, Word(0x0F));
        b->Query(OID_GEN_MAC_OPTIONS, 4);
        EXPECT_EQ(WordAt(b->LastRequest().buffer, 0), version > 0x50000 ? 0x07u : 0x0Fu);
        Unbind(b);
    }
}

// Queries and sets at PASSIVE_LEVEL, or at DISPATCH_LEVEL and PASSIVE_LEVEL as seeds draw.
TEST_F(ImTest, MiniportPowerStatesAndHeldBackMediaStatus) {
    for (uint64_t irqlSeed : {0, 1, 2, 3}) {
        SCOPED_TRACE(irqlSeed);
        sim5::AdapterOptions options;
        options.requestIrqlSeed = irqlSeed;
        sim5::Binding* b = Bind(options);
        sim5::Request shortSet = b->Set(OID_PNP_SET_POWER, {1, 0});
        EXPECT_EQ(shortSet.returned, NDIS_STATUS_INVALID_LENGTH);
        EXPECT_EQ(shortSet.bytesNeeded, 4u);

        EXPECT_EQ(b->Set(OID_PNP_SET_POWER, Word(NdisDeviceStateD3)).returned, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(b->Set(OID_PNP_SET_POWER, Word(NdisDeviceStateD2)).returned, NDIS_STATUS_FAILURE);
        EXPECT_EQ(b->Query(OidLinkSpeed, 4).returned, NDIS_STATUS_FAILURE);
        b->Send({std::vector<uint8_t>(60, 1)}, {}, false);
        EXPECT_EQ(b->sendCompletions, std::vector<NDIS_STATUS>{NDIS_STATUS_FAILURE});
        EXPECT_EQ(b->IndicatePacket(std::vector<uint8_t>(60, 2), {}), 0);
        EXPECT_TRUE(b->received.empty());

        b->Status(NDIS_STATUS_MEDIA_DISCONNECT);
        b->StatusComplete();
        EXPECT_TRUE(b->statuses.empty());
        EXPECT_EQ(b->Set(OID_PNP_SET_POWER, Word(NdisDeviceStateD0)).returned, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(b->statuses, std::vector<NDIS_STATUS>{NDIS_STATUS_MEDIA_DISCONNECT});
        EXPECT_EQ(b->statusCompletes, 1);
        // At full power every status goes up at once.
        b->Status(NDIS_STATUS_MEDIA_CONNECT);
        EXPECT_EQ(b->statuses.back(), NDIS_STATUS_MEDIA_CONNECT);
        Unbind(b);
    }
}

TEST_F(ImTest, RequestWaitsForTheLowerAdapterAndIsFailedWhenItLeaves) {
    for (bool powerBack : {true, false}) {
        SCOPED_TRACE(powerBack ? "powered again" : "unbound");
        sim5::Binding* b = Bind();
        b->Answer(OidLinkSpeed, Word(10));
        // The lower adapter goes down; the miniport is then cycled, so it is not standing by.
        EXPECT_EQ(b->PowerEvent(NdisDeviceStateD3), NDIS_STATUS_SUCCESS);
        b->Set(OID_PNP_SET_POWER, Word(NdisDeviceStateD3));
        b->Set(OID_PNP_SET_POWER, Word(NdisDeviceStateD0));
        EXPECT_EQ(b->Query(OidLinkSpeed, 4).returned, NDIS_STATUS_PENDING);
        EXPECT_EQ(b->requestsBelow, 0);
        if (powerBack) {
            b->PowerEvent(NdisDeviceStateD0);
            EXPECT_EQ(b->requestsBelow, 1);
            EXPECT_EQ(b->LastRequest().completionStatus, NDIS_STATUS_SUCCESS);
            EXPECT_EQ(b->pnpEvents.size(), 2u);
            Unbind(b);
        } else {
            // The unbind fails the queued request before the miniport goes.
            bindings.pop_back();
            sim5::Request last;
            EXPECT_EQ(sim5::Unbind(b, &last), NDIS_STATUS_SUCCESS);
            EXPECT_TRUE(last.completed);
            EXPECT_EQ(last.completionStatus, NDIS_STATUS_FAILURE);
        }
    }
}

// With and without a request pending below: each alone must hold the power-down back.
TEST_F(ImTest, PowerDownOfTheLowerAdapterWaitsForSendsAndTheRequest) {
    for (bool withRequest : {true, false}) {
        sim5::AdapterOptions options;
        options.sendsPend = true;
        options.requestsPend = true;
        options.upperBindings = withRequest ? u"\\Device\\Mp1" : u"\\Device\\Mp2";
        sim5::Binding* b = Bind(options);
        b->Send({std::vector<uint8_t>(60, 1), std::vector<uint8_t>(70, 2)}, {{10}}, true);
        if (withRequest) {
            EXPECT_EQ(b->Query(OidLinkSpeed, 4).returned, NDIS_STATUS_PENDING);
        }
        bool drainedWhileWaiting = false;
        // The first poll of the power-down finds what is outstanding; the adapter finishes
        // it there, and only then may the power-down return.
        sim5::OnNextSleep([&] {
            EXPECT_EQ(b->PendingSends(), 2u);
            EXPECT_EQ(b->pnpEvents.size(), 1u); // passed up before the wait
            b->CompleteSends();
            if (withRequest) {
                b->CompleteRequest(NDIS_STATUS_SUCCESS);
            }
            drainedWhileWaiting = true;
        });
        EXPECT_EQ(b->PowerEvent(NdisDeviceStateD3), NDIS_STATUS_SUCCESS);
        EXPECT_TRUE(drainedWhileWaiting);
        EXPECT_EQ(b->sendCompletions.size(), 2u);
        EXPECT_EQ(b->LastRequest().completed, withRequest);
        // Sends while the lower adapter is down fail at once.
        b->Send({std::vector<uint8_t>(60, 3)}, {}, false);
        EXPECT_EQ(b->sendCompletions.back(), NDIS_STATUS_FAILURE);
        EXPECT_EQ(b->PowerEvent(NdisDeviceStateD0), NDIS_STATUS_SUCCESS);
    }
}

TEST_F(ImTest, PnPEventsPassUpOrAreAnsweredForTheProtocol) {
    sim5::Binding* b = Bind();
    EXPECT_EQ(b->PnPEvent(NetEventQueryRemoveDevice), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(b->pnpEvents, std::vector<NET_PNP_EVENT_CODE>{NetEventQueryRemoveDevice});
    int before = sim5::ReEnumerations();
    EXPECT_EQ(sim5::GlobalPnPEvent(NetEventReconfigure), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(sim5::GlobalPnPEvent(NetEventBindsComplete), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(sim5::ReEnumerations() - before, 1);
}

} // namespace
