// Questions about SMB sessions, trees and open files, answered from the engine's tables,
// and the two session operations the service runs: listing and naming sessions.
//
// Session key: SMB1 UID or SMB2 SessionId. Tree key: (tree id, session key). File key:
// SMB1 (FID, UID), SMB2 the 16 FileId bytes.
#pragma once

#include <stdint.h>

#include "keyed_table.h"
#include "records.h"

// Full paths never exceed this many units (terminator not counted); the SMB handlers'
// buffers are larger, but rules, events and exempt lists only see this much.
const uint32_t FullPathMaxUnits = 256;

inline TableKey SessionKey(uint64_t session) {
    return TableKey{session, 0};
}
inline TableKey TreeKey(uint64_t session, uint32_t treeId) {
    return TableKey{treeId, session};
}

bool GetSessionUser(bool atDispatch, uint64_t session, SessionUser* user);
bool GetSessionNames(bool atDispatch, uint64_t session, Utf16Unit* userName,
                     Utf16Unit* workstationName);
// How much a session's state weighs when a full table makes room: 1 for a session with a
// user the server accepted (not a guest), 0 for others. Its trees and open files share it.
uint8_t SessionRank(bool atDispatch, uint64_t session);
uint8_t UserRank(const SessionUser* user);

// Stores (or replaces) a session's user.
bool StoreSessionUser(bool atDispatch, uint64_t session, const SessionUser* user);

// The key under which a session bound on a further connection (SMB 3 multichannel) notes
// that connection: beside the session's own record, with no value.
inline TableKey SessionChannelKey(uint64_t session, uint32_t clientAddress, uint32_t clientPorts) {
    return TableKey{session, uint64_t(clientAddress) << 32 | clientPorts};
}

// True when `user`, the session's stored record, may be used by a message on the
// connection (`clientAddress`, `clientPorts`): the connection the session was set up on, one
// it was bound on, or any connection for a record the service assigned.
bool SessionOnConnection(bool atDispatch, uint64_t session, const SessionUser* user,
                         uint32_t clientAddress, uint32_t clientPorts);

// Notes that the server bound `session` on a further connection.
bool BindSessionChannel(bool atDispatch, uint64_t session, uint32_t clientAddress,
                        uint32_t clientPorts);

// A session the server ended: its record and the channels noted for it go.
void ForgetSession(bool atDispatch, uint64_t session, uint32_t clientAddress, uint32_t clientPorts);

// The rule for the session's user and `path`; false for a session without a user name.
bool MatchSessionRule(bool atDispatch, uint64_t session, const Utf16Unit* path, AccessRule* rule);

bool IsKnownSessionTree(bool atDispatch, uint64_t session, uint32_t treeId);
bool IsIpcTree(bool atDispatch, uint64_t session, uint32_t treeId);

// Turns the share-relative name in `path` (terminated, `capacity` units of room) into the
// lower-case full path share\name. False, with the buffer untouched, for an unknown tree.
bool FullPath(bool atDispatch, uint64_t session, uint32_t treeId, Utf16Unit* path,
              uint32_t capacity);

// Full path of an open file into `path` (zeroed by the caller); left as it was when the
// file is unknown.
void OpenFileFullPath(bool atDispatch, uint64_t session, uint32_t treeId, TableKey file,
                      Utf16Unit* path, uint32_t capacity);

// \\server\share\rest becomes share\rest, in place. Anything else stays as it is.
void ShareNameFromUnc(Utf16Unit* path, uint32_t capacity);

// Writes up to `capacity` distinct 400-byte session records in key order; returns how many.
uint32_t EnumerateSessionUsers(SessionUser* out, uint32_t capacity);

// Names the sessions of every tree whose client address matches a record (the first
// matching record wins). The records' user and workstation names are lower-cased in place.
bool AssignSessionUsers(UserAssignment* records, uint32_t count);
