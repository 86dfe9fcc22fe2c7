// The NDIS 6 model alone, under a trivial pass-through filter of the test's own, so that
// a fault of the model cannot hide behind the host: chains come back to their owners
// intact, and the model catches each way a filter can break NDIS's rules.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "ndis6_sim.h"
#include "sim.h"
#include "sim_io.h"

namespace {

// What the pass-through filter does wrong, if anything.
enum class Fault {
    None,
    KeepOwnNetBuffer,
    CompleteTwice,
    HoldLock,
    FreeOwnAfterSend,  // frees its own NET_BUFFER while the miniport still holds it
    ScribbleAfterSend, // changes the bytes of a frame the miniport holds
    // Takes a lock in every handler and restores PASSIVE_LEVEL when the DISPATCH_LEVEL flag
    // is clear (or absent), as if a clear flag promised PASSIVE_LEVEL.
    AssumePassive,
    ClaimDispatch, // completes sends with the DISPATCH_LEVEL flag whatever the IRQL
};

// Handlers whose IRQL the pass-through filter records.
enum Handler { HSend, HComplete, HReceive, HReturn, HOid, HOidComplete, HStatus, HNetPnP, HCount };

struct PassThrough {
    Fault fault = Fault::None;
    NDIS_HANDLE driverHandle = nullptr;
    NDIS_HANDLE filterHandle = nullptr;
    NDIS_HANDLE pool = nullptr;
    KmSpinLock lock = 0;
    NdisMdl* ownMdl = nullptr;
    NET_BUFFER* ownNetBuffer = nullptr;
    uint8_t ownBytes[8] = {};
    Handler faultIn = HCount;      // the handler AssumePassive breaks
    std::set<KmIrql> seen[HCount]; // IRQLs each handler was called at
} g_filter;

// Records the handler's IRQL; under AssumePassive, restores the IRQL a clear flag was taken
// to promise.
void Entered(Handler h, uint32_t flags) {
    g_filter.seen[h].insert(KmGetCurrentIrql());
    if (g_filter.fault == Fault::AssumePassive && g_filter.faultIn == h && (flags & 1) == 0) {
        KmIrql old;
        KmAcquireSpinLock(&g_filter.lock, &old);
        KmReleaseSpinLock(&g_filter.lock, KmPassiveLevel);
    }
}

NDIS_STATUS NDIS_API PtSetOptions(NDIS_HANDLE, NDIS_HANDLE) {
    return NDIS_STATUS_SUCCESS;
}
// Per module: its handle and pool.
struct PtModule {
    NDIS_HANDLE handle;
    NDIS_HANDLE pool;
};

NDIS_STATUS NDIS_API PtAttach(NDIS_HANDLE handle, NDIS_HANDLE, NDIS_FILTER_ATTACH_PARAMETERS*) {
    auto* module = new PtModule{handle, nullptr};
    NDIS_FILTER_ATTRIBUTES a{{NDIS_OBJECT_TYPE_FILTER_ATTRIBUTES, 1, sizeof a}, 0};
    NDIS_STATUS status = NdisFSetAttributes(handle, module, &a);
    NET_BUFFER_POOL_PARAMETERS p{{NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof p}, KmPoolTag("Test"), 0};
    if (status == NDIS_STATUS_SUCCESS) {
        module->pool = NdisAllocateNetBufferPool(handle, &p);
        status = module->pool == nullptr ? NDIS_STATUS_RESOURCES : NDIS_STATUS_SUCCESS;
    }
    if (status != NDIS_STATUS_SUCCESS) {
        delete module;
    } else if (g_filter.filterHandle == nullptr) {
        g_filter.filterHandle = handle;
        g_filter.pool = module->pool;
    }
    return status;
}
void NDIS_API PtDetach(NDIS_HANDLE context) {
    auto* module = static_cast<PtModule*>(context);
    NdisFreeNetBufferPool(module->pool);
    delete module;
}
NDIS_STATUS NDIS_API PtRestart(NDIS_HANDLE, NDIS_FILTER_RESTART_PARAMETERS*) {
    return NDIS_STATUS_SUCCESS;
}
NDIS_STATUS NDIS_API PtPause(NDIS_HANDLE, NDIS_FILTER_PAUSE_PARAMETERS*) {
    return NDIS_STATUS_SUCCESS;
}
void NDIS_API PtSend(NDIS_HANDLE context, NET_BUFFER_LIST* chain, NDIS_PORT_NUMBER port,
                     uint32_t flags) {
    Entered(HSend, flags);
    if (g_filter.fault == Fault::KeepOwnNetBuffer || g_filter.fault == Fault::FreeOwnAfterSend) {
        // Puts a NET_BUFFER of its own in front and never takes it out again.
        g_filter.ownMdl = NdisAllocateMdl(g_filter.filterHandle, g_filter.ownBytes, 8);
        g_filter.ownNetBuffer = NdisAllocateNetBuffer(g_filter.pool, g_filter.ownMdl, 0, 8);
        g_filter.ownNetBuffer->Next = chain->FirstNetBuffer;
        chain->FirstNetBuffer = g_filter.ownNetBuffer;
    }
    if (g_filter.fault == Fault::HoldLock) {
        KmIrql old;
        KmAcquireSpinLock(&g_filter.lock, &old); // returns with it held
    }
    NdisFSendNetBufferLists(static_cast<PtModule*>(context)->handle, chain, port, flags);
    if (g_filter.fault == Fault::FreeOwnAfterSend) {
        NdisFreeNetBuffer(g_filter.ownNetBuffer);
        NdisFreeMdl(g_filter.ownMdl);
        g_filter.ownNetBuffer = nullptr;
    }
    if (g_filter.fault == Fault::ScribbleAfterSend) {
        NdisMdl* mdl = chain->FirstNetBuffer->CurrentMdl;
        static_cast<uint8_t*>(mdl->MappedSystemVa)[chain->FirstNetBuffer->CurrentMdlOffset] ^= 1;
    }
}
void NDIS_API PtSendComplete(NDIS_HANDLE context, NET_BUFFER_LIST* chain, uint32_t flags) {
    NDIS_HANDLE handle = static_cast<PtModule*>(context)->handle;
    Entered(HComplete, flags);
    if (g_filter.fault == Fault::ClaimDispatch) {
        flags |= NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL;
    }
    if (g_filter.fault == Fault::CompleteTwice) {
        NET_BUFFER_LIST* first = chain;
        NET_BUFFER_LIST* rest = chain->Next;
        first->Next = nullptr;
        NdisFSendNetBufferListsComplete(handle, first, flags);
        first->Next = rest;
    }
    NdisFSendNetBufferListsComplete(handle, chain, flags);
}
void NDIS_API PtReceive(NDIS_HANDLE context, NET_BUFFER_LIST* chain, NDIS_PORT_NUMBER port,
                        uint32_t count, uint32_t flags) {
    Entered(HReceive, flags);
    NdisFIndicateReceiveNetBufferLists(static_cast<PtModule*>(context)->handle, chain, port, count,
                                       flags);
}
void NDIS_API PtReturn(NDIS_HANDLE context, NET_BUFFER_LIST* chain, uint32_t flags) {
    Entered(HReturn, flags);
    NdisFReturnNetBufferLists(static_cast<PtModule*>(context)->handle, chain, flags);
}

// OID requests pass down as clones that carry the original in SourceReserved.
NDIS_STATUS NDIS_API PtOidRequest(NDIS_HANDLE context, NDIS_OID_REQUEST* request) {
    Entered(HOid, 0);
    NDIS_HANDLE handle = static_cast<PtModule*>(context)->handle;
    NDIS_OID_REQUEST* clone = nullptr;
    NDIS_STATUS status = NdisAllocateCloneOidRequest(handle, request, KmPoolTag("Test"), &clone);
    if (status != NDIS_STATUS_SUCCESS) {
        return status;
    }
    std::memcpy(clone->SourceReserved, &request, sizeof request);
    status = NdisFOidRequest(handle, clone);
    if (status != NDIS_STATUS_PENDING) {
        NdisFreeCloneOidRequest(handle, clone);
    }
    return status;
}
void NDIS_API PtOidRequestComplete(NDIS_HANDLE context, NDIS_OID_REQUEST* clone,
                                   NDIS_STATUS status) {
    Entered(HOidComplete, 0);
    NDIS_HANDLE handle = static_cast<PtModule*>(context)->handle;
    NDIS_OID_REQUEST* original;
    std::memcpy(&original, clone->SourceReserved, sizeof original);
    NdisFreeCloneOidRequest(handle, clone);
    NdisFOidRequestComplete(handle, original, status);
}
void NDIS_API PtStatus(NDIS_HANDLE context, NDIS_STATUS_INDICATION* indication) {
    Entered(HStatus, 0);
    NdisFIndicateStatus(static_cast<PtModule*>(context)->handle, indication);
}
NDIS_STATUS NDIS_API PtNetPnP(NDIS_HANDLE context, NET_PNP_EVENT_NOTIFICATION* event) {
    Entered(HNetPnP, 0);
    return NdisFNetPnPEvent(static_cast<PtModule*>(context)->handle, event);
}

void NDIS_API PtUnload(KmDriverObject*) {
    NdisFDeregisterFilterDriver(g_filter.driverHandle);
}

int32_t NDIS_API PtEntry(KmDriverObject* driver, void*) {
    static char16_t name[] = u"PassThrough";
    NDIS_STRING s{uint16_t(sizeof name - 2), uint16_t(sizeof name),
                  reinterpret_cast<decltype(s.Buffer)>(name)};
    NDIS_FILTER_DRIVER_CHARACTERISTICS c{};
    c.Header = {NDIS_OBJECT_TYPE_FILTER_DRIVER_CHARACTERISTICS, 1,
                NDIS_SIZEOF_FILTER_DRIVER_CHARACTERISTICS_REVISION_1};
    c.MajorNdisVersion = 6;
    c.FriendlyName = c.UniqueName = c.ServiceName = s;
    c.SetOptionsHandler = PtSetOptions;
    c.AttachHandler = PtAttach;
    c.DetachHandler = PtDetach;
    c.RestartHandler = PtRestart;
    c.PauseHandler = PtPause;
    c.SendNetBufferListsHandler = PtSend;
    c.SendNetBufferListsCompleteHandler = PtSendComplete;
    c.ReceiveNetBufferListsHandler = PtReceive;
    c.ReturnNetBufferListsHandler = PtReturn;
    c.OidRequestHandler = PtOidRequest;
    c.OidRequestCompleteHandler = PtOidRequestComplete;
    c.StatusHandler = PtStatus;
    c.NetPnPEventHandler = PtNetPnP;
    KmSetDriverUnload(driver, PtUnload);
    return NdisFRegisterFilterDriver(driver, driver, &c, &g_filter.driverHandle);
}

SimFrame Frame(uint32_t length, uint8_t seed, SimFrameLayout layout = {}) {
    SimFrame f;
    f.bytes.resize(length);
    for (uint32_t i = 0; i < length; ++i) {
        f.bytes[i] = uint8_t(seed + i * 7);
    }
    f.layout = layout;
    return f;
}

// Three NBLs of one to three frames, cut into MDLs in several ways.
std::vector<SimNblFrames> Chain() {
    SimFrameLayout cut{{10, 20}, 6, 5, 0, true, false};
    SimFrameLayout unmapped{{30}, 2, 0, 0, false, false};
    return {{Frame(60, 1, cut)},
            {Frame(100, 2), Frame(64, 3, unmapped), Frame(1514, 4, cut)},
            {Frame(42, 5), Frame(77, 6, cut)}};
}

std::vector<std::vector<uint8_t>> Bytes(const std::vector<SimNblFrames>& chain) {
    std::vector<std::vector<uint8_t>> out;
    for (const SimNblFrames& nbl : chain) {
        for (const SimFrame& f : nbl) {
            out.push_back(f.bytes);
        }
    }
    return out;
}

class Ndis6Model : public ::testing::Test {
  protected:
    void SetUp() override {
        g_filter = PassThrough{};
        ASSERT_EQ(SimNdis6LoadDriver(PtEntry), NDIS_STATUS_SUCCESS);
        NDIS_STATUS status;
        SimModuleOptions options;
        options.seed = 7;
        module =
            SimNdis6Attach(SimAdapter{u"{module}", u"Adapter", u"\\DEVICE\\{a}"}, options, &status);
        ASSERT_NE(module, nullptr);
        ASSERT_EQ(SimNdis6Restart(module, false, nullptr), NDIS_STATUS_SUCCESS);
    }
    void TearDown() override {
        SimNdis6UnloadDriver();
        EXPECT_EQ(SimNdis6BlocksHeld(), 0u);
        EXPECT_EQ(SimPoolUsageForTag(KmPoolTag("Test")).blocks, 0u);
    }
    SimModule* module = nullptr;
};

// Every flag combination and completion pattern: the frames pass through byte-exact in
// order, and every NBL comes home (the model checks each on its way back).
TEST_F(Ndis6Model, ChainsPassThroughAndComeHomeIntact) {
    struct Case {
        uint32_t flags;
        size_t batch;
    };
    for (Case c : {Case{0, 1}, Case{1, 2}, Case{0, 16}, Case{1, 16}}) {
        SimChain* sends = SimNdis6PrepareSends(module, Chain());
        SimChain* receives = SimNdis6PrepareReceives(module, Chain());
        SimNdis6Send(module, sends, c.flags);
        SimNdis6Indicate(module, receives, c.flags);
        EXPECT_EQ(SimNdis6Outstanding(module), 6u);
        EXPECT_EQ(SimNdis6TakeTransmitted(module), Bytes(Chain()));
        EXPECT_EQ(SimNdis6TakeIndicated(module), Bytes(Chain()));
        while (SimNdis6CompleteSends(module, c.batch, c.flags) != 0) {
        }
        while (SimNdis6ReturnReceives(module, c.batch, c.flags) != 0) {
        }
        EXPECT_TRUE(SimNdis6ChainHome(sends) && SimNdis6ChainHome(receives));
        EXPECT_EQ(SimNdis6Outstanding(module), 0u);
        SimNdis6ReleaseChain(sends);
        SimNdis6ReleaseChain(receives);
    }
    // With RESOURCES the indication is home when the handler returns.
    SimChain* receives = SimNdis6PrepareReceives(module, Chain());
    SimNdis6Indicate(module, receives, NDIS_RECEIVE_FLAGS_RESOURCES);
    EXPECT_TRUE(SimNdis6ChainHome(receives));
    SimNdis6ReleaseChain(receives);
}

// Each fault of a filter, and each call NDIS or the I/O manager would refuse, is caught and
// named by the first misuse it causes.
TEST_F(Ndis6Model, BrokenRulesAreCaught) {
    struct Case {
        Fault fault;
        const char* message;
        bool paused; // the module is paused, and the pass-through filter passes on anyway
    };
    SimSetMisuseMode(SimMisuseMode::Record);
    for (Case c : {Case{Fault::KeepOwnNetBuffer, "of the filter came back to the protocol", false},
                   Case{Fault::CompleteTwice, "came back to the protocol twice", false},
                   Case{Fault::HoldLock, "passed to another driver with a spin lock held", false},
                   Case{Fault::FreeOwnAfterSend, "freed while another owner held it", false},
                   Case{Fault::ScribbleAfterSend, "bytes changed while another owner held", false},
                   Case{Fault::None, "passed on an NBL while the module is not running", true}}) {
        SimClearMisuse();
        g_filter.fault = c.fault;
        if (c.paused) {
            SimNdis6Pause(module);
        }
        SimChain* sends = SimNdis6PrepareSends(module, Chain());
        SimNdis6Send(module, sends, 0);
        if (c.fault == Fault::HoldLock) {
            SimRaiseIrql(KmDispatchLevel);
            KmReleaseSpinLock(&g_filter.lock, KmPassiveLevel);
        }
        SimNdis6CompleteSends(module, 16, 0);
        EXPECT_NE(std::strstr(SimFirstMisuse(), c.message), nullptr)
            << "fault " << int(c.fault) << ": " << SimFirstMisuse();
        if (g_filter.ownNetBuffer != nullptr) {
            NdisFreeNetBuffer(g_filter.ownNetBuffer);
            NdisFreeMdl(g_filter.ownMdl);
            g_filter.ownNetBuffer = nullptr;
        }
        SimNdis6DiscardChain(sends);
        if (c.paused) {
            SimNdis6Restart(module, false, nullptr);
        }
    }
    g_filter.fault = Fault::None;

    // NDIS restarts only a paused module: a filter that accepts otherwise is caught.
    SimClearMisuse();
    SimNdis6Restart(module, false, nullptr);
    EXPECT_NE(std::strstr(SimFirstMisuse(), "FilterRestart succeeded on a module that is not"),
              nullptr);

    // The I/O manager's system buffer: written past, or more information than the output.
    struct Io {
        uint32_t writeAt;
        uintptr_t information;
        const char* message;
    };
    for (Io io : {Io{8, 0, "wrote past the system buffer"},
                  Io{0, 9, "more information than its output length"}}) {
        SimClearMisuse();
        static Io current;
        current = io;
        std::vector<uint8_t> user(64, 0);
        KmIrp irp = SimMakeRequest(KmIrpMjDeviceControl, 0x220000, user.data(), 4, 8);
        SimCallDispatch(
            [](KmDeviceObject*, KmIrp* request) -> int32_t {
                KmDeviceControl r;
                KmReadRequest(request, &r);
                static_cast<uint8_t*>(r.systemBuffer)[current.writeAt] = 1;
                KmCompleteRequest(request, 0, current.information);
                return 0;
            },
            nullptr, &irp);
        EXPECT_NE(std::strstr(SimFirstMisuse(), io.message), nullptr) << SimFirstMisuse();
    }
    SimClearMisuse();
}

// An indication, event or id the pass-through filter hands on without reading it.
int g_opaque;
template <typename T> T* Opaque() {
    return reinterpret_cast<T*>(&g_opaque);
}

// Everything NDIS may call at IRQL <= DISPATCH_LEVEL once through `module`, with `flags` on
// the data path.
void Round(SimModule* module, uint32_t flags) {
    SimChain* sends = SimNdis6PrepareSends(module, Chain());
    SimChain* receives = SimNdis6PrepareReceives(module, Chain());
    SimNdis6Send(module, sends, flags);
    SimNdis6Indicate(module, receives, flags);
    while (SimNdis6CompleteSends(module, 2, flags) + SimNdis6ReturnReceives(module, 2, flags) !=
           0) {
    }
    SimNdis6DiscardChain(sends);
    SimNdis6DiscardChain(receives);
    SimNdis6SetOidAnswer(module, SimOidAnswer{true});
    NDIS_OID_REQUEST request{};
    request.RequestType = NdisRequestQueryInformation;
    EXPECT_EQ(SimNdis6Request(module, &request), NDIS_STATUS_PENDING);
    SimNdis6CompleteOid(module);
    SimNdis6IndicateStatus(module, Opaque<NDIS_STATUS_INDICATION>());
    void* reached;
    SimNdis6NetPnP(module, Opaque<NET_PNP_EVENT_NOTIFICATION>(), NDIS_STATUS_SUCCESS, &reached);
}

// Where IRQL <= DISPATCH_LEVEL is allowed the model calls at both levels as its seed draws,
// a clear flag included; a set flag means DISPATCH_LEVEL; PnP stays at PASSIVE_LEVEL. A filter
// that takes a clear flag for PASSIVE_LEVEL, one that claims DISPATCH_LEVEL at PASSIVE_LEVEL,
// and calls made above the level their function allows are each caught.
TEST_F(Ndis6Model, IrqlIsDrawnWhereAllowedAndEachMisuseIsCaught) {
    const std::set<KmIrql> passive{KmPassiveLevel}, dispatch{KmDispatchLevel},
        both{KmPassiveLevel, KmDispatchLevel};
    struct Levels {
        uint64_t irqlSeed;
        uint32_t flags;
        std::set<KmIrql> data, control;
    };
    for (const Levels& c : {Levels{0, 0, passive, passive}, Levels{0, 1, dispatch, passive},
                            Levels{9, 0, both, both}, Levels{9, 1, dispatch, both}}) {
        SCOPED_TRACE(c.irqlSeed * 10 + c.flags);
        SimModuleOptions options;
        options.irqlSeed = c.irqlSeed;
        NDIS_STATUS status;
        SimModule* levels =
            SimNdis6Attach(SimAdapter{u"{levels}", u"L", u"\\DEVICE\\{l}"}, options, &status);
        ASSERT_NE(levels, nullptr);
        ASSERT_EQ(SimNdis6Restart(levels, false, nullptr), NDIS_STATUS_SUCCESS);
        for (std::set<KmIrql>& seen : g_filter.seen) {
            seen.clear();
        }
        for (int round = 0; round < 16; ++round) {
            Round(levels, c.flags);
        }
        for (Handler h : {HSend, HComplete, HReceive, HReturn}) {
            EXPECT_EQ(g_filter.seen[h], c.data) << "handler " << h;
        }
        for (Handler h : {HOid, HOidComplete, HStatus}) {
            EXPECT_EQ(g_filter.seen[h], c.control) << "handler " << h;
        }
        EXPECT_EQ(g_filter.seen[HNetPnP], passive);
        SimNdis6Detach(levels);
    }

    struct Case {
        Fault fault;
        Handler in;
        void (*call)(); // a call made by the test itself instead of a broken filter
        const char* message;
    };
    const KmIrql device = 5; // above DISPATCH_LEVEL
    static const Case cases[] = {
        {Fault::AssumePassive, HSend, nullptr, "FilterSendNetBufferLists returned at another IRQL"},
        {Fault::AssumePassive, HComplete, nullptr,
         "FilterSendNetBufferListsComplete returned at another IRQL"},
        {Fault::AssumePassive, HReceive, nullptr,
         "FilterReceiveNetBufferLists returned at another IRQL"},
        {Fault::AssumePassive, HReturn, nullptr,
         "FilterReturnNetBufferLists returned at another IRQL"},
        {Fault::AssumePassive, HOid, nullptr, "FilterOidRequest returned at another IRQL"},
        {Fault::AssumePassive, HOidComplete, nullptr,
         "FilterOidRequestComplete returned at another IRQL"},
        {Fault::AssumePassive, HStatus, nullptr, "FilterStatus returned at another IRQL"},
        {Fault::ClaimDispatch, HCount, nullptr,
         "NdisFSendNetBufferListsComplete at an IRQL its flags deny"},
        {Fault::None, HCount,
         [] { NdisFNetPnPEvent(g_filter.filterHandle, Opaque<NET_PNP_EVENT_NOTIFICATION>()); },
         "NdisFNetPnPEvent above PASSIVE_LEVEL"},
        {Fault::None, HCount,
         [] { NdisFDevicePnPEventNotify(g_filter.filterHandle, Opaque<NET_DEVICE_PNP_EVENT>()); },
         "NdisFDevicePnPEventNotify above PASSIVE_LEVEL"},
        {Fault::None, HCount,
         [] { NdisFIndicateStatus(g_filter.filterHandle, Opaque<NDIS_STATUS_INDICATION>()); },
         "NdisFIndicateStatus above DISPATCH_LEVEL"},
        {Fault::None, HCount,
         [] {
             static NDIS_OID_REQUEST request{}; // the miniport may keep it pending
             NdisFOidRequest(g_filter.filterHandle, &request);
         },
         "NdisFOidRequest above DISPATCH_LEVEL"},
        {Fault::None, HCount,
         [] { NdisFOidRequestComplete(g_filter.filterHandle, nullptr, NDIS_STATUS_SUCCESS); },
         "NdisFOidRequestComplete above DISPATCH_LEVEL"},
        {Fault::None, HCount, [] { NdisFCancelOidRequest(g_filter.filterHandle, Opaque<void>()); },
         "NdisFCancelOidRequest above DISPATCH_LEVEL"},
        {Fault::None, HCount,
         [] { NdisFCancelSendNetBufferLists(g_filter.filterHandle, Opaque<void>()); },
         "NdisFCancelSendNetBufferLists above DISPATCH_LEVEL"},
    };
    SimSetMisuseMode(SimMisuseMode::Record);
    for (const Case& c : cases) {
        SimClearMisuse();
        g_filter.fault = c.fault;
        g_filter.faultIn = c.in;
        if (c.call != nullptr) {
            // PnP calls one level above PASSIVE_LEVEL, the others one above DISPATCH_LEVEL.
            bool pnp = std::strstr(c.message, "PASSIVE_LEVEL") != nullptr;
            SimRaiseIrql(pnp ? KmDispatchLevel : device);
            c.call();
            SimLowerIrql(KmPassiveLevel);
        }
        // A broken filter shows itself in the first round whose draw reaches it.
        for (int round = 0; c.call == nullptr && round < 16 && SimMisuseCount() == 0; ++round) {
            Round(module, 0);
        }
        EXPECT_NE(std::strstr(SimFirstMisuse(), c.message), nullptr)
            << c.message << ": " << SimFirstMisuse();
    }
    g_filter.fault = Fault::None;
    SimClearMisuse();
}

// One allocation counter covers the model's objects: failing each allocation of an attach
// in turn makes it fail cleanly until none is left to fail.
TEST_F(Ndis6Model, FailTheNthReachesEveryPool) {
    uint64_t n = 1;
    for (;; ++n) {
        SimPoolFailAllocation(n);
        NDIS_STATUS status;
        SimModule* second =
            SimNdis6Attach(SimAdapter{u"{second}", u"B", u"\\DEVICE\\{b}"}, {}, &status);
        SimPoolFailAllocation(0);
        if (second != nullptr) {
            SimNdis6Detach(second);
            break;
        }
        EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
        EXPECT_EQ(SimPoolUsageForTag(SimNdisModuleTag).blocks, 1u) << "only the first module's";
    }
    EXPECT_EQ(n, 3u); // the attributes block, then the pool
}

} // namespace
