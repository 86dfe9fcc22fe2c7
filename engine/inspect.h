// The engine's two entries: every frame the server receives goes to InspectInbound,
// every frame it sends to InspectOutbound.
//
// `frame` is the host's writable contiguous copy of one whole Ethernet frame. The result
// is true when the engine rewrote bytes of it (same length, checksums already fixed);
// the host then passes on the rewritten copy. No frame is ever dropped.
#pragma once

#include <stdint.h>

bool InspectInbound(uint8_t* frame, uint32_t length, bool atDispatch);
bool InspectOutbound(uint8_t* frame, uint32_t length, bool atDispatch);
