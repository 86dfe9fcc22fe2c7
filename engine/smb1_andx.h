// The walk over an SMB1 AndX chain: several commands in one message, each AndX command
// naming the next one and where its WordCount byte lies (AndXOffset, from the header).
#pragma once

#include <stdint.h>

#include "frame_view.h"
#include "smb_dispatch.h"
#include "smb_message.h"

// Most commands of one message that are decided; a longer request chain is cut after
// them (the last one's AndXCommand becomes 0xFF), so the server runs none undecided.
const uint32_t MaxAndXCommands = 8;

// Hands each command of the message's chain, in order, to DispatchSmbMessage with
// `decoders`. The walk goes forward only and stays inside the `available` bytes, for at most
// MaxAndXCommands commands; it ends at a
// command that is not an AndX command, whose WordCount is below 2 or whose AndX fields do
// not fit, or whose successor is 0xFF or not after it inside the message. Commands chained
// after a TREE_CONNECT_ANDX request are decided in the tree it connects, and commands on an
// open file chained after an NT_CREATE_ANDX or OPEN_ANDX request on the file it opens. True when
// any command was rewritten.
bool DispatchAndXChain(SmbDirection direction, const SmbDecoderIndex* decoders, uint8_t* netbios,
                       uint8_t* header, uint32_t available, FrameView* view, bool atDispatch);
