// The NDIS 5 intermediate driver: a protocol edge bound to each real adapter and a virtual
// miniport above each binding, through which every frame passes the inspection engine.
//
// One ImAdapter per binding is both the protocol binding context and the miniport adapter
// context. Handlers carry the NDIS role names; files: driver.cpp (entry, unload),
// protocol.cpp (bind, unbind, status, PnP), miniport.cpp (initialise, halt, requests,
// power), send.cpp and receive.cpp (the data path), packet_copy.cpp (FlattenPacket),
// device.cpp (the control device).
#pragma once

#include "../engine/engine_lock.h"
#include "../platform/ndis5.h"

const uint32_t ImAdapterPoolTag = KmPoolTag("aPmI");
const uint32_t ImFrameBlockTag = KmPoolTag("bFmI");

struct ImAdapter {
    ImAdapter* Next;
    NDIS_HANDLE BindingHandle;
    NDIS_HANDLE MiniportHandle;
    NDIS_HANDLE SendPacketPool;
    NDIS_HANDLE ReceivePacketPool;
    NDIS_HANDLE BufferPool; // the buffers over rewritten frames, both directions
    NDIS_STATUS CompletionStatus;
    NDIS_EVENT CompletionEvent;
    NDIS_MEDIUM Medium;
    NDIS_REQUEST Request;
    uint32_t* BytesNeeded;
    uint32_t* BytesReadOrWritten;
    // One byte per processor (ProcessorCount of them, after the device name in the record):
    // a lookahead indication on it awaits its receive-complete.
    uint8_t* ReceiveCompletePending;
    uint32_t ProcessorCount;
    uint8_t RequestOutstanding;
    uint8_t RequestQueued;
    uint8_t StandingBy;
    uint8_t Unbinding;
    EngineLock Lock;
    NDIS_DEVICE_POWER_STATE MiniportPowerState;
    NDIS_DEVICE_POWER_STATE ProtocolPowerState;
    NDIS_STRING DeviceName; // its buffer follows the record
    NDIS_EVENT MiniportInitEvent;
    uint8_t MiniportInitPending;
    NDIS_STATUS LastIndicatedStatus;
    NDIS_STATUS LatestUnindicatedStatus;
    uint32_t OutstandingSends;
    uint32_t ReferenceCount;
    uint8_t MiniportHalted;
    // Receive handlers running now: MiniportHalt waits for them after clearing
    // MiniportHandle, so none uses the miniport once the halt has returned.
    uint32_t ReceivesInFlight;
};

// Control-device states.
const uint32_t ControlDeviceReady = 0;
const uint32_t ControlDeviceCreating = 1;
const uint32_t ControlDeviceDeleting = 2;

struct ImDriver {
    NDIS_HANDLE WrapperHandle;
    NDIS_HANDLE DriverHandle;
    NDIS_HANDLE ProtocolHandle;
    ImAdapter* AdapterList; // records whose virtual miniport is initialised
    EngineLock GlobalLock;  // the list, the miniport count, the control-device state
    int32_t MiniportCount;
    uint32_t ControlDeviceState;
    KmDeviceObject* ControlDeviceObject;
    NDIS_HANDLE ControlDeviceHandle;
    uint32_t NdisVersion; // "NdisVersion" of the first binding
};

extern ImDriver g_Im;

// Descriptor reserved areas (send: ProtocolReserved, receive: MiniportReserved).
struct ImDescriptorReserved {
    NDIS_PACKET* Wrapped;       // the packet from above or below that this one carries
    uint32_t ReplacementMarker; // ImReplacementMarker when the descriptor carries a copy
};
static_assert(sizeof(ImDescriptorReserved) <= 16, "fits the send pool's reserved length");
static_assert(sizeof(ImDescriptorReserved) <= sizeof(NDIS_PACKET{}.MiniportReserved),
              "fits MiniportReserved");
const uint32_t ImReplacementMarker = 998;
const uint32_t ImSendReservedLength = 16;
const uint32_t ImReceiveReservedLength = 32;

inline ImDescriptorReserved* ImSendReserved(NDIS_PACKET* p) {
    return reinterpret_cast<ImDescriptorReserved*>(p->ProtocolReserved);
}
inline ImDescriptorReserved* ImReceiveReserved(NDIS_PACKET* p) {
    return reinterpret_cast<ImDescriptorReserved*>(p->MiniportReserved);
}

// Handlers run at DISPATCH_LEVEL or below; the lock variant follows the actual IRQL.
inline bool ImAtDispatch() {
    return KmGetCurrentIrql() == KmDispatchLevel;
}

// ---- Records and references (protocol.cpp) ----
void ImAdapterReference(ImAdapter* adapter);
// True when the count reached 0 and the record and its pools were freed.
bool ImAdapterDereference(ImAdapter* adapter);
// Closes the lower binding and waits for the close to finish.
void ImCloseBinding(ImAdapter* adapter, NDIS_STATUS* status);

// ---- Data path (packet_copy.cpp, send.cpp, receive.cpp) ----
enum class ImDirection { Send, Receive };
// Copies the packet into one frame block, runs the engine over it and, when the engine
// rewrote it, chains one buffer over the block at the front of `descriptor`.
bool FlattenPacket(ImAdapter* adapter, NDIS_PACKET* packet, NDIS_PACKET* descriptor,
                   ImDirection direction);
// Frees a descriptor of ours, and the frame block it carries when its marker says so.
void ImFreeDescriptor(NDIS_PACKET* descriptor, ImDescriptorReserved* reserved, bool dpr);

// ---- Requests and power (request.cpp, pnp.cpp) ----
void ImForwardRequest(ImAdapter* adapter);
void ImSetRequestOutstanding(ImAdapter* adapter, bool outstanding);

// Power states change under the adapter's lock; the data path reads them without it.
inline NDIS_DEVICE_POWER_STATE ImPowerState(const NDIS_DEVICE_POWER_STATE* state) {
    return NDIS_DEVICE_POWER_STATE(
        __atomic_load_n(reinterpret_cast<const uint32_t*>(state), __ATOMIC_RELAXED));
}
inline void ImSetPowerState(NDIS_DEVICE_POWER_STATE* state, NDIS_DEVICE_POWER_STATE value) {
    __atomic_store_n(reinterpret_cast<uint32_t*>(state), uint32_t(value), __ATOMIC_RELAXED);
}
inline bool ImBothEdgesOn(const ImAdapter* adapter) {
    return ImPowerState(&adapter->MiniportPowerState) == NdisDeviceStateD0 &&
           ImPowerState(&adapter->ProtocolPowerState) == NdisDeviceStateD0;
}

// ---- Control device (device.cpp) ----
void ImRegisterControlDevice();
void ImDeregisterControlDevice();

// ---- Handlers ----
extern "C" int32_t DriverEntry(KmDriverObject* driverObject, NDIS_STRING* registryPath);
void ImUnload(void* driverObject);
void PtUnload();

void PtBindAdapter(NDIS_STATUS* status, NDIS_HANDLE bindContext, NDIS_STRING* deviceName,
                   void* systemSpecific1, void* systemSpecific2);
void PtUnbindAdapter(NDIS_STATUS* status, NDIS_HANDLE context, NDIS_HANDLE unbindContext);
void PtOpenAdapterComplete(NDIS_HANDLE context, NDIS_STATUS status, NDIS_STATUS openError);
void PtCloseAdapterComplete(NDIS_HANDLE context, NDIS_STATUS status);
void PtResetComplete(NDIS_HANDLE context, NDIS_STATUS status);
void PtRequestComplete(NDIS_HANDLE context, NDIS_REQUEST* request, NDIS_STATUS status);
void PtStatus(NDIS_HANDLE context, NDIS_STATUS generalStatus, void* buffer, uint32_t size);
void PtStatusComplete(NDIS_HANDLE context);
NDIS_STATUS PtPnPEvent(NDIS_HANDLE context, NET_PNP_EVENT* event);
void PtSendComplete(NDIS_HANDLE context, NDIS_PACKET* packet, NDIS_STATUS status);
void PtTransferDataComplete(NDIS_HANDLE context, NDIS_PACKET* packet, NDIS_STATUS status,
                            uint32_t bytesTransferred);
NDIS_STATUS PtReceive(NDIS_HANDLE context, NDIS_HANDLE macReceiveContext, void* header,
                      uint32_t headerSize, void* lookahead, uint32_t lookaheadSize,
                      uint32_t packetSize);
void PtReceiveComplete(NDIS_HANDLE context);
int32_t PtReceivePacket(NDIS_HANDLE context, NDIS_PACKET* packet);

NDIS_STATUS MPInitialize(NDIS_STATUS* openErrorStatus, uint32_t* selectedMediumIndex,
                         NDIS_MEDIUM* mediumArray, uint32_t mediumArraySize,
                         NDIS_HANDLE miniportAdapterHandle, NDIS_HANDLE configurationContext);
void MPHalt(NDIS_HANDLE context);
NDIS_STATUS MPQueryInformation(NDIS_HANDLE context, NDIS_OID oid, void* buffer, uint32_t length,
                               uint32_t* bytesWritten, uint32_t* bytesNeeded);
NDIS_STATUS MPSetInformation(NDIS_HANDLE context, NDIS_OID oid, void* buffer, uint32_t length,
                             uint32_t* bytesRead, uint32_t* bytesNeeded);
void MPSendPackets(NDIS_HANDLE context, NDIS_PACKET** packets, uint32_t count);
void MPReturnPacket(NDIS_HANDLE context, NDIS_PACKET* packet);
NDIS_STATUS MPTransferData(NDIS_PACKET* packet, uint32_t* bytesTransferred, NDIS_HANDLE context,
                           NDIS_HANDLE receiveContext, uint32_t byteOffset,
                           uint32_t bytesToTransfer);
void MPCancelSendPackets(NDIS_HANDLE context, void* cancelId);
void MPPnPEventNotify(NDIS_HANDLE context, uint32_t event, void* buffer, uint32_t length);
void MPAdapterShutdown(void* context);
