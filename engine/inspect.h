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

// A host that cannot pass on the rewritten copy of an inbound frame (no memory to carry
// it) sends the frame's own bytes instead, and the server then carries out the request.
// The denial marks that the inspection left for the request(s) of that frame must go too,
// or the client would be told "access denied" for an operation that was done. `frame` is
// the rewritten copy the inspection returned; its SMB headers still name the requests.
void ForgetInboundDenials(const uint8_t* frame, uint32_t length, bool atDispatch);
