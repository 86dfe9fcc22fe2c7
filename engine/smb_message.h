// One SMB message as the handlers see it, with the bounds every read must respect.
#pragma once

#include <stdint.h>

#include "../platform/km.h"
#include "frame_view.h"

enum class SmbDirection : uint8_t { Request, Response };

struct DenialNote;

struct SmbMessage {
    uint8_t* netbios;
    uint8_t* header; // the SMB header of this message (one member of a compound chain)
    // Where this command's fields are counted from: the header, except for a later command
    // of an SMB1 AndX chain, where it is the header moved forward so that the command's
    // WordCount byte stands where the first command's does. Offsets read from the wire
    // count from `header`.
    uint8_t* base;
    uint32_t available; // bytes from `base` that belong to this message and are present
    uint8_t* command;   // the byte that names this command
    bool finalCommand;  // the last command of an SMB1 message: the header's status is its own
    // For a command chained after a TREE_CONNECT_ANDX: the tree id under which the engine
    // holds that connect's share while the chain is decided; 0 otherwise.
    uint32_t chainTree;
    // For a command chained after an NT_CREATE_ANDX or OPEN_ANDX request: that command's
    // base and code (the server runs the later commands on the file it opens, whatever
    // file id they carry); null otherwise.
    uint8_t* chainOpen;
    uint8_t chainOpenCommand;
    // For a command chained after one on an open file: that file's id (the server runs the
    // later commands on it, whatever file id they carry).
    bool hasChainFid;
    uint16_t chainFid;
    FrameView* view;
    bool atDispatch;
    SmbDirection direction;
    uint64_t clientMac;            // the remote side: always the client
    uint32_t clientAddress;        // in IPv4 header byte order; 0 for an IPv6 client
    const uint8_t* clientAddress6; // an IPv6 client's 16 address bytes; null for IPv4
    // The TCP connection beside the client's address: client port << 16 | server port.
    uint32_t clientPorts;
    // The client's TCP connection as request keys name it (ConnectionOf); 0 until a key
    // first needs it (MessageConnection), since most messages never build one.
    mutable uint64_t connection;
    uint8_t* workArea;  // scratch of WorkBufferBytes: read it through SmbWork
    bool workZeroed;    // the scratch was cleared for this message
    DenialNote* denial; // a request's blocked event, for its denial mark (zeroed)
};

const uint32_t WorkBufferBytes = 2048;

// The message's scratch, zeroed the first time a decoder asks for it: most messages
// (reads, writes, closes, their answers) never need it and so never pay for clearing it.
inline uint8_t* SmbWork(SmbMessage* message) {
    if (!message->workZeroed) {
        KmZeroMemory(message->workArea, WorkBufferBytes);
        message->workZeroed = true;
    }
    return message->workArea;
}

// True when `count` bytes at `offset` from the command's base lie inside the message.
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

// A handler's decoders found by command in one step: `slot[command]` is 0 for a command
// without a decoder, otherwise one more than the decoder's place in `entries`. Built from
// the handler's table while compiling (IndexDecoders), so it costs no start-up work.
const uint32_t SmbIndexedCommands = 256; // SMB1 commands are one byte; SMB2 ones are fewer
const uint32_t SmbMaxDecoders = 32;

struct SmbDecoderIndex {
    uint8_t slot[SmbIndexedCommands];
    SmbCommandDecoder entries[SmbMaxDecoders];
};

template <uint32_t N> constexpr SmbDecoderIndex IndexDecoders(const SmbCommandEntry (&table)[N]) {
    static_assert(N < SmbMaxDecoders, "too many decoders for one handler");
    SmbDecoderIndex index{};
    for (uint32_t i = 0; i < N; ++i) {
        index.entries[i] = table[i].decode;
        if (table[i].command < SmbIndexedCommands) {
            index.slot[table[i].command] = uint8_t(i + 1);
        }
    }
    return index;
}

inline SmbCommandDecoder FindDecoder(const SmbDecoderIndex* index, uint16_t command) {
    if (command >= SmbIndexedCommands || index->slot[command] == 0) {
        return nullptr;
    }
    return index->entries[index->slot[command] - 1];
}
