// Pieces the SMB1 and SMB2 request decoders share.
#pragma once

#include <stdint.h>

#include "file_policy.h"
#include "keyed_table.h"
#include "records.h"
#include "smb_dispatch.h"
#include "smb_message.h"

inline FileOperation OperationFor(const SmbMessage* message, uint64_t session, uint32_t treeId) {
    return FileOperation{message->atDispatch,
                         session,
                         treeId,
                         message->clientMac,
                         message->clientAddress,
                         message->clientPorts,
                         message->denial,
                         message->clientAddress6};
}

// The work buffer seen as a path buffer of PathBufferUnits units.
inline Utf16Unit* WorkPath(SmbMessage* message) {
    return reinterpret_cast<Utf16Unit*>(SmbWork(message));
}

// Holds the user named by a session set-up's security blob, if it names one, for the
// answer: the session takes it only when the server accepts the set-up. A blob that names
// nobody changes nothing. `binding`: the set-up binds the session on this connection (it
// keeps its user).
void LearnSessionUser(const SmbMessage* message, SmbDialect dialect, TableKey request,
                      const uint8_t* blob, uint32_t blobLength, bool binding);

// Holds a tree disconnect, a close (of `file`) or a logoff for the answer.
void HoldTreeDisconnect(const SmbMessage* message, SmbDialect dialect, TableKey request,
                        uint32_t treeId);
void HoldClose(const SmbMessage* message, SmbDialect dialect, TableKey request, TableKey file);
void HoldLogoff(const SmbMessage* message, SmbDialect dialect, TableKey request);

// Copies `bytes` wire bytes (at most `maxBytes`) into a zeroed buffer; the wire bytes may
// lie at any alignment.
void CopyWireText(Utf16Unit* to, const uint8_t* from, uint32_t bytes, uint32_t maxBytes);

// Control codes that change a file's content: server-side copies into it, zeroing a range,
// duplicating extents into it. Decided as writes to the file they are sent on.
bool IsContentChangingFsctl(uint32_t controlCode);
