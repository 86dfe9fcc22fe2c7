// What the NDIS 6 filter host and the NDIS 5 intermediate host share: the calling
// convention of NDIS.SYS, status values, handles, strings, MDLs and their system address,
// media types, OID request types and OID codes.
//
// Built for Windows (i686/x86_64 mingw-w64) the kernel structures come from the ddk
// headers; on Linux they are our own (ndis_kernel_types.h) and the NDIS models in
// platform/sim implement the functions declared here.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#include <ntddk.h>
#else
#include "ndis_kernel_types.h"
#endif

// NDIS.SYS exports and driver handlers use the standard calling convention on x86.
#if defined(_WIN32) && defined(__i386__)
#define NDIS_API __stdcall
#else
#define NDIS_API
#endif

typedef int32_t NDIS_STATUS;
typedef void* NDIS_HANDLE;
typedef uint32_t NDIS_OID;
typedef uint32_t NDIS_PORT_NUMBER;
typedef uint32_t NET_IFINDEX;

#if defined(_WIN32)
typedef UNICODE_STRING NDIS_STRING;
typedef MDL NdisMdl;
const int16_t NdisMdlMappedToSystemVa = MDL_MAPPED_TO_SYSTEM_VA;
const int16_t NdisMdlSourceIsNonpagedPool = MDL_SOURCE_IS_NONPAGED_POOL;
#else
typedef KmUnicodeString NDIS_STRING;
typedef KmMdl NdisMdl;
const int16_t NdisMdlMappedToSystemVa = KmMdlMappedToSystemVa;
const int16_t NdisMdlSourceIsNonpagedPool = KmMdlSourceIsNonpagedPool;
#endif

// ---- Status values ----
const NDIS_STATUS NDIS_STATUS_SUCCESS = 0x00000000;
const NDIS_STATUS NDIS_STATUS_PENDING = 0x00000103;
const NDIS_STATUS NDIS_STATUS_FAILURE = int32_t(0xC0000001);
const NDIS_STATUS NDIS_STATUS_PAUSED = int32_t(0xC023002A);
const NDIS_STATUS NDIS_STATUS_INVALID_PARAMETER = int32_t(0xC000000D);
const NDIS_STATUS NDIS_STATUS_RESOURCES = int32_t(0xC000009A);
const NDIS_STATUS NDIS_STATUS_NOT_SUPPORTED = int32_t(0xC00000BB);
const NDIS_STATUS NDIS_STATUS_REQUEST_ABORTED = int32_t(0xC0000240);
const NDIS_STATUS NDIS_STATUS_ADAPTER_NOT_READY = int32_t(0xC0010011);
const NDIS_STATUS NDIS_STATUS_MEDIA_CONNECT = 0x4001000B;
const NDIS_STATUS NDIS_STATUS_MEDIA_DISCONNECT = 0x4001000C;

// Kernel status values the control devices complete requests with.
const int32_t KM_STATUS_SUCCESS = 0;
const int32_t KM_STATUS_UNSUCCESSFUL = int32_t(0xC0000001);
const int32_t KM_STATUS_BUFFER_TOO_SMALL = int32_t(0xC0000023);

// ---- Media ----
enum NdisMediumValue : uint32_t {
    NdisMedium802_3 = 0,
    NdisMedium802_5 = 1,
    NdisMediumFddi = 2,
    NdisMediumWan = 3,
};

// ---- OID requests ----
enum NdisRequestTypeValue : uint32_t {
    NdisRequestQueryInformation = 0,
    NdisRequestSetInformation = 1,
    NdisRequestQueryStatistics = 2,
    NdisRequestMethod = 12,
};

const NDIS_OID OID_GEN_SUPPORTED_LIST = 0x00010101;
const NDIS_OID OID_GEN_MAXIMUM_FRAME_SIZE = 0x00010106;
const NDIS_OID OID_GEN_CURRENT_PACKET_FILTER = 0x0001010E;
const NDIS_OID OID_GEN_CURRENT_LOOKAHEAD = 0x0001010F;
const NDIS_OID OID_GEN_MEDIA_CONNECT_STATUS = 0x00010114;
const NDIS_OID OID_GEN_SUPPORTED_GUIDS = 0x00010117;
const NDIS_OID OID_GEN_MINIPORT_RESTART_ATTRIBUTES = 0x0001021D;
const NDIS_OID OID_802_3_CURRENT_ADDRESS = 0x01010102;
const NDIS_OID OID_PNP_CAPABILITIES = 0xFD010100;
const NDIS_OID OID_PNP_SET_POWER = 0xFD010101;
const NDIS_OID OID_PNP_QUERY_POWER = 0xFD010102;
const NDIS_OID OID_TCP_TASK_OFFLOAD = 0xFC010201;

// ---- MDLs ----
// The kernel's mapping of a locked MDL into system space (null when it cannot be mapped).
enum KmProcessorMode : int32_t { NdisKernelMode = 0 };
enum KmCacheType : int32_t { NdisMmCached = 1 };
enum KmPagePriority : uint32_t { NdisLowPagePriority = 0, NdisNormalPagePriority = 16 };

#if !defined(_WIN32)
extern "C" void* MmMapLockedPagesSpecifyCache(NdisMdl* mdl, int32_t accessMode, int32_t cacheType,
                                              void* requestedAddress, uint32_t bugCheckOnFailure,
                                              uint32_t priority);
#endif

// The system address of an MDL's buffer: its mapped address when the MDL says it has one,
// else a fresh mapping; null when it cannot be mapped.
inline void* NdisMdlSystemAddress(NdisMdl* mdl) {
    if ((mdl->MdlFlags & (NdisMdlMappedToSystemVa | NdisMdlSourceIsNonpagedPool)) != 0) {
        return mdl->MappedSystemVa;
    }
#if defined(_WIN32)
    return MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE,
                                        NormalPagePriority);
#else
    return MmMapLockedPagesSpecifyCache(mdl, NdisKernelMode, NdisMmCached, nullptr, 0,
                                        NdisNormalPagePriority);
#endif
}

// ---- Memory ----
const uint32_t NDIS_MEMORY_CONTIGUOUS = 0x1; // NdisAllocateMemory: physically contiguous
// Frees memory that NdisAllocateMemory or NdisAllocateMemoryWith... returned, with the
// length (and, for NdisAllocateMemory, the flags) it was allocated with.
extern "C" void NDIS_API NdisFreeMemory(void* VirtualAddress, uint32_t Length,
                                        uint32_t MemoryFlags);
