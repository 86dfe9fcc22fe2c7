// The NDIS 5.1 interface of the intermediate driver, declared here from the public NDIS
// documentation because the ddk ndis.h of mingw-w64 does not compile as shipped.
//
// Only what the intermediate driver uses is declared. The layouts are those of the x64
// build, checked below; the user-mode model of NDIS 5 (platform/sim/ndis5/) implements
// the same declarations on Linux x86-64, where the asserts hold as well.
//
// Some NDIS 5 calls are macros that call a handler kept in the miniport block of the
// virtual miniport (the indication and completion calls); those are inline functions here
// that do exactly what the macros do, so that the model keeps its handlers where NDIS
// keeps them.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "km_io.h"
#include "ndis_common.h"

#if !defined(__x86_64__) && !defined(_M_X64)
#error "the NDIS 5 intermediate driver is built for x64 only"
#endif

// ---- Scalars beyond the shared ones ----
typedef char16_t NdisWchar; // UTF-16 code unit, as the string literals of the host are
typedef NdisMediumValue NDIS_MEDIUM;
typedef NdisRequestTypeValue NDIS_REQUEST_TYPE;
typedef NdisMdl NDIS_BUFFER;

const NDIS_STATUS NDIS_STATUS_INVALID_LENGTH = int32_t(0xC0010014);
const NDIS_STATUS NDIS_STATUS_UNSUPPORTED_MEDIA = int32_t(0xC0010019);

const NDIS_OID OID_GEN_MAC_OPTIONS = 0x00010113;
const uint32_t NDIS_MAC_OPTION_NO_LOOPBACK = 0x00000008;

enum NDIS_DEVICE_POWER_STATE : uint32_t {
    NdisDeviceStateUnspecified = 0,
    NdisDeviceStateD0 = 1,
    NdisDeviceStateD1 = 2,
    NdisDeviceStateD2 = 3,
    NdisDeviceStateD3 = 4,
};

enum NET_PNP_EVENT_CODE : uint32_t {
    NetEventSetPower = 0,
    NetEventQueryPower = 1,
    NetEventQueryRemoveDevice = 2,
    NetEventCancelRemoveDevice = 3,
    NetEventReconfigure = 4,
    NetEventBindList = 5,
    NetEventBindsComplete = 6,
    NetEventPnPCapabilities = 7,
};

enum NDIS_PARAMETER_TYPE : uint32_t {
    NdisParameterInteger = 0,
    NdisParameterHexInteger = 1,
    NdisParameterString = 2,
};

enum NDIS_INTERFACE_TYPE : int32_t {
    NdisInterfaceInternal = 0,
};

const uint32_t NDIS_ATTRIBUTE_IGNORE_PACKET_TIMEOUT = 0x01;
const uint32_t NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT = 0x02;
const uint32_t NDIS_ATTRIBUTE_INTERMEDIATE_DRIVER = 0x10;
const uint32_t NDIS_ATTRIBUTE_DESERIALIZE = 0x20;
const uint32_t NDIS_ATTRIBUTE_NO_HALT_ON_SUSPEND = 0x40;

// ---- Strings and buffers (shared declarations, checked for this build) ----
static_assert(sizeof(NDIS_STRING) == 16, "NDIS_STRING size");
static_assert(sizeof(NDIS_BUFFER) == 48, "MDL size");
static_assert(offsetof(NDIS_BUFFER, MdlFlags) == 10, "MDL layout");
static_assert(offsetof(NDIS_BUFFER, MappedSystemVa) == 24, "MDL layout");
static_assert(offsetof(NDIS_BUFFER, StartVa) == 32, "MDL layout");
static_assert(offsetof(NDIS_BUFFER, ByteCount) == 40 && offsetof(NDIS_BUFFER, ByteOffset) == 44,
              "MDL layout");

// Points a counted string at a zero-terminated UTF-16 literal.
template <size_t N> NDIS_STRING NdisConstantString(const char16_t (&text)[N]) {
    NDIS_STRING s;
    s.Length = uint16_t((N - 1) * sizeof(char16_t));
    s.MaximumLength = uint16_t(N * sizeof(char16_t));
    s.Buffer = reinterpret_cast<decltype(s.Buffer)>(const_cast<char16_t*>(text));
    return s;
}

// ---- Packets ----
struct NDIS_PACKET_POOL_BLOCK; // opaque

struct NDIS_PACKET_PRIVATE {
    uint32_t PhysicalCount;
    uint32_t TotalLength;
    NDIS_BUFFER* Head;
    NDIS_BUFFER* Tail;
    NDIS_PACKET_POOL_BLOCK* Pool;
    uint32_t Count;
    uint32_t Flags;
    uint8_t ValidCounts;
    uint8_t NdisPacketFlags;
    uint16_t NdisPacketOobOffset;
};
static_assert(sizeof(NDIS_PACKET_PRIVATE) == 48, "NDIS_PACKET_PRIVATE size");
static_assert(offsetof(NDIS_PACKET_PRIVATE, Head) == 8 && offsetof(NDIS_PACKET_PRIVATE, Tail) == 16,
              "NDIS_PACKET_PRIVATE layout");
static_assert(offsetof(NDIS_PACKET_PRIVATE, Pool) == 24, "NDIS_PACKET_PRIVATE layout");
static_assert(offsetof(NDIS_PACKET_PRIVATE, Flags) == 36, "NDIS_PACKET_PRIVATE layout");
static_assert(offsetof(NDIS_PACKET_PRIVATE, ValidCounts) == 40, "NDIS_PACKET_PRIVATE layout");
static_assert(offsetof(NDIS_PACKET_PRIVATE, NdisPacketFlags) == 41, "NDIS_PACKET_PRIVATE layout");
static_assert(offsetof(NDIS_PACKET_PRIVATE, NdisPacketOobOffset) == 42,
              "NDIS_PACKET_PRIVATE layout");

const uint8_t fPACKET_CONTAINS_MEDIA_SPECIFIC_INFO = 0x40;
const uint8_t fPACKET_ALLOCATED_BY_NDIS = 0x80;

struct NDIS_PACKET {
    NDIS_PACKET_PRIVATE Private;
    uint8_t MiniportReserved[2 * sizeof(void*)];
    uint8_t WrapperReserved[2 * sizeof(void*)];
    uintptr_t Reserved[2];
    // ProtocolReservedLength bytes, as the pool was created with.
    alignas(8) uint8_t ProtocolReserved[8];
};
static_assert(offsetof(NDIS_PACKET, MiniportReserved) == 48, "NDIS_PACKET layout");
static_assert(offsetof(NDIS_PACKET, ProtocolReserved) == 96, "NDIS_PACKET layout");
static_assert(sizeof(NDIS_PACKET) == 104, "NDIS_PACKET size");

struct NDIS_PACKET_OOB_DATA {
    uint64_t TimeToSend;
    uint64_t TimeReceived;
    uint32_t HeaderSize;
    uint32_t SizeMediaSpecificInfo;
    void* MediaSpecificInformation;
    NDIS_STATUS Status;
};
static_assert(sizeof(NDIS_PACKET_OOB_DATA) == 40, "NDIS_PACKET_OOB_DATA size");
static_assert(offsetof(NDIS_PACKET_OOB_DATA, HeaderSize) == 16, "NDIS_PACKET_OOB_DATA layout");
static_assert(offsetof(NDIS_PACKET_OOB_DATA, MediaSpecificInformation) == 24,
              "NDIS_PACKET_OOB_DATA layout");
static_assert(offsetof(NDIS_PACKET_OOB_DATA, Status) == 32, "NDIS_PACKET_OOB_DATA layout");

enum NDIS_PER_PACKET_INFO : uint32_t {
    TcpIpChecksumPacketInfo = 0,
    OriginalPacketInfo = 7,
    PacketCancelId = 8,
    MaxPerPacketInfo = 12,
};

// Follows the OOB data of every descriptor that NDIS allocates.
struct NDIS_PACKET_EXTENSION {
    void* NdisPacketInfo[MaxPerPacketInfo];
};
static_assert(sizeof(NDIS_PACKET_EXTENSION) == 96, "NDIS_PACKET_EXTENSION size");

// ---- Requests and PnP events ----
struct NDIS_REQUEST {
    uint8_t MacReserved[4 * sizeof(void*)];
    NDIS_REQUEST_TYPE RequestType;
    union {
        struct { // QUERY_INFORMATION and SET_INFORMATION share their layout
            NDIS_OID Oid;
            void* InformationBuffer;
            uint32_t InformationBufferLength;
            uint32_t BytesWrittenOrRead; // BytesWritten for a query, BytesRead for a set
            uint32_t BytesNeeded;
        } INFORMATION;
        uint8_t Size[32];
    } DATA;
    uint8_t NdisReserved[9 * sizeof(void*)];
    uint8_t ProtocolReserved[2 * sizeof(void*)];
    uint8_t MiniportReserved[2 * sizeof(void*)];
};
static_assert(sizeof(NDIS_REQUEST) == 176, "NDIS_REQUEST size");
static_assert(offsetof(NDIS_REQUEST, RequestType) == 32, "NDIS_REQUEST layout");
static_assert(offsetof(NDIS_REQUEST, DATA.INFORMATION.Oid) == 40, "NDIS_REQUEST layout");
static_assert(offsetof(NDIS_REQUEST, DATA.INFORMATION.InformationBuffer) == 48,
              "NDIS_REQUEST layout");
static_assert(offsetof(NDIS_REQUEST, DATA.INFORMATION.InformationBufferLength) == 56,
              "NDIS_REQUEST layout");
static_assert(offsetof(NDIS_REQUEST, DATA.INFORMATION.BytesWrittenOrRead) == 60,
              "NDIS_REQUEST layout");
static_assert(offsetof(NDIS_REQUEST, DATA.INFORMATION.BytesNeeded) == 64, "NDIS_REQUEST layout");

struct NET_PNP_EVENT {
    NET_PNP_EVENT_CODE NetEvent;
    void* Buffer;
    uint32_t BufferLength;
    uintptr_t NdisReserved[4];
    uintptr_t TransportReserved[4];
    uintptr_t TdiReserved[4];
    uintptr_t TdiClientReserved[4];
};
static_assert(sizeof(NET_PNP_EVENT) == 152, "NET_PNP_EVENT size");
static_assert(offsetof(NET_PNP_EVENT, Buffer) == 8 && offsetof(NET_PNP_EVENT, BufferLength) == 16,
              "NET_PNP_EVENT layout");

struct NDIS_PNP_CAPABILITIES {
    uint32_t Flags;
    NDIS_DEVICE_POWER_STATE MinMagicPacketWakeUp;
    NDIS_DEVICE_POWER_STATE MinPatternWakeUp;
    NDIS_DEVICE_POWER_STATE MinLinkChangeWakeUp;
};
static_assert(sizeof(NDIS_PNP_CAPABILITIES) == 16, "NDIS_PNP_CAPABILITIES size");

// ---- Events and configuration ----
struct NDIS_EVENT { // a KEVENT
    uint64_t Opaque[3];
};
static_assert(sizeof(NDIS_EVENT) == 24, "NDIS_EVENT size");

struct NDIS_CONFIGURATION_PARAMETER {
    NDIS_PARAMETER_TYPE ParameterType;
    union {
        uint32_t IntegerData;
        NDIS_STRING StringData;
    } ParameterData;
};
static_assert(sizeof(NDIS_CONFIGURATION_PARAMETER) == 24, "NDIS_CONFIGURATION_PARAMETER size");
static_assert(offsetof(NDIS_CONFIGURATION_PARAMETER, ParameterData) == 8,
              "NDIS_CONFIGURATION_PARAMETER layout");

// ---- Handlers: the miniport edge ----
typedef NDIS_STATUS (*MINIPORT_INITIALIZE)(NDIS_STATUS* OpenErrorStatus,
                                           uint32_t* SelectedMediumIndex, NDIS_MEDIUM* MediumArray,
                                           uint32_t MediumArraySize,
                                           NDIS_HANDLE MiniportAdapterHandle,
                                           NDIS_HANDLE WrapperConfigurationContext);
typedef void (*MINIPORT_HALT)(NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS (*MINIPORT_QUERY_INFORMATION)(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                                  void* InformationBuffer,
                                                  uint32_t InformationBufferLength,
                                                  uint32_t* BytesWritten, uint32_t* BytesNeeded);
typedef NDIS_STATUS (*MINIPORT_SET_INFORMATION)(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                                void* InformationBuffer,
                                                uint32_t InformationBufferLength,
                                                uint32_t* BytesRead, uint32_t* BytesNeeded);
typedef NDIS_STATUS (*MINIPORT_TRANSFER_DATA)(NDIS_PACKET* Packet, uint32_t* BytesTransferred,
                                              NDIS_HANDLE MiniportAdapterContext,
                                              NDIS_HANDLE MiniportReceiveContext,
                                              uint32_t ByteOffset, uint32_t BytesToTransfer);
typedef void (*MINIPORT_RETURN_PACKET)(NDIS_HANDLE MiniportAdapterContext, NDIS_PACKET* Packet);
typedef void (*MINIPORT_SEND_PACKETS)(NDIS_HANDLE MiniportAdapterContext, NDIS_PACKET** Packets,
                                      uint32_t NumberOfPackets);
typedef void (*MINIPORT_CANCEL_SEND_PACKETS)(NDIS_HANDLE MiniportAdapterContext, void* CancelId);
typedef void (*MINIPORT_PNP_EVENT_NOTIFY)(NDIS_HANDLE MiniportAdapterContext, uint32_t PnPEvent,
                                          void* InformationBuffer,
                                          uint32_t InformationBufferLength);
typedef void (*MINIPORT_SHUTDOWN)(void* ShutdownContext);

struct NDIS_MINIPORT_CHARACTERISTICS { // NDIS 5.1
    uint8_t MajorNdisVersion;
    uint8_t MinorNdisVersion;
    uint16_t Filler;
    uint32_t Reserved;
    void* CheckForHangHandler;
    void* DisableInterruptHandler;
    void* EnableInterruptHandler;
    MINIPORT_HALT HaltHandler;
    void* HandleInterruptHandler;
    MINIPORT_INITIALIZE InitializeHandler;
    void* ISRHandler;
    MINIPORT_QUERY_INFORMATION QueryInformationHandler;
    void* ReconfigureHandler;
    void* ResetHandler;
    void* SendHandler;
    MINIPORT_SET_INFORMATION SetInformationHandler;
    MINIPORT_TRANSFER_DATA TransferDataHandler;
    MINIPORT_RETURN_PACKET ReturnPacketHandler;
    MINIPORT_SEND_PACKETS SendPacketsHandler;
    void* AllocateCompleteHandler;
    void* CoHandlers[6]; // connection-oriented: CoCreateVc to CoRequest
    MINIPORT_CANCEL_SEND_PACKETS CancelSendPacketsHandler;
    MINIPORT_PNP_EVENT_NOTIFY PnPEventNotifyHandler;
    MINIPORT_SHUTDOWN AdapterShutdownHandler;
    void* Reserved1[4];
};
static_assert(sizeof(NDIS_MINIPORT_CHARACTERISTICS) == 240, "miniport characteristics size");
static_assert(offsetof(NDIS_MINIPORT_CHARACTERISTICS, HaltHandler) == 32, "miniport chars");
static_assert(offsetof(NDIS_MINIPORT_CHARACTERISTICS, InitializeHandler) == 48, "miniport chars");
static_assert(offsetof(NDIS_MINIPORT_CHARACTERISTICS, QueryInformationHandler) == 64,
              "miniport chars");
static_assert(offsetof(NDIS_MINIPORT_CHARACTERISTICS, SetInformationHandler) == 96,
              "miniport chars");
static_assert(offsetof(NDIS_MINIPORT_CHARACTERISTICS, ReturnPacketHandler) == 112,
              "miniport chars");
static_assert(offsetof(NDIS_MINIPORT_CHARACTERISTICS, SendPacketsHandler) == 120, "miniport chars");
static_assert(offsetof(NDIS_MINIPORT_CHARACTERISTICS, CancelSendPacketsHandler) == 184,
              "miniport chars");
static_assert(offsetof(NDIS_MINIPORT_CHARACTERISTICS, AdapterShutdownHandler) == 200,
              "miniport chars");

// ---- Handlers: the protocol edge ----
typedef void (*PROTOCOL_OPEN_ADAPTER_COMPLETE)(NDIS_HANDLE ProtocolBindingContext,
                                               NDIS_STATUS Status, NDIS_STATUS OpenErrorStatus);
typedef void (*PROTOCOL_CLOSE_ADAPTER_COMPLETE)(NDIS_HANDLE ProtocolBindingContext,
                                                NDIS_STATUS Status);
typedef void (*PROTOCOL_SEND_COMPLETE)(NDIS_HANDLE ProtocolBindingContext, NDIS_PACKET* Packet,
                                       NDIS_STATUS Status);
typedef void (*PROTOCOL_TRANSFER_DATA_COMPLETE)(NDIS_HANDLE ProtocolBindingContext,
                                                NDIS_PACKET* Packet, NDIS_STATUS Status,
                                                uint32_t BytesTransferred);
typedef void (*PROTOCOL_RESET_COMPLETE)(NDIS_HANDLE ProtocolBindingContext, NDIS_STATUS Status);
typedef void (*PROTOCOL_REQUEST_COMPLETE)(NDIS_HANDLE ProtocolBindingContext, NDIS_REQUEST* Request,
                                          NDIS_STATUS Status);
typedef NDIS_STATUS (*PROTOCOL_RECEIVE)(NDIS_HANDLE ProtocolBindingContext,
                                        NDIS_HANDLE MacReceiveContext, void* HeaderBuffer,
                                        uint32_t HeaderBufferSize, void* LookAheadBuffer,
                                        uint32_t LookaheadBufferSize, uint32_t PacketSize);
typedef void (*PROTOCOL_RECEIVE_COMPLETE)(NDIS_HANDLE ProtocolBindingContext);
typedef void (*PROTOCOL_STATUS)(NDIS_HANDLE ProtocolBindingContext, NDIS_STATUS GeneralStatus,
                                void* StatusBuffer, uint32_t StatusBufferSize);
typedef void (*PROTOCOL_STATUS_COMPLETE)(NDIS_HANDLE ProtocolBindingContext);
typedef int32_t (*PROTOCOL_RECEIVE_PACKET)(NDIS_HANDLE ProtocolBindingContext, NDIS_PACKET* Packet);
typedef void (*PROTOCOL_BIND_ADAPTER)(NDIS_STATUS* Status, NDIS_HANDLE BindContext,
                                      NDIS_STRING* DeviceName, void* SystemSpecific1,
                                      void* SystemSpecific2);
typedef void (*PROTOCOL_UNBIND_ADAPTER)(NDIS_STATUS* Status, NDIS_HANDLE ProtocolBindingContext,
                                        NDIS_HANDLE UnbindContext);
typedef NDIS_STATUS (*PROTOCOL_PNP_EVENT)(NDIS_HANDLE ProtocolBindingContext,
                                          NET_PNP_EVENT* NetPnPEvent);
typedef void (*PROTOCOL_UNLOAD)();

struct NDIS_PROTOCOL_CHARACTERISTICS { // NDIS 5.0
    uint8_t MajorNdisVersion;
    uint8_t MinorNdisVersion;
    uint16_t Filler;
    uint32_t Reserved;
    PROTOCOL_OPEN_ADAPTER_COMPLETE OpenAdapterCompleteHandler;
    PROTOCOL_CLOSE_ADAPTER_COMPLETE CloseAdapterCompleteHandler;
    PROTOCOL_SEND_COMPLETE SendCompleteHandler;
    PROTOCOL_TRANSFER_DATA_COMPLETE TransferDataCompleteHandler;
    PROTOCOL_RESET_COMPLETE ResetCompleteHandler;
    PROTOCOL_REQUEST_COMPLETE RequestCompleteHandler;
    PROTOCOL_RECEIVE ReceiveHandler;
    PROTOCOL_RECEIVE_COMPLETE ReceiveCompleteHandler;
    PROTOCOL_STATUS StatusHandler;
    PROTOCOL_STATUS_COMPLETE StatusCompleteHandler;
    NDIS_STRING Name;
    PROTOCOL_RECEIVE_PACKET ReceivePacketHandler;
    PROTOCOL_BIND_ADAPTER BindAdapterHandler;
    PROTOCOL_UNBIND_ADAPTER UnbindAdapterHandler;
    PROTOCOL_PNP_EVENT PnPEventHandler;
    PROTOCOL_UNLOAD UnloadHandler;
    void* ReservedHandlers[4];
    void* CoHandlers[4]; // connection-oriented: CoSendComplete to CoAfRegisterNotify
};
static_assert(sizeof(NDIS_PROTOCOL_CHARACTERISTICS) == 208, "protocol characteristics size");
static_assert(offsetof(NDIS_PROTOCOL_CHARACTERISTICS, StatusCompleteHandler) == 80,
              "protocol chars");
static_assert(offsetof(NDIS_PROTOCOL_CHARACTERISTICS, Name) == 88, "protocol chars");
static_assert(offsetof(NDIS_PROTOCOL_CHARACTERISTICS, ReceivePacketHandler) == 104,
              "protocol chars");
static_assert(offsetof(NDIS_PROTOCOL_CHARACTERISTICS, PnPEventHandler) == 128, "protocol chars");
static_assert(offsetof(NDIS_PROTOCOL_CHARACTERISTICS, UnloadHandler) == 136, "protocol chars");

// ---- The miniport block: where NDIS keeps the handlers that the macros call ----
typedef void (*FILTER_PACKET_INDICATION_HANDLER)(NDIS_HANDLE Miniport, NDIS_PACKET** Packets,
                                                 uint32_t NumberOfPackets);
typedef void (*NDIS_M_SEND_COMPLETE_HANDLER)(NDIS_HANDLE Miniport, NDIS_PACKET* Packet,
                                             NDIS_STATUS Status);
typedef void (*ETH_RCV_INDICATE_HANDLER)(void* Filter, NDIS_HANDLE MacReceiveContext, char* Address,
                                         void* HeaderBuffer, uint32_t HeaderBufferSize,
                                         void* LookaheadBuffer, uint32_t LookaheadBufferSize,
                                         uint32_t PacketSize);
typedef void (*TR_RCV_INDICATE_HANDLER)(void* Filter, NDIS_HANDLE MacReceiveContext,
                                        void* HeaderBuffer, uint32_t HeaderBufferSize,
                                        void* LookaheadBuffer, uint32_t LookaheadBufferSize,
                                        uint32_t PacketSize);
typedef void (*RCV_COMPLETE_HANDLER)(void* Filter);
typedef void (*NDIS_M_STATUS_HANDLER)(NDIS_HANDLE Miniport, NDIS_STATUS GeneralStatus,
                                      void* StatusBuffer, uint32_t StatusBufferSize);
typedef void (*NDIS_M_STS_COMPLETE_HANDLER)(NDIS_HANDLE Miniport);
typedef void (*NDIS_M_TD_COMPLETE_HANDLER)(NDIS_HANDLE Miniport, NDIS_PACKET* Packet,
                                           NDIS_STATUS Status, uint32_t BytesTransferred);
typedef void (*NDIS_M_REQ_COMPLETE_HANDLER)(NDIS_HANDLE Miniport, NDIS_STATUS Status);

struct NDIS_MINIPORT_BLOCK {
    uint8_t Fields1[400];
    void* EthDB;
    void* TrDB;
    uint8_t Fields2[16];
    FILTER_PACKET_INDICATION_HANDLER PacketIndicateHandler;
    NDIS_M_SEND_COMPLETE_HANDLER SendCompleteHandler;
    uint8_t Fields3[192];
    ETH_RCV_INDICATE_HANDLER EthRxIndicateHandler;
    TR_RCV_INDICATE_HANDLER TrRxIndicateHandler;
    void* FddiRxIndicateHandler;
    RCV_COMPLETE_HANDLER EthRxCompleteHandler;
    RCV_COMPLETE_HANDLER TrRxCompleteHandler;
    void* FddiRxCompleteHandler;
    NDIS_M_STATUS_HANDLER StatusHandler;
    NDIS_M_STS_COMPLETE_HANDLER StatusCompleteHandler;
    NDIS_M_TD_COMPLETE_HANDLER TDCompleteHandler;
    NDIS_M_REQ_COMPLETE_HANDLER QueryCompleteHandler;
    NDIS_M_REQ_COMPLETE_HANDLER SetCompleteHandler;
};
static_assert(offsetof(NDIS_MINIPORT_BLOCK, EthDB) == 400, "miniport block layout");
static_assert(offsetof(NDIS_MINIPORT_BLOCK, TrDB) == 408, "miniport block layout");
static_assert(offsetof(NDIS_MINIPORT_BLOCK, PacketIndicateHandler) == 432, "miniport block layout");
static_assert(offsetof(NDIS_MINIPORT_BLOCK, SendCompleteHandler) == 440, "miniport block layout");
static_assert(offsetof(NDIS_MINIPORT_BLOCK, EthRxIndicateHandler) == 640, "miniport block layout");
static_assert(offsetof(NDIS_MINIPORT_BLOCK, TrRxIndicateHandler) == 648, "miniport block layout");
static_assert(offsetof(NDIS_MINIPORT_BLOCK, EthRxCompleteHandler) == 664, "miniport block layout");
static_assert(offsetof(NDIS_MINIPORT_BLOCK, TrRxCompleteHandler) == 672, "miniport block layout");
static_assert(offsetof(NDIS_MINIPORT_BLOCK, StatusHandler) == 688, "miniport block layout");
static_assert(offsetof(NDIS_MINIPORT_BLOCK, StatusCompleteHandler) == 696, "miniport block layout");
static_assert(offsetof(NDIS_MINIPORT_BLOCK, TDCompleteHandler) == 704, "miniport block layout");
static_assert(offsetof(NDIS_MINIPORT_BLOCK, QueryCompleteHandler) == 712, "miniport block layout");
static_assert(offsetof(NDIS_MINIPORT_BLOCK, SetCompleteHandler) == 720, "miniport block layout");

// ---- Functions exported by NDIS.SYS and the kernel ----
extern "C" {
void NdisInitializeWrapper(NDIS_HANDLE* NdisWrapperHandle, void* SystemSpecific1,
                           void* SystemSpecific2, void* SystemSpecific3);
void NdisTerminateWrapper(NDIS_HANDLE NdisWrapperHandle, void* SystemSpecific);
NDIS_STATUS NdisIMRegisterLayeredMiniport(NDIS_HANDLE NdisWrapperHandle,
                                          NDIS_MINIPORT_CHARACTERISTICS* Characteristics,
                                          uint32_t CharacteristicsLength,
                                          NDIS_HANDLE* DriverHandle);
void NdisIMDeregisterLayeredMiniport(NDIS_HANDLE DriverHandle);
void NdisMRegisterUnloadHandler(NDIS_HANDLE NdisWrapperHandle, void (*UnloadHandler)(void*));
void NdisRegisterProtocol(NDIS_STATUS* Status, NDIS_HANDLE* NdisProtocolHandle,
                          NDIS_PROTOCOL_CHARACTERISTICS* Characteristics,
                          uint32_t CharacteristicsLength);
void NdisDeregisterProtocol(NDIS_STATUS* Status, NDIS_HANDLE NdisProtocolHandle);
void NdisIMAssociateMiniport(NDIS_HANDLE DriverHandle, NDIS_HANDLE ProtocolHandle);

void NdisOpenProtocolConfiguration(NDIS_STATUS* Status, NDIS_HANDLE* ConfigurationHandle,
                                   NDIS_STRING* ProtocolSection);
void NdisReadConfiguration(NDIS_STATUS* Status, NDIS_CONFIGURATION_PARAMETER** ParameterValue,
                           NDIS_HANDLE ConfigurationHandle, NDIS_STRING* Keyword,
                           NDIS_PARAMETER_TYPE ParameterType);
void NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle);

NDIS_STATUS NdisAllocateMemoryWithTag(void** VirtualAddress, uint32_t Length, uint32_t Tag);
NDIS_STATUS NdisAllocateMemory(void** VirtualAddress, uint32_t Length, uint32_t MemoryFlags,
                               int64_t HighestAcceptableAddress);

void NdisAllocatePacketPoolEx(NDIS_STATUS* Status, NDIS_HANDLE* PoolHandle,
                              uint32_t NumberOfDescriptors, uint32_t NumberOfOverflowDescriptors,
                              uint32_t ProtocolReservedLength);
void NdisFreePacketPool(NDIS_HANDLE PoolHandle);
void NdisAllocatePacket(NDIS_STATUS* Status, NDIS_PACKET** Packet, NDIS_HANDLE PoolHandle);
void NdisDprAllocatePacket(NDIS_STATUS* Status, NDIS_PACKET** Packet, NDIS_HANDLE PoolHandle);
void NdisFreePacket(NDIS_PACKET* Packet);
void NdisDprFreePacket(NDIS_PACKET* Packet);
void NdisAllocateBuffer(NDIS_STATUS* Status, NDIS_BUFFER** Buffer, NDIS_HANDLE PoolHandle,
                        void* VirtualAddress, uint32_t Length);
void NdisFreeBuffer(NDIS_BUFFER* Buffer);
void NdisAllocateBufferPool(NDIS_STATUS* Status, NDIS_HANDLE* PoolHandle,
                            uint32_t NumberOfDescriptors);
void NdisFreeBufferPool(NDIS_HANDLE PoolHandle);
// Processors in the system, fixed while it runs.
int8_t NdisSystemProcessorCount();

void NdisInitializeEvent(NDIS_EVENT* Event);
void NdisSetEvent(NDIS_EVENT* Event);
void NdisResetEvent(NDIS_EVENT* Event);
uint8_t NdisWaitEvent(NDIS_EVENT* Event, uint32_t MsToWait); // 0 waits without time-out
void NdisMSleep(uint32_t MicrosecondsToSleep);

void NdisOpenAdapter(NDIS_STATUS* Status, NDIS_STATUS* OpenErrorStatus,
                     NDIS_HANDLE* NdisBindingHandle, uint32_t* SelectedMediumIndex,
                     NDIS_MEDIUM* MediumArray, uint32_t MediumArraySize,
                     NDIS_HANDLE NdisProtocolHandle, NDIS_HANDLE ProtocolBindingContext,
                     NDIS_STRING* AdapterName, uint32_t OpenOptions, void* AddressingInformation);
void NdisCloseAdapter(NDIS_STATUS* Status, NDIS_HANDLE NdisBindingHandle);

NDIS_STATUS NdisIMInitializeDeviceInstanceEx(NDIS_HANDLE DriverHandle, NDIS_STRING* DriverInstance,
                                             NDIS_HANDLE DeviceContext);
NDIS_STATUS NdisIMCancelInitializeDeviceInstance(NDIS_HANDLE DriverHandle,
                                                 NDIS_STRING* DeviceInstance);
NDIS_STATUS NdisIMDeInitializeDeviceInstance(NDIS_HANDLE NdisMiniportHandle);
NDIS_HANDLE NdisIMGetDeviceContext(NDIS_HANDLE MiniportAdapterHandle);
void NdisMSetAttributesEx(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportAdapterContext,
                          uint32_t CheckForHangTimeInSeconds, uint32_t AttributeFlags,
                          NDIS_INTERFACE_TYPE AdapterType);
NDIS_STATUS NdisMRegisterDevice(NDIS_HANDLE NdisWrapperHandle, NDIS_STRING* DeviceName,
                                NDIS_STRING* SymbolicName, KmDispatchRoutine* MajorFunctions,
                                KmDeviceObject** DeviceObject, NDIS_HANDLE* NdisDeviceHandle);
NDIS_STATUS NdisMDeregisterDevice(NDIS_HANDLE NdisDeviceHandle);

void NdisSend(NDIS_STATUS* Status, NDIS_HANDLE NdisBindingHandle, NDIS_PACKET* Packet);
void NdisTransferData(NDIS_STATUS* Status, NDIS_HANDLE NdisBindingHandle,
                      NDIS_HANDLE MacReceiveContext, uint32_t ByteOffset, uint32_t BytesToTransfer,
                      NDIS_PACKET* Packet, uint32_t* BytesTransferred);
void NdisCancelSendPackets(NDIS_HANDLE NdisBindingHandle, void* CancelId);
void NdisReturnPackets(NDIS_PACKET** PacketsToReturn, uint32_t NumberOfPackets);
NDIS_PACKET* NdisGetReceivedPacket(NDIS_HANDLE NdisBindingHandle, NDIS_HANDLE MacContext);
void NdisRequest(NDIS_STATUS* Status, NDIS_HANDLE NdisBindingHandle, NDIS_REQUEST* NdisRequest);
void NdisIMCopySendPerPacketInfo(NDIS_PACKET* DstPacket, NDIS_PACKET* SrcPacket);
void NdisIMCopySendCompletePerPacketInfo(NDIS_PACKET* DstPacket, NDIS_PACKET* SrcPacket);
NDIS_STATUS NdisIMNotifyPnPEvent(NDIS_HANDLE MiniportHandle, NET_PNP_EVENT* NetPnPEvent);
void NdisReEnumerateProtocolBindings(NDIS_HANDLE NdisProtocolHandle);
}

// ---- The macros of ndis.h, as inline functions ----
inline NDIS_PACKET_OOB_DATA* NdisOobDataFromPacket(NDIS_PACKET* p) {
    return reinterpret_cast<NDIS_PACKET_OOB_DATA*>(reinterpret_cast<uint8_t*>(p) +
                                                   p->Private.NdisPacketOobOffset);
}
inline NDIS_PACKET_EXTENSION* NdisPacketExtensionFromPacket(NDIS_PACKET* p) {
    return reinterpret_cast<NDIS_PACKET_EXTENSION*>(reinterpret_cast<uint8_t*>(p) +
                                                    p->Private.NdisPacketOobOffset +
                                                    sizeof(NDIS_PACKET_OOB_DATA));
}

// NdisQueryPacket for the first buffer and the total length; recounts when the cached
// counts are marked invalid.
inline void NdisQueryPacketFirstAndLength(NDIS_PACKET* p, NDIS_BUFFER** first, uint32_t* total) {
    *first = p->Private.Head;
    if (!p->Private.ValidCounts) {
        uint32_t length = 0;
        uint32_t count = 0;
        for (NDIS_BUFFER* b = p->Private.Head; b != nullptr; b = b->Next) {
            length += b->ByteCount;
            ++count;
        }
        p->Private.TotalLength = length;
        p->Private.Count = count;
        p->Private.ValidCounts = 1;
    }
    *total = p->Private.TotalLength;
}

inline void NdisMIndicateReceivePacket(NDIS_HANDLE miniport, NDIS_PACKET** packets, uint32_t n) {
    static_cast<NDIS_MINIPORT_BLOCK*>(miniport)->PacketIndicateHandler(miniport, packets, n);
}
inline void NdisMSendComplete(NDIS_HANDLE miniport, NDIS_PACKET* packet, NDIS_STATUS status) {
    static_cast<NDIS_MINIPORT_BLOCK*>(miniport)->SendCompleteHandler(miniport, packet, status);
}
inline void NdisMEthIndicateReceive(NDIS_HANDLE miniport, NDIS_HANDLE context, void* header,
                                    uint32_t headerSize, void* lookahead, uint32_t lookaheadSize,
                                    uint32_t packetSize) {
    auto* block = static_cast<NDIS_MINIPORT_BLOCK*>(miniport);
    block->EthRxIndicateHandler(block->EthDB, context, static_cast<char*>(header), header,
                                headerSize, lookahead, lookaheadSize, packetSize);
}
inline void NdisMEthIndicateReceiveComplete(NDIS_HANDLE miniport) {
    auto* block = static_cast<NDIS_MINIPORT_BLOCK*>(miniport);
    block->EthRxCompleteHandler(block->EthDB);
}
inline void NdisMTrIndicateReceive(NDIS_HANDLE miniport, NDIS_HANDLE context, void* header,
                                   uint32_t headerSize, void* lookahead, uint32_t lookaheadSize,
                                   uint32_t packetSize) {
    auto* block = static_cast<NDIS_MINIPORT_BLOCK*>(miniport);
    block->TrRxIndicateHandler(block->TrDB, context, header, headerSize, lookahead, lookaheadSize,
                               packetSize);
}
inline void NdisMTrIndicateReceiveComplete(NDIS_HANDLE miniport) {
    auto* block = static_cast<NDIS_MINIPORT_BLOCK*>(miniport);
    block->TrRxCompleteHandler(block->TrDB);
}
inline void NdisMIndicateStatus(NDIS_HANDLE miniport, NDIS_STATUS status, void* buffer,
                                uint32_t size) {
    static_cast<NDIS_MINIPORT_BLOCK*>(miniport)->StatusHandler(miniport, status, buffer, size);
}
inline void NdisMIndicateStatusComplete(NDIS_HANDLE miniport) {
    static_cast<NDIS_MINIPORT_BLOCK*>(miniport)->StatusCompleteHandler(miniport);
}
inline void NdisMTransferDataComplete(NDIS_HANDLE miniport, NDIS_PACKET* packet, NDIS_STATUS status,
                                      uint32_t bytes) {
    static_cast<NDIS_MINIPORT_BLOCK*>(miniport)->TDCompleteHandler(miniport, packet, status, bytes);
}
inline void NdisMQueryInformationComplete(NDIS_HANDLE miniport, NDIS_STATUS status) {
    static_cast<NDIS_MINIPORT_BLOCK*>(miniport)->QueryCompleteHandler(miniport, status);
}
inline void NdisMSetInformationComplete(NDIS_HANDLE miniport, NDIS_STATUS status) {
    static_cast<NDIS_MINIPORT_BLOCK*>(miniport)->SetCompleteHandler(miniport, status);
}
