// Framing of each TCP flow's byte stream into SMB messages.
//
// A frame is not a message: a segment may carry several messages, begin in the middle of
// one (after the tail of a large WRITE), or hold only part of one. The engine keeps a small
// record per flow and direction while a message spans segments: where the stream stands,
// and the bytes of the message in progress that its decisions read. A message is decided
// in the frame that completes what its decision reads, and a spoil lands in bytes of that
// frame. Flows whose segments hold whole messages keep no record at all.
#pragma once

#include <stdint.h>

#include "frame_view.h"
#include "smb2_chain.h"
#include "smb_message.h"

// How one direction decodes its messages.
struct MessageDecoding {
    SmbDirection direction;
    SmbHandler smb2;
    SmbHandler smb1;
};

// Finds and decides every SMB message, or part of one, in the TCP payload of `view`.
// True when bytes of the frame were rewritten (the caller fixes the checksums).
bool FrameSmbSegment(const MessageDecoding& decoding, FrameView* view, bool atDispatch,
                     uint64_t now);

// Stream bytes of a message that the framing holds at most while it spans segments: the
// header, fixed part and names of a request, with room to spare.
const uint32_t FlowHeldBytes = 1880;
// Spoils kept per flow so that a retransmitted segment leaves spoiled like the first copy.
const uint32_t FlowPatchSlots = 8;
const uint32_t FlowPatchBytes = 11;
