// The NDIS 6 model's own records, shared by its files.
#pragma once

#include <atomic>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "../misuse.h"
#include "../sim.h"
#include "ndis6_sim.h"

const uint32_t SimNblMagic = 0x4E424C53;    // NBL built by an actor
const uint32_t SimNbMagic = 0x4E42534D;     // live NET_BUFFER
const uint32_t SimDeadMagic = 0x44454144;   // freed
const uint32_t SimPoolMagic = 0x504F4F4C;   // live pool
const uint32_t SimMdlMagic = 0x4D444C53;    // live MDL from NdisAllocateMdl
const uint32_t SimModuleMagic = 0x4D4F444C; // live filter module
const uint32_t SimDeviceMagic = 0x44455643; // registered control device

// The model's view of a module's state.
const uint32_t FilterStatePausing = 2;
const uint32_t FilterStatePaused = 3;
const uint32_t FilterStateRunning = 4;

enum class SimOwner { Protocol, Miniport };

struct SimNbBox {
    NET_BUFFER nb; // first: the NET_BUFFER pointer is the box pointer
    uint32_t magic;
    uint64_t serial;
    struct SimPool* pool; // null for an actor's own NET_BUFFER
};

struct SimMdlBox {
    NdisMdl mdl; // first
    uint32_t magic;
};

struct SimPool {
    uint32_t magic;
    bool netBufferPool; // else an NBL pool
    uint32_t tag;
    std::atomic<int64_t> live;
};

// What an owner remembers of one NET_BUFFER it put into an NBL.
struct SimNbRecord {
    NET_BUFFER* nb;
    NdisMdl* mdlChain;
    NdisMdl* currentMdl;
    uint32_t currentMdlOffset;
    uint32_t dataLength;
    uint32_t dataOffset;
    std::vector<NdisMdl*> mdls;
    uint64_t digest;
};

struct SimNblBox {
    NET_BUFFER_LIST nbl; // first
    uint32_t magic;
    uint64_t serial;
    SimOwner owner;
    SimModule* module;
    std::atomic<bool> home; // read by the owner's thread, set by the thread that hands it back
    std::vector<SimNbRecord> records;
    // The frames as the receiving actor took delivery of them: read again before the NBL
    // goes back, since the receiver may look at them until then.
    std::vector<std::vector<uint8_t>> delivered;
};

struct SimChain {
    SimModule* module;
    SimOwner owner;
    std::vector<SimNblBox*> nbls;
    std::vector<SimNbBox*> netBuffers;
    std::vector<SimMdlBox*> mdls;
    std::vector<std::vector<uint8_t>> storage;
};

struct SimModule {
    uint32_t magic;
    NDIS_HANDLE context; // from NdisFSetAttributes
    void* attributesBlock;
    uint32_t state;
    SimModuleOptions options;
    std::u16string names[3];
    NDIS_STRING strings[3];

    std::mutex lock; // this module's actors
    std::mt19937_64 random;
    std::vector<SimNblBox*> sendsAtMiniport;
    std::vector<SimNblBox*> receivesAtProtocol;
    std::vector<std::vector<uint8_t>> transmitted;
    std::vector<std::vector<uint8_t>> indicated;
    std::atomic<int64_t> outstanding{0};
    std::vector<void*> cancelledSends;

    SimOidAnswer answer;
    NDIS_OID_REQUEST* pendingAtMiniport = nullptr;
    std::vector<NDIS_OID_REQUEST*> issued; // by the protocol, not yet completed
    std::vector<SimOidCompletion> completions;
    std::vector<void*> cancelledOids;
    size_t oidsSeen = 0;
    uint32_t restartRequests = 0;
    void* statusReached = nullptr;
    void* pnpReached = nullptr;
    std::atomic<uint64_t> irqlDraws{0};
};

// The registered filter driver (one at a time).
struct SimDriver {
    KmDriverObject object;
    bool loaded;
    void* block; // the registration: its address is the filter driver handle
    NDIS_FILTER_DRIVER_CHARACTERISTICS characteristics;
    NDIS_HANDLE context;
    std::u16string friendlyName, uniqueName, serviceName;
    uint32_t setOptionsCalls;
    KmDeviceObject* device; // its address is also the device handle
    KmDispatchRoutine majorFunctions[KmIrpMjMaximumFunction + 1];
    std::u16string deviceName, symbolicName;
    std::mutex modulesLock;
    std::vector<SimModule*> modules;
    std::vector<std::string> unloadSteps;
};
extern SimDriver g_simDriver;

SimModule* SimModuleOf(NDIS_HANDLE handle, const char* call);
void SimCheckCallerIrql(uint32_t flags, const char* call);
// A call that passes NBLs to another driver must not be made with a spin lock held: that
// driver may call back in, or take its own locks in another order.
void SimCheckNoLockHeld();
// Whether the next call NDIS may make at IRQL <= DISPATCH_LEVEL is made at DISPATCH_LEVEL
// (drawn from the module's irqlSeed).
bool SimDrawDispatch(SimModule* module);
// Runs a handler at PASSIVE_LEVEL or DISPATCH_LEVEL and checks it returns at that level
// with no spin lock held.
template <typename F> void SimCallAt(bool dispatch, const char* handler, F call) {
    if (KmGetCurrentIrql() != KmPassiveLevel) {
        SimReportMisuse("model: handler called from a raised IRQL");
    }
    if (dispatch) {
        SimRaiseIrql(KmDispatchLevel);
    }
    call();
    char message[160];
    if (SimLocksHeld() != 0) {
        std::snprintf(message, sizeof message, "model: %s returned with a spin lock held", handler);
        SimReportMisuse(message);
    }
    if (KmGetCurrentIrql() != (dispatch ? KmDispatchLevel : KmPassiveLevel)) {
        std::snprintf(message, sizeof message,
                      "model: %s returned at another IRQL than it was called at", handler);
        SimReportMisuse(message);
    }
    if (KmGetCurrentIrql() != KmPassiveLevel) {
        SimLowerIrql(KmPassiveLevel);
    }
}
std::u16string SimText(const NDIS_STRING& s);
// The bytes of a NET_BUFFER's data, read through its MDLs; false when they fall short.
bool SimReadNetBuffer(const NET_BUFFER* nb, std::vector<uint8_t>* out);
// True for a NET_BUFFER from a pool of the filter that is not freed yet.
bool SimPoolNetBufferLive(const NET_BUFFER* nb);
// Checks an NBL coming back to `owner` and marks it home; names the serial on failure.
void SimNblComesHome(SimNblBox* box, SimOwner owner, const char* how);
