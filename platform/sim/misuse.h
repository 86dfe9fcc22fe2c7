// Internal: reporting of kernel-interface misuse inside the simulation.
#pragma once

void SimReportMisuse(const char* what);

// The tag a live pool block was allocated with (models free blocks whose tag the caller
// does not name, as NdisFreeMemory does).
#include <stdint.h>
uint32_t SimPoolBlockTag(const void* block);
