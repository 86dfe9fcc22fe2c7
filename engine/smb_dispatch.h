// The prologue every SMB handler runs before decoding: derive the client, apply the
// admission gate to requests, look the command up in the handler's table, and lend the
// decoder a work buffer (cleared when first asked for).
#pragma once

#include "smb_message.h"

enum class SmbDialect : uint8_t { Smb1, Smb2 };

// Where a command of an SMB1 AndX chain lies in its message.
struct ChainedCommand {
    uint32_t shift;      // its WordCount byte lies this far after the first command's
    uint8_t* command;    // the byte that names it: the header's, or the AndXCommand before it
    bool final;          // no command follows it
    uint32_t chainTree;  // see SmbMessage
    uint32_t openShift;  // the shift of the chain's last open before it
    uint8_t openCommand; // that open's command; 0 for none
    bool hasFid;         // a command on an open file before it: its file id
    uint16_t fid;
};

// `chained` is null for a message's own command (an SMB2 message, or an SMB1 message
// handed over without its chain).
bool DispatchSmbMessage(SmbDialect dialect, SmbDirection direction, const SmbDecoderIndex* decoders,
                        uint8_t* netbios, uint8_t* header, uint32_t available, FrameView* view,
                        bool atDispatch, const ChainedCommand* chained = nullptr);

// Session establishment is always decoded; every other request passes the admission gate.
bool IsSessionEstablishmentCommand(SmbDialect dialect, uint16_t command);

// Frees the work buffers kept between messages; engine stop calls it once no message is
// being decoded.
void ReleaseKeptWorkBuffers();
