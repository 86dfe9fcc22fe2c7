// The prologue every SMB handler runs before decoding: derive the client, apply the
// admission gate to requests, look the command up in the handler's table, and lend the
// decoder a zeroed work buffer.
#pragma once

#include "smb_message.h"

enum class SmbDialect : uint8_t { Smb1, Smb2 };

bool DispatchSmbMessage(SmbDialect dialect, SmbDirection direction, const SmbCommandEntry* table,
                        uint32_t tableEntries, uint8_t* netbios, uint8_t* header,
                        uint32_t available, FrameView* view, bool atDispatch);

// Session establishment is always decoded; every other request passes the admission gate.
bool IsSessionEstablishmentCommand(SmbDialect dialect, uint16_t command);

// Frees the work buffers kept between messages; engine stop calls it once no message is
// being decoded.
void ReleaseKeptWorkBuffers();
