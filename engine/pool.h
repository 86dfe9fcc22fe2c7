// The engine's pool calls: every engine allocation is non-paged and tagged "IFlg".
#pragma once

#include "../platform/km.h"

const uint32_t EnginePoolTag = KmPoolTag("IFlg");

inline void* EngineAllocate(size_t bytes) {
    return KmAllocatePool(bytes, EnginePoolTag);
}

inline void* EngineAllocateZeroed(size_t bytes) {
    void* block = KmAllocatePool(bytes, EnginePoolTag);
    if (block != nullptr) {
        KmZeroMemory(block, bytes);
    }
    return block;
}

inline void EngineFree(void* block) {
    KmFreePool(block, EnginePoolTag);
}
