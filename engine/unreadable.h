// SMB traffic the engine cannot read or cannot rewrite: encrypted (SMB2 TRANSFORM) and
// compressed (SMB2 COMPRESSION_TRANSFORM) messages, and sessions that sign their messages.
//
// Each such session is reported once per kind: an event naming the session's user (known
// from its session setup, which is never encrypted), its client, and, in the event's path
// field, what the engine cannot do there. Messages passed unread are counted. A request
// the engine cannot read is refused only when the operator asked for it (the refusal
// setting) and the session's user has a rule that denies something.
#pragma once

#include <stdint.h>

#include "frame_view.h"
#include "records.h"
#include "smb_dispatch.h"
#include "smb_message.h"

const uint32_t Smb2TransformProtocolId = 0x424D53FD;   // 0xFD 'S' 'M' 'B': encrypted
const uint32_t Smb2CompressionProtocolId = 0x424D53FC; // 0xFC 'S' 'M' 'B': compressed

// SMB2 TRANSFORM header: signature (the AES authentication tag), nonce, original size,
// reserved, flags, session id.
const uint32_t TransformSignature = 4;
const uint32_t TransformSessionId = 44;
const uint32_t TransformHeaderLength = 52;
// SMB2 COMPRESSION_TRANSFORM header (unchained): original size, algorithm, flags, and
// the offset of the compressed data; the bytes before that offset follow the header
// uncompressed, usually the message's SMB2 header.
const uint32_t CompressionFlags = 10;
const uint32_t CompressionOffset = 12;
const uint32_t CompressionHeaderLength = 16;
const uint16_t CompressionFlagChained = 0x0001;

inline bool IsTransformProtocol(uint32_t protocol) {
    return protocol == Smb2TransformProtocolId || protocol == Smb2CompressionProtocolId;
}

// A whole message (or its first `available` bytes) whose protocol identifier is a
// transform's: counted, its session reported once, and a request refused where the
// setting and the user's rules say so. True when bytes of it were changed.
bool HandleTransformMessage(SmbDirection direction, uint8_t* header, uint32_t available,
                            const FrameView* view, bool atDispatch);

// Whether an SMB1 or SMB2 header (whole) says its message is signed.
bool IsSignedMessage(SmbDialect dialect, const uint8_t* header);

// A signed request of a session past its setup: the session is reported once.
void NoteSignedRequest(SmbDialect dialect, const SmbMessage* message);

// The refusal setting (off after start and reset), and the counters.
void SetRefuseUnreadable(bool on);
void ReadUnreadableStats(UnreadableStats* out);
