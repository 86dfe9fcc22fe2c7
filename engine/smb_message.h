// One SMB message as the handlers see it, with the bounds every read must respect.
#pragma once

#include <stdint.h>

#include "frame_view.h"

enum class SmbDirection : uint8_t { Request, Response };

struct DenialNote;

struct SmbMessage {
    uint8_t* netbios;
    uint8_t* header;    // the SMB header of this message (one member of a compound chain)
    uint32_t available; // bytes from `header` that belong to this message and are present
    FrameView* view;
    bool atDispatch;
    SmbDirection direction;
    uint64_t clientMac;     // the remote side: always the client
    uint32_t clientAddress; // in IPv4 header byte order
    uint8_t* work;          // zeroed scratch of WorkBufferBytes
    DenialNote* denial;     // a request's blocked event, for its denial mark (zeroed)
};

const uint32_t WorkBufferBytes = 2048;

// True when `count` bytes at `offset` from the header lie inside the message.
inline bool SmbMessageHas(const SmbMessage* message, uint32_t offset, uint32_t count) {
    return offset <= message->available && count <= message->available - offset;
}

typedef bool (*SmbCommandDecoder)(SmbMessage* message);

// A handler's dispatch table: a command and its decoder. Commands without an entry (or
// with a null decoder) pass undecoded.
struct SmbCommandEntry {
    uint16_t command;
    SmbCommandDecoder decode;
};
