#include "state_changes.h"

#include <stddef.h>

#include "../platform/km.h"
#include "engine_state.h"
#include "pool.h"
#include "session_clients.h"
#include "session_state.h"
#include "text.h"

namespace {

const Utf16Unit GuestName[] = {'g', 'u', 'e', 's', 't'};
const uint32_t GuestNameUnits = 5;
const uint32_t ChangeHeaderBytes = offsetof(PendingChange, user);

KeyedTable* PendingTable(SmbDialect dialect) {
    return dialect == SmbDialect::Smb1 ? g_Engine.Smb1.PendingChanges
                                       : g_Engine.Smb2.PendingChanges;
}

// A guest logon: the session's user becomes "guest", keeping the other names of the
// set-up's identity, or of the session's earlier record.
void MarkGuest(const SmbMessage* m, uint64_t session, const PendingChange* change, bool held) {
    SessionUser user;
    if (held && change->kind == StateChange::SessionSetup) {
        KmCopyMemory(&user, &change->user, sizeof user);
    } else if (!GetSessionUser(m->atDispatch, session, &user)) {
        KmZeroMemory(&user, sizeof user);
        user.ClientMac = m->clientMac;
        user.ClientAddress = m->clientAddress;
        user.Reserved = m->clientPorts;
    }
    Utf16CopyToField(user.UserName, NameUnits, GuestName, GuestNameUnits);
    StoreSessionUser(m->atDispatch, session, &user);
    NoteSessionClient(m->atDispatch, session, m->clientAddress6);
}

void Apply(const SmbMessage* m, uint64_t session, const PendingChange* change) {
    switch (change->kind) {
    case StateChange::SessionSetup:
        StoreSessionUser(m->atDispatch, session, &change->user);
        // The answer goes to the connection the set-up came on: its client is the session's.
        NoteSessionClient(m->atDispatch, session, m->clientAddress6);
        break;
    case StateChange::SessionBinding:
        BindSessionChannel(m->atDispatch, session, change->clientAddress, change->clientPorts);
        break;
    case StateChange::TreeDisconnect: {
        TableKey tree = TreeKey(session, change->treeId);
        KeyedTableDelete(g_Engine.TreeTable, m->atDispatch, tree);
        KeyedTableDelete(g_Engine.IpcTreeTable, m->atDispatch, tree);
        break;
    }
    case StateChange::Close:
        KeyedTableDelete(g_Engine.OpenFileTable, m->atDispatch, change->file);
        break;
    case StateChange::Logoff:
        ForgetSession(m->atDispatch, session, change->clientAddress, change->clientPorts);
        break;
    case StateChange::None:
        break;
    }
}

} // namespace

void HoldStateChange(const SmbMessage* m, SmbDialect dialect, TableKey request,
                     PendingChange* change) {
    change->clientAddress = m->clientAddress;
    change->clientPorts = m->clientPorts;
    uint32_t bytes =
        change->kind == StateChange::SessionSetup ? sizeof(PendingChange) : ChangeHeaderBytes;
    // A change that cannot be held is one the engine does not apply: its picture stays as it
    // was, as for a request the server refused.
    KeyedTableInsertOwned(PendingTable(dialect), m->atDispatch, request, change, bytes,
                          m->clientAddress);
}

StateChange SettleStateChange(const SmbMessage* m, SmbDialect dialect, TableKey request,
                              uint64_t session, uint32_t status, bool guest) {
    KeyedTable* table = PendingTable(dialect);
    PendingChange change;
    KmZeroMemory(&change, sizeof change);
    uint32_t length = sizeof change;
    bool held = KeyedTableTake(table, m->atDispatch, request, &change, &length) &&
                length >= ChangeHeaderBytes;
    if (held) {
        // Another connection's request under the same key is not this answer's.
        held = change.clientAddress == m->clientAddress && change.clientPorts == m->clientPorts &&
               (change.kind != StateChange::SessionSetup || length == sizeof change);
    }
    if (status != 0) {
        return StateChange::None;
    }
    if (guest) {
        MarkGuest(m, session, &change, held);
        return StateChange::SessionSetup;
    }
    if (!held) {
        return StateChange::None;
    }
    Apply(m, session, &change);
    return change.kind;
}
