// Driver entry, bindings, the virtual miniport's life and the control device that follows
// it; every failure of a bind leaves nothing behind.
#include <functional>

#include "im_fixture.h"
#include "sim.h"

namespace {

using sim5::AdapterOptions;

TEST_F(ImTest, ControlDeviceLivesFromTheFirstMiniportToTheLast) {
    EXPECT_FALSE(sim5::ControlDeviceExists());
    int registrations = sim5::ControlDeviceRegistrations();
    sim5::Binding* first = Bind();
    ASSERT_TRUE(sim5::ControlDeviceExists());
    Control(IOCTL_ENGINE_GET_VERSION, {}, 4);
    uint32_t version;
    std::memcpy(&version, lastOutput.data(), 4);
    EXPECT_EQ(version, EngineVersion);

    AdapterOptions second;
    second.upperBindings = u"\\Device\\MerrowfaldineMp2";
    sim5::Binding* other = Bind(second);
    EXPECT_EQ(sim5::ControlDeviceRegistrations() - registrations, 1);
    Unbind(first);
    EXPECT_TRUE(sim5::ControlDeviceExists());
    Unbind(other);
    EXPECT_FALSE(sim5::ControlDeviceExists());
    // A new first miniport brings it back.
    Bind();
    EXPECT_TRUE(sim5::ControlDeviceExists());
    EXPECT_EQ(sim5::ControlDeviceRegistrations() - registrations, 2);
}

TEST_F(ImTest, BindingsOpenAndCloseSynchronouslyOrPending) {
    struct Case {
        const char* name;
        NDIS_MEDIUM lower;
        bool openPends, closePends;
        NDIS_MEDIUM expectedUpper;
    } cases[] = {
        {"ethernet, at once", NdisMedium802_3, false, false, NdisMedium802_3},
        {"ethernet, pending", NdisMedium802_3, true, true, NdisMedium802_3},
        {"token ring", NdisMedium802_5, false, true, NdisMedium802_5},
        {"wan presented as ethernet", NdisMediumWan, true, false, NdisMedium802_3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AdapterOptions options;
        options.medium = c.lower;
        options.openPends = c.openPends;
        options.closePends = c.closePends;
        sim5::Binding* b = Bind(options);
        ASSERT_TRUE(b->MiniportUp());
        EXPECT_TRUE(b->BindingOpen());
        EXPECT_EQ(b->SelectedUpperMedium(), c.expectedUpper);
        EXPECT_EQ(b->AttributeFlags(), 0x73u);
        Unbind(b);
        ExpectNothingLeft();
    }
}

TEST_F(ImTest, NdisVersionIsReadAtTheFirstBindingOnly) {
    AdapterOptions first;
    first.ndisVersion = 0x50001;
    Bind(first);
    EXPECT_EQ(g_Im.NdisVersion, 0x50001u);
    AdapterOptions second;
    second.upperBindings = u"\\Device\\MerrowfaldineMp2";
    second.hasNdisVersion = false;
    Bind(second);
    EXPECT_EQ(g_Im.NdisVersion, 0x50001u);
}

TEST_F(ImTest, UnbindBeforeMiniportInitializeRan) {
    for (bool cancelSucceeds : {true, false}) {
        SCOPED_TRACE(cancelSucceeds ? "cancelled" : "awaited");
        AdapterOptions options;
        options.init = sim5::InitMode::Deferred;
        options.cancelInitSucceeds = cancelSucceeds;
        options.closePends = true;
        NDIS_STATUS status;
        sim5::Binding* b = sim5::Bind(options, &status);
        ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
        EXPECT_FALSE(b->MiniportUp());
        EXPECT_FALSE(sim5::ControlDeviceExists());
        int registrations = sim5::ControlDeviceRegistrations();
        EXPECT_EQ(sim5::Unbind(b), NDIS_STATUS_SUCCESS);
        // An initialisation too late to cancel runs, and the unbind then halts it.
        EXPECT_EQ(sim5::ControlDeviceRegistrations() - registrations, cancelSucceeds ? 0 : 1);
        EXPECT_FALSE(sim5::ControlDeviceExists());
        ExpectNothingLeft();
    }
}

TEST_F(ImTest, EveryFailedBindLeavesNothingBehind) {
    struct Case {
        const char* name;
        void (*set)(AdapterOptions*);
    } cases[] = {
        {"configuration", [](AdapterOptions* o) { o->failConfiguration = true; }},
        {"no NdisVersion", [](AdapterOptions* o) { o->hasNdisVersion = false; }},
        {"no UpperBindings", [](AdapterOptions* o) { o->hasUpperBindings = false; }},
        {"open refused", [](AdapterOptions* o) { o->openStatus = NDIS_STATUS_FAILURE; }},
        {"open refused late",
         [](AdapterOptions* o) {
             o->openStatus = NDIS_STATUS_FAILURE;
             o->openPends = true;
         }},
        {"no medium above",
         [](AdapterOptions* o) {
             o->medium = NdisMedium802_5;
             o->offeredMedia = {NdisMedium802_3};
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AdapterOptions options;
        c.set(&options);
        NDIS_STATUS status;
        sim5::Binding* b = sim5::Bind(options, &status);
        EXPECT_NE(status, NDIS_STATUS_SUCCESS);
        EXPECT_FALSE(b->BindingOpen());
        sim5::Unbind(b);
        EXPECT_FALSE(sim5::ControlDeviceExists());
        ExpectNothingLeft();
    }
    // Every allocation of a bind failing in turn, until the bind gets through.
    for (uint64_t nth = 1;; ++nth) {
        SCOPED_TRACE(nth);
        AdapterOptions options;
        options.openPends = nth % 2 == 0;
        SimPoolFailAllocation(nth);
        NDIS_STATUS status;
        sim5::Binding* b = sim5::Bind(options, &status);
        SimPoolFailAllocation(0);
        if (status == NDIS_STATUS_SUCCESS) {
            EXPECT_GT(nth, 3u);
            bindings.push_back(b);
            break;
        }
        sim5::Unbind(b);
        ExpectNothingLeft();
        ASSERT_LT(nth, 50u);
    }
}

TEST_F(ImTest, FailedRegistrationTerminatesTheWrapperAndStopsTheEngine) {
    sim5::UnloadDriver();
    for (bool failMiniport : {true, false}) {
        sim5::LoadOptions options;
        options.failMiniportRegistration = failMiniport;
        options.failProtocolRegistration = !failMiniport;
        EXPECT_NE(sim5::LoadDriver(options), NDIS_STATUS_SUCCESS);
        EXPECT_FALSE(sim5::ProtocolRegistered());
        ExpectNothingLeft(true);
    }
    ASSERT_EQ(sim5::LoadDriver(), NDIS_STATUS_SUCCESS);
}

// The control device cannot be registered: frames still pass, the unbind deregisters
// nothing, and the next first miniport brings the device up.
TEST_F(ImTest, WithoutItsControlDeviceTheDriverStillPassesFrames) {
    sim5::UnloadDriver();
    sim5::LoadOptions options;
    options.failDeviceRegistrations = 1;
    ASSERT_EQ(sim5::LoadDriver(options), NDIS_STATUS_SUCCESS);
    sim5::Binding* b = Bind();
    ASSERT_TRUE(b->MiniportUp());
    EXPECT_FALSE(sim5::ControlDeviceExists());
    std::vector<uint8_t> frame(60, 0x5A);
    EXPECT_EQ(b->IndicatePacket(frame, {}), 1);
    b->Send({frame}, {}, true);
    EXPECT_EQ(b->received.back(), frame);
    EXPECT_EQ(b->sent.back(), frame);
    EXPECT_EQ(b->sendCompletions, std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
    b->ReturnPackets();
    Unbind(b);
    Bind();
    EXPECT_TRUE(sim5::ControlDeviceExists());
}

// Receives whose packets no protocol above keeps come home from within the indication;
// a halt NDIS starts while a receive is inside the driver waits for that receive.
TEST_F(ImTest, PacketsReturnedWithinTheIndicationAndAHaltDuringAReceive) {
    for (bool halt : {false, true}) {
        SCOPED_TRACE(halt ? "halted by NDIS" : "returned at once");
        AdapterOptions options;
        options.upperRetainsPackets = false;
        sim5::Binding* b = Bind(options);
        std::vector<uint8_t> frame(64, 0x3C);
        if (halt) {
            b->HaltWhileReceiving(frame);
        } else {
            EXPECT_EQ(b->IndicatePacket(frame, {{20}}), 1);
        }
        EXPECT_EQ(b->received.back(), frame);
        EXPECT_EQ(b->HeldReceives(), 0u);
        EXPECT_EQ(b->halted, halt);
        EXPECT_EQ(b->MiniportUp(), !halt);
        EXPECT_EQ(b->BindingOpen(), !halt);
        bindings.pop_back();
        EXPECT_EQ(sim5::Unbind(b), halt ? NDIS_STATUS_FAILURE : NDIS_STATUS_SUCCESS);
        EXPECT_FALSE(sim5::ControlDeviceExists());
        ExpectNothingLeft();
    }
}

// Call sequences the documentation forbids, as a faulty driver would make them: the model
// flags each one.
TEST_F(ImTest, ModelFlagsCallSequencesTheDocumentationForbids) {
    struct Case {
        const char* expected;
        std::function<void(ImAdapter*)> run;
    } cases[] = {
        {"id the protocol above did not cancel",
         [](ImAdapter* a) { NdisCancelSendPackets(a->BindingHandle, &a->Request); }},
    };
    sim5::Binding* b = Bind();
    auto* adapter = static_cast<ImAdapter*>(b->Context());
    SimSetMisuseMode(SimMisuseMode::Record);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        SimClearMisuse();
        c.run(adapter);
        EXPECT_EQ(SimMisuseCount(), 1u);
        EXPECT_NE(std::string(SimLastMisuse()).find(c.expected), std::string::npos)
            << SimLastMisuse();
    }
    SimSetMisuseMode(SimMisuseMode::Abort);
}

} // namespace
