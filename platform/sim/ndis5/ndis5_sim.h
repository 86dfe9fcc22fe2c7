// A user-mode model of NDIS 5 for the intermediate driver: it implements the NDIS calls of
// ndis5.h, owns every pool, and plays the adapter below each binding and the protocol
// above each virtual miniport, calling the driver only through its registered handlers
// (and the handlers the macros find in the miniport block), at the IRQL NDIS would.
//
// It checks the rules a real NDIS would punish later: packets and buffers come back to
// their owner only, once; nothing of the driver's reaches the actors' completions; memory
// is freed with the length and flags it was allocated with; pools are empty when freed;
// nothing is left after unbind and unload. A violation is reported as kernel misuse.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ndis5.h"

namespace sim5 {

// Objects the driver holds from the model now.
struct DriverObjects {
    int64_t packetPools;
    int64_t packets;
    int64_t buffers;
    int64_t memoryBlocks; // NdisAllocateMemory[WithTag] blocks
    int64_t bufferPools;
    int64_t configurations;
};
DriverObjects Outstanding();

// ---- The driver ----
// Runs DriverEntry. Registration failures can be injected.
struct LoadOptions {
    bool failMiniportRegistration = false;
    bool failProtocolRegistration = false;
    uint32_t processorCount = 64;    // what NdisSystemProcessorCount answers
    int failDeviceRegistrations = 0; // the next NdisMRegisterDevice calls that fail
};
NDIS_STATUS LoadDriver(const LoadOptions& options = {});
// Runs the unload routine the driver registered; fails the test if it registered none.
void UnloadDriver();
bool ProtocolRegistered();

// ---- Adapters below and the protocol above ----
enum class InitMode { AtOnce, Deferred };

struct AdapterOptions {
    NDIS_MEDIUM medium = NdisMedium802_3;
    std::u16string upperBindings = u"\\Device\\MerrowfaldineMp";
    uint32_t ndisVersion = 0x50001;
    bool hasNdisVersion = true;
    bool hasUpperBindings = true;
    bool failConfiguration = false;
    bool openPends = false;
    bool closePends = false;
    NDIS_STATUS openStatus = NDIS_STATUS_SUCCESS;
    InitMode init = InitMode::AtOnce;
    bool cancelInitSucceeds = true; // for a deferred initialisation
    bool sendsPend = false;         // NdisSend pends; CompleteSends() finishes them
    NDIS_STATUS sendStatus = NDIS_STATUS_SUCCESS;
    // When not 0, each NdisSend is drawn from this seed instead: taken at once or pending,
    // succeeding or failing (NDIS_STATUS_FAILURE).
    uint64_t sendSeed = 0;
    bool requestsPend = false;  // NdisRequest pends; CompleteRequest() finishes it
    bool transfersPend = false; // NdisTransferData pends; CompleteTransfer() finishes it
    // When not 0, each query and set from above is made at DISPATCH_LEVEL or PASSIVE_LEVEL
    // as drawn from this seed (MiniportQuery/SetInformation run at IRQL <= DISPATCH_LEVEL).
    uint64_t requestIrqlSeed = 0;
    // The protocol above keeps indicated packets; when not, NDIS hands each back through
    // MiniportReturnPacket from within the indication.
    bool upperRetainsPackets = true;
    std::vector<NDIS_MEDIUM> offeredMedia = {NdisMedium802_3, NdisMedium802_5};
};

// How a frame is cut into NDIS_BUFFERs: the lengths of all but the last buffer, and
// whether the buffers carry a system address already (else they are mapped on demand).
struct Chain {
    std::vector<uint32_t> cuts;
    bool mapped = true;
    bool unmappable = false; // the first buffer cannot be mapped at all
};

struct Request {
    NDIS_STATUS returned = 0; // what the miniport handler returned
    bool completed = false;   // NdisM...InformationComplete was called
    NDIS_STATUS completionStatus = 0;
    uint32_t bytesDone = 0, bytesNeeded = 0;
    std::vector<uint8_t> buffer;
};

class Binding;

// Binds a new lower adapter: calls the driver's BindAdapterHandler at PASSIVE_LEVEL.
Binding* Bind(const AdapterOptions& options, NDIS_STATUS* status);
// Calls the driver's UnbindAdapterHandler; the binding is gone afterwards (its last
// request is copied to *lastRequest first, when asked).
NDIS_STATUS Unbind(Binding* binding, Request* lastRequest = nullptr);
// The control device the driver registered, if any.
bool ControlDeviceExists();
int ControlDeviceRegistrations();
// What a device-control request was completed with.
struct DeviceControlResult {
    uint32_t status;
    uintptr_t information;
};
// A device-control request through the registered dispatch table; false without device.
bool DeviceControl(uint32_t code, std::vector<uint8_t>& buffer, uint32_t inputLength,
                   uint32_t outputLength, DeviceControlResult* result);
// Global PnP event (no binding): NetEventReconfigure and the like.
NDIS_STATUS GlobalPnPEvent(NET_PNP_EVENT_CODE code);
int ReEnumerations();
// Runs `hook` (once) inside the next NdisMSleep of the driver, on its thread.
void OnNextSleep(std::function<void()> hook);
// Joins the threads of pending completions and forgets every binding (between tests).
void Reset();

class Binding {
  public:
    // ---- State the tests look at ----
    bool MiniportUp() const;  // the virtual miniport is initialised
    bool BindingOpen() const; // the driver's binding to this adapter is open
    uint32_t AttributeFlags() const;
    NDIS_MEDIUM SelectedUpperMedium() const;
    void* Context() const; // the driver's binding context

    // ---- The protocol above ----
    // Sends frames through the virtual miniport (MiniportSendPackets), each packet cut by
    // `chain`, at DISPATCH_LEVEL when `atDispatch`.
    void Send(const std::vector<std::vector<uint8_t>>& frames, const Chain& chain, bool atDispatch);
    // Statuses the protocol above got back for its sends, in completion order.
    std::vector<NDIS_STATUS> sendCompletions;
    // Frames the protocol above received (packets and lookahead data), in order.
    std::vector<std::vector<uint8_t>> received;
    std::vector<bool> receivedCopy; // carried by one buffer of the driver's (a rewritten copy)
    std::vector<NDIS_STATUS> receivedStatus; // the packet status of each indicated packet
    std::vector<uint32_t> receivedHeaderSize;
    // Returns up to `count` retained packets (all when 0) through MiniportReturnPacket.
    void ReturnPackets(size_t count = 0, uint64_t seed = 0);
    size_t RetainedPackets() const;
    Request Query(NDIS_OID oid, uint32_t length, const std::vector<uint8_t>& content = {});
    Request Set(NDIS_OID oid, const std::vector<uint8_t>& value);
    // The last query or set that pended, once completed.
    Request& LastRequest();
    std::vector<NDIS_STATUS> statuses; // status indications that reached the protocol above
    int statusCompletes = 0;
    std::vector<NET_PNP_EVENT_CODE> pnpEvents; // events passed up
    std::vector<uint32_t> receiveCompleteProcessors;
    int lookaheadIndications = 0;
    int tokenRingIndications = 0;
    NDIS_STATUS transferStatus = 0;
    uint32_t transferred = 0;
    bool transferCompleted = false;

    // ---- The adapter below ----
    // Indicates one frame with a packet (ProtocolReceivePacket) at DISPATCH_LEVEL on
    // `processor`; returns what the driver returned.
    int32_t IndicatePacket(const std::vector<uint8_t>& frame, const Chain& chain,
                           NDIS_STATUS status = NDIS_STATUS_SUCCESS, uint32_t processor = 0);
    // Indicates one frame as lookahead data (ProtocolReceive), optionally with a packet that
    // NdisGetReceivedPacket finds, then ProtocolReceiveComplete on the same processor.
    NDIS_STATUS IndicateLookahead(const std::vector<uint8_t>& frame, bool withPacket,
                                  uint32_t processor = 0);
    // Asks the driver to fetch the rest of the last lookahead frame into a packet of the
    // protocol above (MiniportTransferData). When it pends, the packet stays with the driver
    // until it completes the transfer up (transferCompleted, transferredBytes).
    NDIS_STATUS TransferData(uint32_t offset, uint32_t length);
    // The adapter below finishes its pending transfer with `status`.
    void CompleteTransfer(NDIS_STATUS status = NDIS_STATUS_SUCCESS);
    std::vector<uint8_t> transferredBytes;
    // Frames the adapter below was given to send, in order.
    std::vector<std::vector<uint8_t>> sent;
    std::vector<bool> sentCopy; // carried by one buffer of the driver's (a rewritten copy)
    // Completes up to `count` pending sends (all when 0), in an order drawn from `seed`.
    void CompleteSends(size_t count = 0, uint64_t seed = 0);
    // The protocol above cancels sends pending below, chosen by `seed`, through
    // MiniportCancelSendPackets with the cancel ids it stamped on them; the adapter below
    // aborts some at once (NDIS_STATUS_REQUEST_ABORTED), the others are on the wire already
    // and complete later as drawn. Returns how many were aborted.
    size_t CancelSends(uint64_t seed);
    size_t PendingSends() const;
    size_t HeldReceives() const; // packets of the adapter the driver keeps
    // NDIS halts the virtual miniport on its own (its protocols above have gone) while the
    // driver is inside the receive of `frame`, once that receive indicates up; the halt must
    // not return before the receive has. The binding is closed by the halt.
    void HaltWhileReceiving(const std::vector<uint8_t>& frame);
    void Status(NDIS_STATUS status);
    void StatusComplete();
    NDIS_STATUS PowerEvent(NDIS_DEVICE_POWER_STATE state);
    NDIS_STATUS PnPEvent(NET_PNP_EVENT_CODE code);
    // Completes the request that pends below.
    void CompleteRequest(NDIS_STATUS status);
    int requestsBelow = 0;
    NDIS_OID lastOidBelow = 0;
    // The answer the adapter gives to a query of `oid`.
    void Answer(NDIS_OID oid, const std::vector<uint8_t>& value);
    void* lastCancelId = nullptr;
    bool halted = false;

    struct State;
    State* state;
};

} // namespace sim5
