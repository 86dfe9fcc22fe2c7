// NDIS 6 filter-driver declarations: the subset the filter host uses, written from the
// public NDIS documentation (mingw-w64 has none of them). Layouts follow the documented
// structures field by field; the asserts at the end pin every size the host fills in and
// every offset it reads or writes, for x86 and x64.
//
// On Linux the NDIS 6 model (platform/sim/ndis6/) implements the functions.
#pragma once

#include "km_io.h"
#include "ndis_common.h"

struct NDIS_OBJECT_HEADER {
    uint8_t Type;
    uint8_t Revision;
    uint16_t Size;
};

const uint8_t NDIS_OBJECT_TYPE_DEFAULT = 0x80;
const uint8_t NDIS_OBJECT_TYPE_DEVICE_OBJECT_ATTRIBUTES = 0x85;
const uint8_t NDIS_OBJECT_TYPE_FILTER_DRIVER_CHARACTERISTICS = 0x8B;
const uint8_t NDIS_OBJECT_TYPE_FILTER_ATTRIBUTES = 0x8D;
const uint8_t NDIS_OBJECT_TYPE_FILTER_ATTACH_PARAMETERS = 0x99;
const uint8_t NDIS_OBJECT_TYPE_RESTART_GENERAL_ATTRIBUTES = 0xA2;
const uint8_t NDIS_OBJECT_TYPE_OID_REQUEST = 0x96;

// ---- NET_BUFFER and NET_BUFFER_LIST ----
// Only the leading part that drivers touch: NDIS allocates both, never the driver.
// The fields up to DataOffset share a union with an SLIST_HEADER, which is 16 bytes and
// 16-byte aligned on x64 (8 and 8 on x86): what follows the union starts at 48 on x64.
struct NET_BUFFER_SLIST_HEADER {
    alignas(2 * sizeof(void*)) uint64_t Alignment;
#if UINTPTR_MAX != 0xFFFFFFFFu
    uint64_t Region;
#endif
};

struct NET_BUFFER {
    union {
        struct {
            NET_BUFFER* Next;
            NdisMdl* CurrentMdl;
            uint32_t CurrentMdlOffset;
            union {
                uint32_t DataLength;
                size_t stDataLength;
            };
            NdisMdl* MdlChain;
            uint32_t DataOffset;
        };
        NET_BUFFER_SLIST_HEADER Link;
    };
    uint16_t ChecksumBias;
    uint16_t Reserved;
    NDIS_HANDLE NdisPoolHandle;
};

// Up to Status; the per-NBL information array that follows is never touched.
struct NET_BUFFER_LIST {
    union {
        struct {
            NET_BUFFER_LIST* Next;
            NET_BUFFER* FirstNetBuffer;
        };
        NET_BUFFER_SLIST_HEADER Link;
    };
    void* Context;
    NET_BUFFER_LIST* ParentNetBufferList;
    NDIS_HANDLE NdisPoolHandle;
    alignas(2 * sizeof(void*)) void* NdisReserved[2];
    void* ProtocolReserved[4];
    void* MiniportReserved[2];
    void* Scratch;
    NDIS_HANDLE SourceHandle;
    uint32_t NblFlags;
    int32_t ChildRefCount;
    uint32_t Flags;
    NDIS_STATUS Status;
};

// Bit 0 of every data-path flag word: the caller runs at DISPATCH_LEVEL.
const uint32_t NDIS_SEND_FLAGS_DISPATCH_LEVEL = 0x00000001;
const uint32_t NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL = 0x00000001;
const uint32_t NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL = 0x00000001;
const uint32_t NDIS_RECEIVE_FLAGS_RESOURCES = 0x00000002;
const uint32_t NDIS_RETURN_FLAGS_DISPATCH_LEVEL = 0x00000001;

// ---- Pools ----
struct NET_BUFFER_LIST_POOL_PARAMETERS {
    NDIS_OBJECT_HEADER Header;
    uint8_t ProtocolId;
    uint8_t fAllocateNetBuffer;
    uint16_t ContextSize;
    uint32_t PoolTag;
    uint32_t DataSize;
};
const uint8_t NET_BUFFER_LIST_POOL_PARAMETERS_REVISION_1 = 1;
const uint8_t NDIS_PROTOCOL_ID_DEFAULT = 0;

struct NET_BUFFER_POOL_PARAMETERS {
    NDIS_OBJECT_HEADER Header;
    uint32_t PoolTag;
    uint32_t DataSize;
};
const uint8_t NET_BUFFER_POOL_PARAMETERS_REVISION_1 = 1;

// ---- OID requests ----
struct NDIS_OID_REQUEST {
    NDIS_OBJECT_HEADER Header;
    uint32_t RequestType; // NdisRequestTypeValue
    NDIS_PORT_NUMBER PortNumber;
    uint32_t Timeout;
    void* RequestId;
    NDIS_HANDLE RequestHandle;
    union {
        struct {
            NDIS_OID Oid;
            void* InformationBuffer;
            uint32_t InformationBufferLength;
            uint32_t BytesWritten;
            uint32_t BytesNeeded;
        } QUERY_INFORMATION;
        struct {
            NDIS_OID Oid;
            void* InformationBuffer;
            uint32_t InformationBufferLength;
            uint32_t BytesRead;
            uint32_t BytesNeeded;
        } SET_INFORMATION;
        struct {
            NDIS_OID Oid;
            void* InformationBuffer;
            uint32_t InputBufferLength;
            uint32_t OutputBufferLength;
            uint32_t MethodId;
            uint32_t BytesWritten;
            uint32_t BytesRead;
            uint32_t BytesNeeded;
        } METHOD_INFORMATION;
    } DATA;
    uint8_t NdisReserved[16 * sizeof(void*)];
    uint8_t MiniportReserved[2 * sizeof(void*)];
    uint8_t SourceReserved[2 * sizeof(void*)];
    uint8_t SupportedRevision;
    uint8_t Reserved1;
    uint16_t Reserved2;
};

// ---- Filter registration ----
struct NDIS_FILTER_ATTACH_PARAMETERS;
struct NDIS_FILTER_PAUSE_PARAMETERS;
struct NDIS_FILTER_RESTART_PARAMETERS;
struct NDIS_STATUS_INDICATION;
struct NET_DEVICE_PNP_EVENT;
struct NET_PNP_EVENT_NOTIFICATION;

typedef NDIS_STATUS(NDIS_API* SET_OPTIONS_HANDLER)(NDIS_HANDLE NdisDriverHandle,
                                                   NDIS_HANDLE DriverContext);
typedef NDIS_STATUS(NDIS_API* FILTER_SET_MODULE_OPTIONS_HANDLER)(NDIS_HANDLE FilterModuleContext);
typedef NDIS_STATUS(NDIS_API* FILTER_ATTACH_HANDLER)(NDIS_HANDLE NdisFilterHandle,
                                                     NDIS_HANDLE FilterDriverContext,
                                                     NDIS_FILTER_ATTACH_PARAMETERS* Parameters);
typedef void(NDIS_API* FILTER_DETACH_HANDLER)(NDIS_HANDLE FilterModuleContext);
typedef NDIS_STATUS(NDIS_API* FILTER_RESTART_HANDLER)(NDIS_HANDLE FilterModuleContext,
                                                      NDIS_FILTER_RESTART_PARAMETERS* Parameters);
typedef NDIS_STATUS(NDIS_API* FILTER_PAUSE_HANDLER)(NDIS_HANDLE FilterModuleContext,
                                                    NDIS_FILTER_PAUSE_PARAMETERS* Parameters);
typedef void(NDIS_API* FILTER_SEND_NET_BUFFER_LISTS_HANDLER)(NDIS_HANDLE FilterModuleContext,
                                                             NET_BUFFER_LIST* NetBufferLists,
                                                             NDIS_PORT_NUMBER PortNumber,
                                                             uint32_t SendFlags);
typedef void(NDIS_API* FILTER_SEND_NET_BUFFER_LISTS_COMPLETE_HANDLER)(
    NDIS_HANDLE FilterModuleContext, NET_BUFFER_LIST* NetBufferLists, uint32_t SendCompleteFlags);
typedef void(NDIS_API* FILTER_CANCEL_SEND_HANDLER)(NDIS_HANDLE FilterModuleContext, void* CancelId);
typedef void(NDIS_API* FILTER_RECEIVE_NET_BUFFER_LISTS_HANDLER)(NDIS_HANDLE FilterModuleContext,
                                                                NET_BUFFER_LIST* NetBufferLists,
                                                                NDIS_PORT_NUMBER PortNumber,
                                                                uint32_t NumberOfNetBufferLists,
                                                                uint32_t ReceiveFlags);
typedef void(NDIS_API* FILTER_RETURN_NET_BUFFER_LISTS_HANDLER)(NDIS_HANDLE FilterModuleContext,
                                                               NET_BUFFER_LIST* NetBufferLists,
                                                               uint32_t ReturnFlags);
typedef NDIS_STATUS(NDIS_API* FILTER_OID_REQUEST_HANDLER)(NDIS_HANDLE FilterModuleContext,
                                                          NDIS_OID_REQUEST* OidRequest);
typedef void(NDIS_API* FILTER_OID_REQUEST_COMPLETE_HANDLER)(NDIS_HANDLE FilterModuleContext,
                                                            NDIS_OID_REQUEST* OidRequest,
                                                            NDIS_STATUS Status);
typedef void(NDIS_API* FILTER_CANCEL_OID_REQUEST_HANDLER)(NDIS_HANDLE FilterModuleContext,
                                                          void* RequestId);
typedef void(NDIS_API* FILTER_DEVICE_PNP_EVENT_NOTIFY_HANDLER)(
    NDIS_HANDLE FilterModuleContext, NET_DEVICE_PNP_EVENT* NetDevicePnPEvent);
typedef NDIS_STATUS(NDIS_API* FILTER_NET_PNP_EVENT_HANDLER)(
    NDIS_HANDLE FilterModuleContext, NET_PNP_EVENT_NOTIFICATION* NetPnPEventNotification);
typedef void(NDIS_API* FILTER_STATUS_HANDLER)(NDIS_HANDLE FilterModuleContext,
                                              NDIS_STATUS_INDICATION* StatusIndication);

struct NDIS_FILTER_DRIVER_CHARACTERISTICS {
    NDIS_OBJECT_HEADER Header;
    uint8_t MajorNdisVersion;
    uint8_t MinorNdisVersion;
    uint8_t MajorDriverVersion;
    uint8_t MinorDriverVersion;
    uint32_t Flags;
    NDIS_STRING FriendlyName;
    NDIS_STRING UniqueName;
    NDIS_STRING ServiceName;
    SET_OPTIONS_HANDLER SetOptionsHandler;
    FILTER_SET_MODULE_OPTIONS_HANDLER SetFilterModuleOptionsHandler;
    FILTER_ATTACH_HANDLER AttachHandler;
    FILTER_DETACH_HANDLER DetachHandler;
    FILTER_RESTART_HANDLER RestartHandler;
    FILTER_PAUSE_HANDLER PauseHandler;
    FILTER_SEND_NET_BUFFER_LISTS_HANDLER SendNetBufferListsHandler;
    FILTER_SEND_NET_BUFFER_LISTS_COMPLETE_HANDLER SendNetBufferListsCompleteHandler;
    FILTER_CANCEL_SEND_HANDLER CancelSendNetBufferListsHandler;
    FILTER_RECEIVE_NET_BUFFER_LISTS_HANDLER ReceiveNetBufferListsHandler;
    FILTER_RETURN_NET_BUFFER_LISTS_HANDLER ReturnNetBufferListsHandler;
    FILTER_OID_REQUEST_HANDLER OidRequestHandler;
    FILTER_OID_REQUEST_COMPLETE_HANDLER OidRequestCompleteHandler;
    FILTER_CANCEL_OID_REQUEST_HANDLER CancelOidRequestHandler;
    FILTER_DEVICE_PNP_EVENT_NOTIFY_HANDLER DevicePnPEventNotifyHandler;
    FILTER_NET_PNP_EVENT_HANDLER NetPnPEventHandler;
    FILTER_STATUS_HANDLER StatusHandler;
};
const uint8_t NDIS_FILTER_CHARACTERISTICS_REVISION_1 = 1;
const uint16_t NDIS_SIZEOF_FILTER_DRIVER_CHARACTERISTICS_REVISION_1 =
    uint16_t(sizeof(NDIS_FILTER_DRIVER_CHARACTERISTICS));

struct NDIS_FILTER_ATTACH_PARAMETERS {
    NDIS_OBJECT_HEADER Header;
    NET_IFINDEX IfIndex;
    uint64_t NetLuid;
    NDIS_STRING* FilterModuleGuidName;
    NET_IFINDEX BaseMiniportIfIndex;
    NDIS_STRING* BaseMiniportInstanceName;
    NDIS_STRING* BaseMiniportName;
    uint32_t MediaConnectState;
    uint32_t MediaDuplexState;
    uint64_t XmitLinkSpeed;
    uint64_t RcvLinkSpeed;
    uint32_t MiniportMediaType; // NdisMediumValue
    uint32_t MiniportPhysicalMediaType;
    NDIS_HANDLE MiniportMediaSpecificAttributes;
    void* DefaultOffloadConfiguration;
    uint16_t MacAddressLength;
    uint8_t CurrentMacAddress[32];
};

struct NDIS_RESTART_ATTRIBUTES {
    NDIS_RESTART_ATTRIBUTES* Next;
    NDIS_OID Oid;
    uint32_t DataLength;
    alignas(sizeof(void*) * 2) uint8_t Data[1];
};

struct NDIS_RESTART_GENERAL_ATTRIBUTES {
    NDIS_OBJECT_HEADER Header;
    uint32_t MtuSize;
    uint64_t MaxXmitLinkSpeed;
    uint64_t MaxRcvLinkSpeed;
    uint32_t LookaheadSize;
    uint32_t MacOptions;
    uint32_t SupportedPacketFilters;
    uint32_t MaxMulticastListSize;
};

struct NDIS_FILTER_RESTART_PARAMETERS {
    NDIS_OBJECT_HEADER Header;
    uint32_t MiniportMediaType;
    uint32_t MiniportPhysicalMediaType;
    NDIS_RESTART_ATTRIBUTES* RestartAttributes;
    NET_IFINDEX LowerIfIndex;
    uint64_t LowerIfNetLuid;
    uint32_t Flags;
};

struct NDIS_FILTER_ATTRIBUTES {
    NDIS_OBJECT_HEADER Header;
    uint32_t Flags;
};
const uint8_t NDIS_FILTER_ATTRIBUTES_REVISION_1 = 1;

// ---- Control device ----
struct NDIS_DEVICE_OBJECT_ATTRIBUTES {
    NDIS_OBJECT_HEADER Header;
    NDIS_STRING* DeviceName;
    NDIS_STRING* SymbolicName;
    KmDispatchRoutine* MajorFunctions;
    uint32_t ExtensionSize;
    const NDIS_STRING* DefaultSDDLString;
    const void* DeviceClassGuid;
};
const uint8_t NDIS_DEVICE_OBJECT_ATTRIBUTES_REVISION_1 = 1;

// EX_POOL_PRIORITY LowPoolPriority
const uint32_t NdisLowPoolPriority = 0;

// ---- NDIS.SYS ----
extern "C" {
NDIS_STATUS NDIS_API NdisFRegisterFilterDriver(KmDriverObject* DriverObject,
                                               NDIS_HANDLE FilterDriverContext,
                                               NDIS_FILTER_DRIVER_CHARACTERISTICS* Characteristics,
                                               NDIS_HANDLE* NdisFilterDriverHandle);
void NDIS_API NdisFDeregisterFilterDriver(NDIS_HANDLE NdisFilterDriverHandle);
NDIS_STATUS NDIS_API NdisFSetAttributes(NDIS_HANDLE NdisFilterHandle,
                                        NDIS_HANDLE FilterModuleContext,
                                        NDIS_FILTER_ATTRIBUTES* FilterAttributes);
NDIS_STATUS NDIS_API NdisFRestartFilter(NDIS_HANDLE NdisFilterHandle);

NDIS_STATUS NDIS_API NdisRegisterDeviceEx(NDIS_HANDLE NdisHandle,
                                          NDIS_DEVICE_OBJECT_ATTRIBUTES* DeviceObjectAttributes,
                                          KmDeviceObject** DeviceObject,
                                          NDIS_HANDLE* NdisDeviceHandle);
void NDIS_API NdisDeregisterDeviceEx(NDIS_HANDLE NdisDeviceHandle);
void* NDIS_API NdisGetDeviceReservedExtension(KmDeviceObject* DeviceObject);

void* NDIS_API NdisAllocateMemoryWithTagPriority(NDIS_HANDLE NdisHandle, uint32_t Length,
                                                 uint32_t Tag, uint32_t Priority);

NDIS_HANDLE NDIS_API NdisAllocateNetBufferListPool(NDIS_HANDLE NdisHandle,
                                                   NET_BUFFER_LIST_POOL_PARAMETERS* Parameters);
void NDIS_API NdisFreeNetBufferListPool(NDIS_HANDLE PoolHandle);
NDIS_HANDLE NDIS_API NdisAllocateNetBufferPool(NDIS_HANDLE NdisHandle,
                                               NET_BUFFER_POOL_PARAMETERS* Parameters);
void NDIS_API NdisFreeNetBufferPool(NDIS_HANDLE PoolHandle);
NdisMdl* NDIS_API NdisAllocateMdl(NDIS_HANDLE NdisHandle, void* VirtualAddress, uint32_t Length);
void NDIS_API NdisFreeMdl(NdisMdl* Mdl);
NET_BUFFER* NDIS_API NdisAllocateNetBuffer(NDIS_HANDLE PoolHandle, NdisMdl* MdlChain,
                                           uint32_t DataOffset, size_t DataLength);
void NDIS_API NdisFreeNetBuffer(NET_BUFFER* NetBuffer);

void NDIS_API NdisFSendNetBufferLists(NDIS_HANDLE NdisFilterHandle, NET_BUFFER_LIST* NetBufferLists,
                                      NDIS_PORT_NUMBER PortNumber, uint32_t SendFlags);
void NDIS_API NdisFSendNetBufferListsComplete(NDIS_HANDLE NdisFilterHandle,
                                              NET_BUFFER_LIST* NetBufferLists,
                                              uint32_t SendCompleteFlags);
void NDIS_API NdisFIndicateReceiveNetBufferLists(NDIS_HANDLE NdisFilterHandle,
                                                 NET_BUFFER_LIST* NetBufferLists,
                                                 NDIS_PORT_NUMBER PortNumber,
                                                 uint32_t NumberOfNetBufferLists,
                                                 uint32_t ReceiveFlags);
void NDIS_API NdisFReturnNetBufferLists(NDIS_HANDLE NdisFilterHandle,
                                        NET_BUFFER_LIST* NetBufferLists, uint32_t ReturnFlags);
void NDIS_API NdisFCancelSendNetBufferLists(NDIS_HANDLE NdisFilterHandle, void* CancelId);

NDIS_STATUS NDIS_API NdisAllocateCloneOidRequest(NDIS_HANDLE SourceHandle,
                                                 NDIS_OID_REQUEST* OidRequest, uint32_t PoolTag,
                                                 NDIS_OID_REQUEST** CloneRequest);
void NDIS_API NdisFreeCloneOidRequest(NDIS_HANDLE SourceHandle, NDIS_OID_REQUEST* Request);
NDIS_STATUS NDIS_API NdisFOidRequest(NDIS_HANDLE NdisFilterHandle, NDIS_OID_REQUEST* OidRequest);
void NDIS_API NdisFOidRequestComplete(NDIS_HANDLE NdisFilterHandle, NDIS_OID_REQUEST* OidRequest,
                                      NDIS_STATUS Status);
void NDIS_API NdisFCancelOidRequest(NDIS_HANDLE NdisFilterHandle, void* RequestId);

void NDIS_API NdisFIndicateStatus(NDIS_HANDLE NdisFilterHandle,
                                  NDIS_STATUS_INDICATION* StatusIndication);
void NDIS_API NdisFDevicePnPEventNotify(NDIS_HANDLE NdisFilterHandle,
                                        NET_DEVICE_PNP_EVENT* NetDevicePnPEvent);
NDIS_STATUS NDIS_API NdisFNetPnPEvent(NDIS_HANDLE NdisFilterHandle,
                                      NET_PNP_EVENT_NOTIFICATION* NetPnPEventNotification);
}

// ---- Layout checks (x86 first, then x64) ----
#define NDIS6_CHECK(expr) static_assert(expr, #expr)
#if UINTPTR_MAX == 0xFFFFFFFFu
NDIS6_CHECK(sizeof(NDIS_FILTER_DRIVER_CHARACTERISTICS) == 104);
NDIS6_CHECK(sizeof(NDIS_DEVICE_OBJECT_ATTRIBUTES) == 28);
NDIS6_CHECK(offsetof(NDIS_FILTER_DRIVER_CHARACTERISTICS, FriendlyName) == 12);
NDIS6_CHECK(offsetof(NDIS_FILTER_DRIVER_CHARACTERISTICS, ServiceName) == 28);
NDIS6_CHECK(offsetof(NDIS_FILTER_DRIVER_CHARACTERISTICS, SetOptionsHandler) == 36);
NDIS6_CHECK(offsetof(NDIS_FILTER_DRIVER_CHARACTERISTICS, StatusHandler) == 100);
NDIS6_CHECK(offsetof(NDIS_DEVICE_OBJECT_ATTRIBUTES, MajorFunctions) == 12);
NDIS6_CHECK(offsetof(NDIS_DEVICE_OBJECT_ATTRIBUTES, ExtensionSize) == 16);
NDIS6_CHECK(offsetof(NET_BUFFER, CurrentMdl) == 4);
NDIS6_CHECK(offsetof(NET_BUFFER, CurrentMdlOffset) == 8);
NDIS6_CHECK(offsetof(NET_BUFFER, DataLength) == 12);
NDIS6_CHECK(offsetof(NET_BUFFER, MdlChain) == 16);
NDIS6_CHECK(offsetof(NET_BUFFER, DataOffset) == 20);
NDIS6_CHECK(offsetof(NET_BUFFER, ChecksumBias) == 24);
NDIS6_CHECK(offsetof(NET_BUFFER, Reserved) == 26);
NDIS6_CHECK(offsetof(NET_BUFFER, NdisPoolHandle) == 28);
NDIS6_CHECK(offsetof(NET_BUFFER_LIST, Context) == 8);
NDIS6_CHECK(offsetof(NET_BUFFER_LIST, ParentNetBufferList) == 12);
NDIS6_CHECK(offsetof(NET_BUFFER_LIST, NdisPoolHandle) == 16);
NDIS6_CHECK(offsetof(NET_BUFFER_LIST, Status) == 0x4C);
NDIS6_CHECK(offsetof(NET_BUFFER_LIST, FirstNetBuffer) == 4);
NDIS6_CHECK(offsetof(NDIS_OID_REQUEST, RequestId) == 16);
NDIS6_CHECK(offsetof(NDIS_OID_REQUEST, DATA) == 24);
NDIS6_CHECK(offsetof(NDIS_OID_REQUEST, DATA.QUERY_INFORMATION.BytesWritten) == 36);
NDIS6_CHECK(offsetof(NDIS_OID_REQUEST, DATA.QUERY_INFORMATION.BytesNeeded) == 40);
NDIS6_CHECK(offsetof(NDIS_OID_REQUEST, DATA.METHOD_INFORMATION.OutputBufferLength) == 36);
NDIS6_CHECK(offsetof(NDIS_OID_REQUEST, DATA.METHOD_INFORMATION.BytesWritten) == 44);
NDIS6_CHECK(offsetof(NDIS_OID_REQUEST, DATA.METHOD_INFORMATION.BytesRead) == 48);
NDIS6_CHECK(offsetof(NDIS_OID_REQUEST, DATA.METHOD_INFORMATION.BytesNeeded) == 52);
NDIS6_CHECK(offsetof(NDIS_OID_REQUEST, SourceReserved) == 128);
NDIS6_CHECK(offsetof(NDIS_FILTER_ATTACH_PARAMETERS, FilterModuleGuidName) == 16);
NDIS6_CHECK(offsetof(NDIS_FILTER_ATTACH_PARAMETERS, BaseMiniportIfIndex) == 20);
NDIS6_CHECK(offsetof(NDIS_FILTER_ATTACH_PARAMETERS, BaseMiniportInstanceName) == 24);
NDIS6_CHECK(offsetof(NDIS_FILTER_ATTACH_PARAMETERS, BaseMiniportName) == 28);
NDIS6_CHECK(offsetof(NDIS_FILTER_ATTACH_PARAMETERS, MiniportMediaType) == 56);
NDIS6_CHECK(offsetof(NDIS_FILTER_RESTART_PARAMETERS, RestartAttributes) == 12);
NDIS6_CHECK(offsetof(NDIS_RESTART_ATTRIBUTES, Data) == 16);
NDIS6_CHECK(offsetof(NDIS_FILTER_DRIVER_CHARACTERISTICS, UniqueName) == 20);
NDIS6_CHECK(offsetof(NDIS_FILTER_DRIVER_CHARACTERISTICS, AttachHandler) == 44);
NDIS6_CHECK(offsetof(NDIS_FILTER_DRIVER_CHARACTERISTICS, SendNetBufferListsHandler) == 60);
NDIS6_CHECK(offsetof(NDIS_FILTER_DRIVER_CHARACTERISTICS, OidRequestHandler) == 80);
NDIS6_CHECK(offsetof(NDIS_DEVICE_OBJECT_ATTRIBUTES, SymbolicName) == 8);
NDIS6_CHECK(offsetof(NDIS_DEVICE_OBJECT_ATTRIBUTES, DeviceClassGuid) == 24);
NDIS6_CHECK(sizeof(NDIS_STRING) == 8 && offsetof(NDIS_STRING, Buffer) == 4);
#else
NDIS6_CHECK(sizeof(NDIS_FILTER_DRIVER_CHARACTERISTICS) == 200);
NDIS6_CHECK(sizeof(NDIS_DEVICE_OBJECT_ATTRIBUTES) == 56);
NDIS6_CHECK(offsetof(NDIS_FILTER_DRIVER_CHARACTERISTICS, FriendlyName) == 16);
NDIS6_CHECK(offsetof(NDIS_FILTER_DRIVER_CHARACTERISTICS, ServiceName) == 48);
NDIS6_CHECK(offsetof(NDIS_FILTER_DRIVER_CHARACTERISTICS, SetOptionsHandler) == 64);
NDIS6_CHECK(offsetof(NDIS_FILTER_DRIVER_CHARACTERISTICS, StatusHandler) == 192);
NDIS6_CHECK(offsetof(NDIS_DEVICE_OBJECT_ATTRIBUTES, MajorFunctions) == 24);
NDIS6_CHECK(offsetof(NDIS_DEVICE_OBJECT_ATTRIBUTES, ExtensionSize) == 32);
NDIS6_CHECK(offsetof(NET_BUFFER, CurrentMdl) == 8);
NDIS6_CHECK(offsetof(NET_BUFFER, CurrentMdlOffset) == 16);
NDIS6_CHECK(offsetof(NET_BUFFER, DataLength) == 24);
NDIS6_CHECK(offsetof(NET_BUFFER, MdlChain) == 32);
NDIS6_CHECK(offsetof(NET_BUFFER, DataOffset) == 40);
NDIS6_CHECK(offsetof(NET_BUFFER, ChecksumBias) == 48);
NDIS6_CHECK(offsetof(NET_BUFFER, Reserved) == 50);
NDIS6_CHECK(offsetof(NET_BUFFER, NdisPoolHandle) == 56);
NDIS6_CHECK(offsetof(NET_BUFFER_LIST, Context) == 16);
NDIS6_CHECK(offsetof(NET_BUFFER_LIST, ParentNetBufferList) == 24);
NDIS6_CHECK(offsetof(NET_BUFFER_LIST, NdisPoolHandle) == 32);
NDIS6_CHECK(offsetof(NET_BUFFER_LIST, Status) == 0x8C);
NDIS6_CHECK(offsetof(NET_BUFFER_LIST, FirstNetBuffer) == 8);
NDIS6_CHECK(offsetof(NDIS_OID_REQUEST, RequestId) == 16);
NDIS6_CHECK(offsetof(NDIS_OID_REQUEST, DATA) == 32);
NDIS6_CHECK(offsetof(NDIS_OID_REQUEST, DATA.QUERY_INFORMATION.BytesWritten) == 52);
NDIS6_CHECK(offsetof(NDIS_OID_REQUEST, DATA.QUERY_INFORMATION.BytesNeeded) == 56);
NDIS6_CHECK(offsetof(NDIS_OID_REQUEST, DATA.METHOD_INFORMATION.OutputBufferLength) == 52);
NDIS6_CHECK(offsetof(NDIS_OID_REQUEST, DATA.METHOD_INFORMATION.BytesWritten) == 60);
NDIS6_CHECK(offsetof(NDIS_OID_REQUEST, DATA.METHOD_INFORMATION.BytesRead) == 64);
NDIS6_CHECK(offsetof(NDIS_OID_REQUEST, DATA.METHOD_INFORMATION.BytesNeeded) == 68);
NDIS6_CHECK(offsetof(NDIS_OID_REQUEST, SourceReserved) == 216);
NDIS6_CHECK(offsetof(NDIS_FILTER_ATTACH_PARAMETERS, FilterModuleGuidName) == 16);
NDIS6_CHECK(offsetof(NDIS_FILTER_ATTACH_PARAMETERS, BaseMiniportIfIndex) == 24);
NDIS6_CHECK(offsetof(NDIS_FILTER_ATTACH_PARAMETERS, BaseMiniportInstanceName) == 32);
NDIS6_CHECK(offsetof(NDIS_FILTER_ATTACH_PARAMETERS, BaseMiniportName) == 40);
NDIS6_CHECK(offsetof(NDIS_FILTER_ATTACH_PARAMETERS, MiniportMediaType) == 72);
NDIS6_CHECK(offsetof(NDIS_FILTER_RESTART_PARAMETERS, RestartAttributes) == 16);
NDIS6_CHECK(offsetof(NDIS_RESTART_ATTRIBUTES, Data) == 16);
NDIS6_CHECK(offsetof(NDIS_FILTER_DRIVER_CHARACTERISTICS, UniqueName) == 32);
NDIS6_CHECK(offsetof(NDIS_FILTER_DRIVER_CHARACTERISTICS, AttachHandler) == 80);
NDIS6_CHECK(offsetof(NDIS_FILTER_DRIVER_CHARACTERISTICS, SendNetBufferListsHandler) == 112);
NDIS6_CHECK(offsetof(NDIS_FILTER_DRIVER_CHARACTERISTICS, OidRequestHandler) == 152);
NDIS6_CHECK(offsetof(NDIS_DEVICE_OBJECT_ATTRIBUTES, SymbolicName) == 16);
NDIS6_CHECK(offsetof(NDIS_DEVICE_OBJECT_ATTRIBUTES, DeviceClassGuid) == 48);
NDIS6_CHECK(sizeof(NDIS_STRING) == 16 && offsetof(NDIS_STRING, Buffer) == 8);
#endif
// The same on both.
NDIS6_CHECK(sizeof(NET_BUFFER_LIST_POOL_PARAMETERS) == 16);
NDIS6_CHECK(sizeof(NET_BUFFER_POOL_PARAMETERS) == 12);
NDIS6_CHECK(sizeof(NDIS_FILTER_ATTRIBUTES) == 8);
NDIS6_CHECK(offsetof(NDIS_RESTART_GENERAL_ATTRIBUTES, LookaheadSize) == 24);
NDIS6_CHECK(offsetof(NDIS_OID_REQUEST, RequestType) == 4);
NDIS6_CHECK(offsetof(NDIS_FILTER_DRIVER_CHARACTERISTICS, MajorNdisVersion) == 4);
NDIS6_CHECK(offsetof(NDIS_FILTER_DRIVER_CHARACTERISTICS, Flags) == 8);
NDIS6_CHECK(offsetof(NET_BUFFER_LIST_POOL_PARAMETERS, ContextSize) == 6);
NDIS6_CHECK(offsetof(NET_BUFFER_LIST_POOL_PARAMETERS, PoolTag) == 8);
NDIS6_CHECK(offsetof(NET_BUFFER_LIST_POOL_PARAMETERS, DataSize) == 12);
NDIS6_CHECK(offsetof(NET_BUFFER_POOL_PARAMETERS, PoolTag) == 4);
NDIS6_CHECK(offsetof(NET_BUFFER_POOL_PARAMETERS, DataSize) == 8);
NDIS6_CHECK(offsetof(NDIS_FILTER_ATTRIBUTES, Flags) == 4);
NDIS6_CHECK(offsetof(NDIS_DEVICE_OBJECT_ATTRIBUTES, DeviceName) == sizeof(void*));
NDIS6_CHECK(sizeof(NDIS_OBJECT_HEADER) == 4 && offsetof(NDIS_OBJECT_HEADER, Size) == 2);
#undef NDIS6_CHECK
