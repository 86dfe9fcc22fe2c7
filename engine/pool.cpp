#include "pool.h"

#include "engine_limits.h"

namespace {
uint64_t g_inUse; // updated with atomics
} // namespace

void* EngineAllocate(size_t bytes) {
    uint64_t after = __atomic_add_fetch(&g_inUse, bytes, __ATOMIC_RELAXED);
    if (after > EnginePoolBudget) {
        __atomic_sub_fetch(&g_inUse, bytes, __ATOMIC_RELAXED);
        return nullptr;
    }
    void* block = KmAllocatePool(bytes, EnginePoolTag);
    if (block == nullptr) {
        __atomic_sub_fetch(&g_inUse, bytes, __ATOMIC_RELAXED);
    }
    return block;
}

void* EngineAllocateZeroed(size_t bytes) {
    void* block = EngineAllocate(bytes);
    if (block != nullptr) {
        KmZeroMemory(block, bytes);
    }
    return block;
}

void EngineFree(void* block, size_t bytes) {
    KmFreePool(block, EnginePoolTag);
    __atomic_sub_fetch(&g_inUse, bytes, __ATOMIC_RELAXED);
}

uint64_t EnginePoolInUse() {
    return __atomic_load_n(&g_inUse, __ATOMIC_RELAXED);
}
