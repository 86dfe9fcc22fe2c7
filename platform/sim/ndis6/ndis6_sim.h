// A user-mode model of NDIS 6 for a lightweight filter, written from the NDIS
// documentation's rules. It owns every pool and object, plays the protocol above and the
// miniport below each filter module, calls the filter only through its registered
// characteristics (at PASSIVE_LEVEL where that is the only level allowed, at DISPATCH_LEVEL
// where a flag says so, and at either, drawn from a seed, where IRQL <= DISPATCH_LEVEL is
// allowed), and checks NDIS's rules whenever something comes back:
//   - each owner gets back exactly the NBLs it passed in, each with exactly its NET_BUFFERs
//     in their order, with its own MDLs and bytes; nothing of the filter's reaches it;
//     nothing comes back twice;
//   - a handler returns at the IRQL it was called at, with no spin lock held;
//   - pools are freed empty, objects freed once, through the call that matches them.
// A broken rule is reported through the simulation's misuse channel (abort by default).
//
// Allocations of the filter (memory by tag, MDLs, NBL and NET_BUFFER pools, NET_BUFFERs,
// cloned OID requests, the registration and device blocks) go through the simulated pool
// under their own tags, so one allocation counter with the fail-the-Nth switch covers them
// all, and the per-tag accounts show what is left.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../../ndis6.h"
#include "../sim.h"
#include "../sim_io.h"

// Pool tags of the objects the model allocates for the filter.
const uint32_t SimNdisDriverTag = KmPoolTag("NdDr");  // filter driver registration
const uint32_t SimNdisDeviceTag = KmPoolTag("NdDv");  // control device with its extension
const uint32_t SimNdisModuleTag = KmPoolTag("NdMo");  // filter module attributes
const uint32_t SimNdisMdlTag = KmPoolTag("NdMl");     // MDLs from NdisAllocateMdl
const uint32_t SimNdisNblPoolTag = KmPoolTag("NdLP"); // NET_BUFFER_LIST pools
const uint32_t SimNdisNbPoolTag = KmPoolTag("NdNP");  // NET_BUFFER pools
const uint32_t SimNdisNbTag = KmPoolTag("NdNB");      // NET_BUFFERs from those pools

// Every tag the filter and the model may hold memory under, for leak checks.
extern const uint32_t SimNdis6Tags[];
extern const size_t SimNdis6TagCount;
// Blocks held now under all of SimNdis6Tags together.
uint64_t SimNdis6BlocksHeld();

// ---- Driver ----
typedef int32_t(NDIS_API* SimDriverEntry)(KmDriverObject* driverObject, void* registryPath);

// Calls DriverEntry at PASSIVE_LEVEL with a fresh driver object; returns its status.
int32_t SimNdis6LoadDriver(SimDriverEntry entry);
// Calls the driver's unload routine (NDIS detaches every module inside
// NdisFDeregisterFilterDriver) and forgets the driver object.
void SimNdis6UnloadDriver();
// What NDIS knows of the driver now.
struct SimNdis6Registration {
    bool registered;
    NDIS_FILTER_DRIVER_CHARACTERISTICS characteristics; // valid while registered
    std::u16string friendlyName, uniqueName, serviceName;
    bool deviceRegistered;
    std::u16string deviceName, symbolicName;
    uint32_t extensionSize;
    const void* extension; // the device's reserved extension
    uint32_t setOptionsCalls;
};
SimNdis6Registration SimNdis6Registered();
// Calls the driver's SetOptions handler again with the given handle and context.
NDIS_STATUS SimNdis6CallSetOptions(NDIS_HANDLE driverHandle, NDIS_HANDLE context);
NDIS_HANDLE SimNdis6DriverHandle();
// Order of the unload steps seen by the model ("device", "filter").
std::vector<std::string> SimNdis6UnloadSteps();

// Sends one request to the control device through its registered dispatch routine, at
// PASSIVE_LEVEL; the request's status and information come back in *irp.
int32_t SimNdis6DeviceRequest(KmIrp* irp);

// ---- Filter modules ----
struct SimAdapter {
    std::u16string moduleName;   // FilterModuleGuidName
    std::u16string instanceName; // BaseMiniportInstanceName
    std::u16string miniportName; // BaseMiniportName
    uint32_t ifIndex = 1;
    uint32_t medium = NdisMedium802_3;
};

struct SimModule;

// Options of a module's actors and checks.
struct SimModuleOptions {
    uint64_t seed = 1;                // regrouping and ordering of completions and returns
    bool completeAtOnce = false;      // the miniport completes every send inside the send call
    bool returnAtOnce = false;        // the protocol returns every indication inside the call
    bool checkBytes = true;           // owners compare a digest of their bytes on return
    bool record = true;               // keep the bytes that leave the filter in each direction
    bool failRestartRequests = false; // NdisFRestartFilter answers NDIS_STATUS_FAILURE
    // Calls NDIS may make at IRQL <= DISPATCH_LEVEL (OID requests and their completions and
    // cancels, status indications, send cancels, and sends, receives, completions and returns
    // whose DISPATCH_LEVEL flag is clear) are made at DISPATCH_LEVEL or PASSIVE_LEVEL as drawn
    // from this seed: a clear flag promises nothing. A set flag always means DISPATCH_LEVEL.
    // 0: such calls are made at PASSIVE_LEVEL.
    uint64_t irqlSeed = 1;
};

// Attaches the filter to a new adapter (FilterAttach at PASSIVE_LEVEL). Null, with the
// handler's status in *status, when the filter refuses.
SimModule* SimNdis6Attach(const SimAdapter& adapter, const SimModuleOptions& options,
                          NDIS_STATUS* status);
// FilterRestart; with attributes, a general restart attribute is passed and its
// LookaheadSize as the filter left it is returned in *lookahead.
NDIS_STATUS SimNdis6Restart(SimModule* module, bool withAttributes, uint32_t* lookahead);
NDIS_STATUS SimNdis6Pause(SimModule* module);
// Pauses (if running) and detaches the module; its model record is freed.
void SimNdis6Detach(SimModule* module);
// A restart that the filter asked for through NdisFRestartFilter.
uint32_t SimNdis6RestartRequests(SimModule* module);
uint32_t SimNdis6State(SimModule* module); // 2 pausing, 3 paused, 4 running (model's view)

// ---- Data path ----
// How one frame is laid out in its NET_BUFFER.
struct SimFrameLayout {
    std::vector<uint32_t> cuts; // data bytes of each MDL but the last (the last takes the rest)
    uint32_t firstOffset = 0;   // unused bytes in front of the data in the first MDL
    uint32_t tailSlack = 0;     // unused bytes after the data in the last MDL
    uint32_t missing = 0;       // the MDL chain holds this many fewer bytes than DataLength
    bool mapped = true;         // MDLs carry their system address (else mapped on demand)
    bool unmappable = false;    // the MDLs cannot be mapped at all
    // Bytes of an MDL in front of the data MDLs, already consumed: MdlChain starts there,
    // CurrentMdl is the next one and DataOffset counts from MdlChain (a retreat leaves
    // NET_BUFFERs so). 0: none, CurrentMdl is MdlChain.
    uint32_t consumedMdl = 0;
};
struct SimFrame {
    std::vector<uint8_t> bytes;
    SimFrameLayout layout;
};
// One NBL: its frames become its NET_BUFFERs, in order.
using SimNblFrames = std::vector<SimFrame>;

// NBLs built by an actor (the protocol for sends, the miniport for receives). A chain can
// be passed in again once all its NBLs are back home.
struct SimChain;
SimChain* SimNdis6PrepareSends(SimModule* module, const std::vector<SimNblFrames>& nbls);
SimChain* SimNdis6PrepareReceives(SimModule* module, const std::vector<SimNblFrames>& nbls);
bool SimNdis6ChainHome(SimChain* chain);
void SimNdis6ReleaseChain(SimChain* chain); // the chain must be home
// Frees a chain whatever became of it (after a test of a filter that broke the rules).
void SimNdis6DiscardChain(SimChain* chain);

// The protocol sends the chain: FilterSendNetBufferLists with `sendFlags` (at DISPATCH_LEVEL
// when the flag is set, else as irqlSeed draws; so for the calls below).
void SimNdis6Send(SimModule* module, SimChain* chain, uint32_t sendFlags);
// The miniport indicates the chain: FilterReceiveNetBufferLists with `receiveFlags`. With
// NDIS_RECEIVE_FLAGS_RESOURCES the NBLs are the miniport's again when the handler returns.
void SimNdis6Indicate(SimModule* module, SimChain* chain, uint32_t receiveFlags);
// The miniport completes up to `most` pending sends, regrouped into chains in a seeded
// order (FilterSendNetBufferListsComplete with `flags`); returns how many NBLs.
size_t SimNdis6CompleteSends(SimModule* module, size_t most, uint32_t flags);
// The protocol returns up to `most` indicated NBLs the same way (FilterReturnNetBufferLists).
size_t SimNdis6ReturnReceives(SimModule* module, size_t most, uint32_t flags);
// Frames that left the filter downward (transmitted by the miniport) and upward (received by
// the protocol), each in the order they arrived; taking them empties the record.
std::vector<std::vector<uint8_t>> SimNdis6TakeTransmitted(SimModule* module);
std::vector<std::vector<uint8_t>> SimNdis6TakeIndicated(SimModule* module);
// NBLs of this module not yet back with their owners.
size_t SimNdis6Outstanding(SimModule* module);
// FilterCancelSendNetBufferLists; the CancelIds that reached the miniport.
void SimNdis6CancelSends(SimModule* module, void* cancelId);
std::vector<void*> SimNdis6CancelledSends(SimModule* module);

// ---- OID requests ----
// How the miniport answers the next requests.
struct SimOidAnswer {
    bool pend = false; // complete later through SimNdis6CompleteOid
    NDIS_STATUS status = NDIS_STATUS_SUCCESS;
    uint32_t bytesWritten = 0, bytesRead = 0, bytesNeeded = 0, outputBufferLength = 0;
};
void SimNdis6SetOidAnswer(SimModule* module, const SimOidAnswer& answer);
// The protocol issues `request` (FilterOidRequest, at an IRQL irqlSeed draws); returns the
// handler's status. The request must stay alive until it is completed.
NDIS_STATUS SimNdis6Request(SimModule* module, NDIS_OID_REQUEST* request);
// The miniport completes its pending request (the one received last) with its answer.
void SimNdis6CompleteOid(SimModule* module);
// Completions that reached the protocol: the request and its status.
struct SimOidCompletion {
    NDIS_OID_REQUEST* request;
    NDIS_STATUS status;
};
std::vector<SimOidCompletion> SimNdis6OidCompletions(SimModule* module);
// The protocol cancels (FilterCancelOidRequest); the RequestIds that reached the miniport.
void SimNdis6CancelOid(SimModule* module, void* requestId);
std::vector<void*> SimNdis6CancelledOids(SimModule* module);
// Requests that reached the miniport (clones), oldest first.
size_t SimNdis6OidsSeen(SimModule* module);

// ---- Status and PnP ----
// The miniport indicates status / NDIS signals PnP; returns what reached the protocol
// (the same pointer when passed through).
void* SimNdis6IndicateStatus(SimModule* module, NDIS_STATUS_INDICATION* indication);
void* SimNdis6DevicePnP(SimModule* module, NET_DEVICE_PNP_EVENT* event);
NDIS_STATUS SimNdis6NetPnP(SimModule* module, NET_PNP_EVENT_NOTIFICATION* event, NDIS_STATUS answer,
                           void** reached);
