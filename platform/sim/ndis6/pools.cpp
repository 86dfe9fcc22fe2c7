// Memory, MDLs, NET_BUFFER_LIST and NET_BUFFER pools, NET_BUFFERs and cloned OID requests
// as NDIS hands them to a filter: every object from the simulated pool under its own tag.
#include <new>

#include "../ndis_shared.h"
#include "ndis6_internal.h"

namespace {

void CheckAllocationIrql(const char* call) {
    if (KmGetCurrentIrql() > KmDispatchLevel) {
        SimReportMisuse(call);
    }
}

template <typename T> T* NewCounted(uint32_t tag) {
    void* block = KmAllocatePool(sizeof(T), tag);
    return block == nullptr ? nullptr : new (block) T();
}

template <typename T> void DeleteCounted(T* object, uint32_t tag) {
    object->~T();
    KmFreePool(object, tag);
}

SimPool* PoolOf(NDIS_HANDLE handle, bool netBufferPool, const char* call) {
    auto* pool = static_cast<SimPool*>(handle);
    if (pool == nullptr || pool->magic != SimPoolMagic || pool->netBufferPool != netBufferPool) {
        SimReportMisuse(call);
        return nullptr;
    }
    return pool;
}

NDIS_HANDLE AllocatePool(const NDIS_OBJECT_HEADER& header, uint16_t size, uint32_t tag,
                         bool netBufferPool, const char* call) {
    CheckAllocationIrql(call);
    if (header.Type != NDIS_OBJECT_TYPE_DEFAULT || header.Revision != 1 || header.Size < size) {
        SimReportMisuse(call);
        return nullptr;
    }
    SimPool* pool = NewCounted<SimPool>(netBufferPool ? SimNdisNbPoolTag : SimNdisNblPoolTag);
    if (pool == nullptr) {
        return nullptr;
    }
    pool->magic = SimPoolMagic;
    pool->netBufferPool = netBufferPool;
    pool->tag = tag;
    return pool;
}

void FreePool(NDIS_HANDLE handle, bool netBufferPool, const char* call) {
    SimPool* pool = PoolOf(handle, netBufferPool, call);
    if (pool == nullptr) {
        return;
    }
    if (pool->live.load() != 0) {
        SimReportMisuse("model: pool freed with objects still allocated from it");
    }
    pool->magic = SimDeadMagic;
    DeleteCounted(pool, netBufferPool ? SimNdisNbPoolTag : SimNdisNblPoolTag);
}

} // namespace

namespace {
SimLiveObjects g_liveNetBuffers;
} // namespace

bool SimPoolNetBufferLive(const NET_BUFFER* nb) {
    return g_liveNetBuffers.Live(nb);
}

extern "C" {

void* NdisAllocateMemoryWithTagPriority(NDIS_HANDLE, uint32_t Length, uint32_t Tag, uint32_t) {
    CheckAllocationIrql("NdisAllocateMemoryWithTagPriority above DISPATCH_LEVEL");
    return SimNdisAllocateMemory(Length, Tag, 0, SimFreeLength::ExactOrZero);
}

NDIS_HANDLE NdisAllocateNetBufferListPool(NDIS_HANDLE, NET_BUFFER_LIST_POOL_PARAMETERS* p) {
    return AllocatePool(p->Header, sizeof *p, p->PoolTag, false,
                        "NdisAllocateNetBufferListPool: bad parameters or IRQL");
}

void NdisFreeNetBufferListPool(NDIS_HANDLE PoolHandle) {
    FreePool(PoolHandle, false, "NdisFreeNetBufferListPool of something not an NBL pool");
}

NDIS_HANDLE NdisAllocateNetBufferPool(NDIS_HANDLE, NET_BUFFER_POOL_PARAMETERS* p) {
    return AllocatePool(p->Header, sizeof *p, p->PoolTag, true,
                        "NdisAllocateNetBufferPool: bad parameters or IRQL");
}

void NdisFreeNetBufferPool(NDIS_HANDLE PoolHandle) {
    FreePool(PoolHandle, true, "NdisFreeNetBufferPool of something not a NET_BUFFER pool");
}

NdisMdl* NdisAllocateMdl(NDIS_HANDLE, void* VirtualAddress, uint32_t Length) {
    CheckAllocationIrql("NdisAllocateMdl above DISPATCH_LEVEL");
    SimMdlBox* box = NewCounted<SimMdlBox>(SimNdisMdlTag);
    if (box == nullptr) {
        return nullptr;
    }
    box->magic = SimMdlMagic;
    box->mdl.Size = int16_t(sizeof(NdisMdl));
    box->mdl.MdlFlags = NdisMdlSourceIsNonpagedPool;
    box->mdl.MappedSystemVa = VirtualAddress;
    box->mdl.StartVa = VirtualAddress;
    box->mdl.ByteCount = Length;
    return &box->mdl;
}

void NdisFreeMdl(NdisMdl* Mdl) {
    auto* box = reinterpret_cast<SimMdlBox*>(Mdl);
    if (box == nullptr || box->magic != SimMdlMagic) {
        SimReportMisuse("NdisFreeMdl of an MDL not from NdisAllocateMdl");
        return;
    }
    box->magic = SimDeadMagic;
    DeleteCounted(box, SimNdisMdlTag);
}

NET_BUFFER* NdisAllocateNetBuffer(NDIS_HANDLE PoolHandle, NdisMdl* MdlChain, uint32_t DataOffset,
                                  size_t DataLength) {
    CheckAllocationIrql("NdisAllocateNetBuffer above DISPATCH_LEVEL");
    SimPool* pool = PoolOf(PoolHandle, true, "NdisAllocateNetBuffer from something not a pool");
    if (pool == nullptr) {
        return nullptr;
    }
    SimNbBox* box = NewCounted<SimNbBox>(SimNdisNbTag);
    if (box == nullptr) {
        return nullptr;
    }
    static std::atomic<uint64_t> serials{1u << 30};
    box->magic = SimNbMagic;
    box->serial = serials.fetch_add(1);
    box->pool = pool;
    box->nb.MdlChain = MdlChain;
    box->nb.CurrentMdl = MdlChain;
    box->nb.DataOffset = DataOffset;
    box->nb.CurrentMdlOffset = DataOffset;
    box->nb.DataLength = uint32_t(DataLength);
    box->nb.NdisPoolHandle = pool;
    pool->live.fetch_add(1);
    g_liveNetBuffers.Set(&box->nb, true);
    return &box->nb;
}

void NdisFreeNetBuffer(NET_BUFFER* NetBuffer) {
    auto* box = reinterpret_cast<SimNbBox*>(NetBuffer);
    if (box == nullptr || box->magic != SimNbMagic || box->pool == nullptr) {
        SimReportMisuse("NdisFreeNetBuffer of a NET_BUFFER not from a pool of the filter");
        return;
    }
    box->pool->live.fetch_sub(1);
    g_liveNetBuffers.Set(&box->nb, false);
    box->magic = SimDeadMagic;
    DeleteCounted(box, SimNdisNbTag);
}

NDIS_STATUS NdisAllocateCloneOidRequest(NDIS_HANDLE SourceHandle, NDIS_OID_REQUEST* OidRequest,
                                        uint32_t PoolTag, NDIS_OID_REQUEST** CloneRequest) {
    SimModuleOf(SourceHandle, "NdisAllocateCloneOidRequest");
    CheckAllocationIrql("NdisAllocateCloneOidRequest above DISPATCH_LEVEL");
    auto* clone = static_cast<NDIS_OID_REQUEST*>(KmAllocatePool(sizeof(NDIS_OID_REQUEST), PoolTag));
    if (clone == nullptr) {
        *CloneRequest = nullptr;
        return NDIS_STATUS_RESOURCES;
    }
    *clone = *OidRequest;
    KmZeroMemory(clone->SourceReserved, sizeof clone->SourceReserved);
    KmZeroMemory(clone->NdisReserved, sizeof clone->NdisReserved);
    *CloneRequest = clone;
    return NDIS_STATUS_SUCCESS;
}

void NdisFreeCloneOidRequest(NDIS_HANDLE SourceHandle, NDIS_OID_REQUEST* Request) {
    SimModuleOf(SourceHandle, "NdisFreeCloneOidRequest");
    KmFreePool(Request, SimPoolBlockTag(Request));
}

} // extern "C"
