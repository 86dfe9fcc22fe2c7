// The engine's pool calls: every engine allocation is non-paged, tagged "IFlg", and counted
// against the engine's pool budget.
#pragma once

#include "../platform/km.h"

const uint32_t EnginePoolTag = KmPoolTag("IFlg");

// Null when the pool is exhausted or the allocation would pass the engine's budget.
void* EngineAllocate(size_t bytes);
void* EngineAllocateZeroed(size_t bytes);
// `bytes` is the size the block was allocated with.
void EngineFree(void* block, size_t bytes);

// Bytes allocated and not yet freed.
uint64_t EnginePoolInUse();
