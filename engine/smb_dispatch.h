// The prologue every SMB handler runs before decoding: derive the client, apply the
// admission gate to requests, look the command up in the handler's table, and lend the
// decoder a work buffer (cleared when first asked for).
#pragma once

#include "client_address.h"
#include "keyed_table.h"
#include "smb_message.h"
#include "smb_protocol.h"
#include "wire.h"

enum class SmbDialect : uint8_t { Smb1, Smb2 };

// The key of what a request leaves for its answer (pending requests, denial marks, watched
// outcomes): the request's ids and its connection (ConnectionOf), so that a request or an
// answer on one TCP connection never meets, replaces or takes another connection's entry.
// SMB2: the MessageId, and the SessionId folded with the connection; SMB1: the Mid and the
// Uid, and the connection.
inline TableKey RequestKeyOf(SmbDialect dialect, const uint8_t* header, uint64_t connection) {
    if (dialect == SmbDialect::Smb2) {
        return TableKey{ReadU64Le(header + Smb2MessageId),
                        ReadU64Le(header + Smb2SessionId) ^ connection};
    }
    return TableKey{uint64_t(ReadU16Le(header + Smb1Uid)) << 16 | ReadU16Le(header + Smb1Mid),
                    connection};
}

// The message's connection word, worked out when a key first needs it (a word that
// happens to be 0 is worked out again each time, and stays right).
inline uint64_t MessageConnection(const SmbMessage* message) {
    if (message->connection == 0) {
        message->connection =
            ConnectionWord(message->clientAddress, message->clientAddress6, message->clientPorts);
    }
    return message->connection;
}

inline TableKey MessageRequestKey(SmbDialect dialect, const SmbMessage* message) {
    return RequestKeyOf(dialect, message->header, MessageConnection(message));
}

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
