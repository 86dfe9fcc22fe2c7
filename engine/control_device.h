// The engine's side of the control device: one request in, its status and byte count out.
// Both driver hosts call it with the request's system buffer, which carries the input in
// and the output back (METHOD_BUFFERED).
#pragma once

#include <stdint.h>

#include "control_codes.h"

void EngineDeviceControl(void* systemBuffer, uint32_t inputLength, uint32_t outputLength,
                         uint32_t controlCode, ControlStatusBlock* statusBlock);
