// The NDIS 6 lightweight filter host: its driver-wide globals, the per-module record, and
// the routines its files share. Only NDIS plumbing lives here; every decision about a frame
// is the engine's.
#pragma once

#include "../engine/engine_lock.h"
#include "../engine/keyed_table.h"
#include "../platform/ndis6.h"

// Pool tags of the host, as their bytes stand in memory.
const uint32_t FrameCopyTag = KmPoolTag("Igat");  // frame buffers handed to the engine
const uint32_t FilterNdisTag = KmPoolTag("Filt"); // what the host allocates through NDIS
const uint32_t OidCloneTag = KmPoolTag("FTnd");   // cloned OID requests

struct ModuleLink {
    ModuleLink* Flink;
    ModuleLink* Blink;
};

enum FilterModuleState : uint32_t {
    FilterPausing = 2,
    FilterPaused = 3,
    FilterRunning = 4,
};

// One per attached module; the three names follow the fixed part in the same allocation.
struct FilterModule {
    ModuleLink Link; // first: AttachedModuleList links records by this field
    NDIS_HANDLE FilterHandle;
    NDIS_STRING ModuleName;
    NDIS_STRING MiniportFriendlyName;
    NDIS_STRING MiniportName;
    NET_IFINDEX MiniportIfIndex;
    EngineLock ModuleLock; // the state change to Pausing and PendingOidRequest
    uint32_t State;        // FilterModuleState
    EngineLock SendCopyLock;
    EngineLock ReceiveCopyLock;
    NDIS_OID_REQUEST* PendingOidRequest;
    NDIS_HANDLE NblPool1;
    NDIS_HANDLE NblPool2;
    NDIS_HANDLE SendNetBufferPool;
    NDIS_HANDLE ReceiveNetBufferPool;
};

// ---- Driver-wide state (driver.cpp) ----
extern KmDriverObject* FilterDriverObject;
extern NDIS_HANDLE FilterDriverHandle;
extern ModuleLink AttachedModuleList;
extern EngineLock AttachedModuleListLock;
extern KeyedTable* SendBufferMap;
extern KeyedTable* ReceiveBufferMap;

extern "C" int32_t NDIS_API DriverEntry(KmDriverObject* driverObject, void* registryPath);
void NDIS_API FilterUnload(KmDriverObject* driverObject);
NDIS_STATUS NDIS_API FilterSetOptions(NDIS_HANDLE NdisDriverHandle, NDIS_HANDLE DriverContext);

// ---- Control device (device.cpp) ----
NDIS_STATUS RegisterControlDevice();
void DeregisterControlDevice();
int32_t NDIS_API FilterDeviceOpenClose(KmDeviceObject* device, KmIrp* irp);
int32_t NDIS_API FilterDeviceIoControl(KmDeviceObject* device, KmIrp* irp);

// The 8-byte reserved extension of the control device.
struct ControlDeviceExtension {
    uint32_t Signature;
    NDIS_HANDLE Handle; // FilterDriverHandle
};
const uint32_t ControlDeviceSignature = 0x46544452;
static_assert(sizeof(void*) != 4 || sizeof(ControlDeviceExtension) == 8, "x86 extension size");

// Codes of the filter's own attachments, answered before the engine's.
const uint32_t IOCTL_HOST_RESTART_ALL = 0x00170000;
const uint32_t IOCTL_HOST_RESTART_MODULE = 0x00170004;
const uint32_t IOCTL_HOST_LIST_MODULES = 0x00170008;

// ---- Module lifecycle (module.cpp) and OID requests (oid.cpp) ----
NDIS_STATUS NDIS_API FilterAttach(NDIS_HANDLE NdisFilterHandle, NDIS_HANDLE FilterDriverContext,
                                  NDIS_FILTER_ATTACH_PARAMETERS* Parameters);
void NDIS_API FilterDetach(NDIS_HANDLE FilterModuleContext);
NDIS_STATUS NDIS_API FilterPause(NDIS_HANDLE FilterModuleContext,
                                 NDIS_FILTER_PAUSE_PARAMETERS* Parameters);
NDIS_STATUS NDIS_API FilterRestart(NDIS_HANDLE FilterModuleContext,
                                   NDIS_FILTER_RESTART_PARAMETERS* Parameters);
NDIS_STATUS NDIS_API FilterSetModuleOptions(NDIS_HANDLE FilterModuleContext);
void NDIS_API FilterStatus(NDIS_HANDLE FilterModuleContext,
                           NDIS_STATUS_INDICATION* StatusIndication);
void NDIS_API FilterDevicePnPEventNotify(NDIS_HANDLE FilterModuleContext,
                                         NET_DEVICE_PNP_EVENT* NetDevicePnPEvent);
NDIS_STATUS NDIS_API FilterNetPnPEvent(NDIS_HANDLE FilterModuleContext,
                                       NET_PNP_EVENT_NOTIFICATION* NetPnPEventNotification);
NDIS_STATUS NDIS_API FilterOidRequest(NDIS_HANDLE FilterModuleContext, NDIS_OID_REQUEST* Request);
void NDIS_API FilterOidRequestComplete(NDIS_HANDLE FilterModuleContext, NDIS_OID_REQUEST* Request,
                                       NDIS_STATUS Status);
void NDIS_API FilterCancelOidRequest(NDIS_HANDLE FilterModuleContext, void* RequestId);

const uint32_t FilterLookaheadSize = 128;

// ---- Data path (datapath.cpp, nb_copy.cpp) ----
void NDIS_API FilterSendNetBufferLists(NDIS_HANDLE FilterModuleContext,
                                       NET_BUFFER_LIST* NetBufferLists, NDIS_PORT_NUMBER PortNumber,
                                       uint32_t SendFlags);
void NDIS_API FilterSendNetBufferListsComplete(NDIS_HANDLE FilterModuleContext,
                                               NET_BUFFER_LIST* NetBufferLists,
                                               uint32_t SendCompleteFlags);
void NDIS_API FilterCancelSendNetBufferLists(NDIS_HANDLE FilterModuleContext, void* CancelId);
void NDIS_API FilterReceiveNetBufferLists(NDIS_HANDLE FilterModuleContext,
                                          NET_BUFFER_LIST* NetBufferLists,
                                          NDIS_PORT_NUMBER PortNumber,
                                          uint32_t NumberOfNetBufferLists, uint32_t ReceiveFlags);
void NDIS_API FilterReturnNetBufferLists(NDIS_HANDLE FilterModuleContext,
                                         NET_BUFFER_LIST* NetBufferLists, uint32_t ReturnFlags);

// A contiguous copy of one NET_BUFFER's data, tagged FrameCopyTag; null (and *length 0)
// when it cannot be made. Free with KmFreePool(buffer, FrameCopyTag).
uint8_t* FlattenNetBuffer(NET_BUFFER* netBuffer, uint32_t* length);
// A NET_BUFFER from `pool` over one MDL over a copy of `bytes`; null when memory is short.
NET_BUFFER* BuildReplacementNetBuffer(NDIS_HANDLE filterHandle, NDIS_HANDLE pool,
                                      const uint8_t* bytes, uint32_t length);
void FreeReplacementNetBuffer(NET_BUFFER* netBuffer);
