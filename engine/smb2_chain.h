// The walk over an SMB2 compound chain: several requests or responses in one NetBIOS
// message, each header saying where the next one starts (NextCommand).
#pragma once

#include <stdint.h>

#include "frame_view.h"
#include "smb_message.h"

typedef bool (*SmbHandler)(uint8_t* netbios, uint8_t* header, uint32_t available, FrameView* view,
                           bool atDispatch);

// The bytes of a member's body that must be present before it is handed on: the fixed
// part of a request, the StructureSize of a response (any response may be an error).
uint32_t Smb2FixedPart(SmbDirection direction, uint16_t command);

// Hands each member of the chain to `handle`, with the bytes that belong to that member.
// `length` is the NetBIOS message length, already known to lie inside the segment. The
// walk ends at a member whose header and fixed body do not fit in the message, and after
// a member whose NextCommand is 0, not 8-byte aligned, shorter than a header or not
// inside the message. True when any member was rewritten.
bool WalkSmb2Chain(uint8_t* netbios, uint32_t length, FrameView* view, bool atDispatch,
                   SmbDirection direction, SmbHandler handle);
