// MDLs in the simulation, for the NDIS models and their tests.
#pragma once

#include "../ndis_common.h"

// Makes `mdl` describe `bytes` bytes at `buffer`. A mapped MDL carries its system address
// (as non-paged pool does); an unmapped one is mapped on demand, and an unmapped MDL
// without a buffer cannot be mapped at all.
void SimDescribeBuffer(NdisMdl* mdl, void* buffer, uint32_t bytes, bool mapped);
