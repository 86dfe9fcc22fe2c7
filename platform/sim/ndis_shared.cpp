// NDIS memory of both models (see ndis_shared.h).
#include "ndis_shared.h"

#include <cstring>
#include <map>

#include "ndis_common.h"
#include "misuse.h"
#include "sim.h"

namespace {

struct MemoryBlock {
    uint32_t length;
    uint32_t flags;
    uint32_t tag;
    SimFreeLength free;
};

std::mutex g_memoryLock;
std::map<void*, MemoryBlock>& Blocks() {
    static std::map<void*, MemoryBlock> blocks;
    return blocks;
}

} // namespace

void* SimNdisAllocateMemory(uint32_t length, uint32_t tag, uint32_t flags, SimFreeLength free) {
    // Contiguous memory is for a NIC driver's initialisation: the documentation restricts it
    // to PASSIVE_LEVEL, and the stricter reading taken here refuses it on any path that may
    // run raised.
    if ((flags & NDIS_MEMORY_CONTIGUOUS) != 0 && KmGetCurrentIrql() != KmPassiveLevel) {
        SimReportMisuse("contiguous NdisAllocateMemory above PASSIVE_LEVEL");
    }
    void* block = KmAllocatePool(length, tag);
    if (block != nullptr) {
        std::lock_guard<std::mutex> hold(g_memoryLock);
        Blocks()[block] = {length, flags, tag, free};
    }
    return block;
}

int64_t SimNdisMemoryBlocks() {
    std::lock_guard<std::mutex> hold(g_memoryLock);
    return int64_t(Blocks().size());
}

extern "C" void NDIS_API NdisFreeMemory(void* block, uint32_t length, uint32_t flags) {
    MemoryBlock known;
    {
        std::lock_guard<std::mutex> hold(g_memoryLock);
        auto found = Blocks().find(block);
        if (found == Blocks().end()) {
            SimReportMisuse("NdisFreeMemory of a block that is not allocated");
            return;
        }
        known = found->second;
        Blocks().erase(found);
    }
    bool lengthRight =
        length == known.length || (length == 0 && known.free == SimFreeLength::ExactOrZero);
    if (!lengthRight || flags != known.flags) {
        SimReportMisuse("NdisFreeMemory with another length or flags than allocated");
    }
    if ((known.flags & NDIS_MEMORY_CONTIGUOUS) != 0 && KmGetCurrentIrql() != KmPassiveLevel) {
        SimReportMisuse("contiguous memory freed above PASSIVE_LEVEL");
    }
    // Poisoned before it goes: whoever still reads it sees garbage.
    std::memset(block, 0xDD, known.length);
    KmFreePool(block, known.tag);
}
