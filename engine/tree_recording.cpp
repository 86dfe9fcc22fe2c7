#include "tree_recording.h"

#include "engine_state.h"
#include "policy.h"
#include "session_state.h"
#include "text.h"

namespace {

const uint32_t MaxPendingPathBytes = 2046;
const Utf16Unit IpcShare[] = {'i', 'p', 'c', '$'};

// Learning adds a rule for a user's first connect to a share; a user who already has a
// rule covering the share's contents learns nothing more, so reconnects do not pile up
// copies of the same rule.
void LearnShareForUser(SmbMessage* m, uint64_t session, const Utf16Unit* share) {
    SessionUser user;
    if (!GetSessionUser(m->atDispatch, session, &user)) {
        return;
    }
    user.UserName[NameUnits - 1] = 0;
    if (user.UserName[0] == 0) {
        return;
    }
    // The work buffer is free again once the tree is recorded.
    auto* probe = reinterpret_cast<Utf16Unit*>(SmbWork(m));
    uint32_t units = Utf16Length(share, SharePathUnits - 1);
    KmCopyMemory(probe, share, units * sizeof(Utf16Unit));
    probe[units] = Backslash;
    probe[units + 1] = 0;
    AccessRule rule;
    if (!MatchAccessRule(m->atDispatch, probe, user.UserName, &rule)) {
        LearnGrant(m->atDispatch, share, user.UserName);
    }
}

} // namespace

namespace {

// Stores the tree whose UNC path (lower-cased by the caller) is in the work buffer: an
// IPC$ tree, or a share tree with the client's address; `learn` turns a user's first
// connect to the share into a grant.
void StoreTree(SmbMessage* m, uint64_t session, uint32_t treeId, bool learn) {
    TableKey tree = TreeKey(session, treeId);
    auto* path = reinterpret_cast<Utf16Unit*>(SmbWork(m));
    const uint32_t capacity = MaxPendingPathBytes / sizeof(Utf16Unit) + 1;
    ShareNameFromUnc(path, capacity);
    Utf16LowerCase(path, Utf16Length(path, capacity));
    uint32_t units = Utf16Length(path, capacity);
    if (Utf16Equal(path, units, IpcShare, 4)) {
        KeyedTableInsertOwned(g_Engine.IpcTreeTable, m->atDispatch, tree, nullptr, 0,
                              m->clientAddress, SessionRank(m->atDispatch, session));
        return;
    }
    TreeRecord record;
    KmZeroMemory(&record, sizeof record);
    Utf16CopyToField(record.ShareName, SharePathUnits, path, units);
    record.ClientMac = m->clientMac;
    record.ClientAddress = m->clientAddress;
    record.ClientPorts = m->clientPorts;
    KeyedTableInsertOwned(g_Engine.TreeTable, m->atDispatch, tree, &record, sizeof record,
                          m->clientAddress, SessionRank(m->atDispatch, session));
    if (learn) {
        LearnShareForUser(m, session, record.ShareName);
    }
}

} // namespace

void RecordTreeConnect(SmbMessage* m, KeyedTable* pending, TableKey request, uint64_t session,
                       uint32_t treeId, uint32_t status) {
    auto* path = reinterpret_cast<Utf16Unit*>(SmbWork(m));
    uint32_t length = MaxPendingPathBytes;
    if (!KeyedTableTake(pending, m->atDispatch, request, path, &length)) {
        return;
    }
    const uint32_t capacity = MaxPendingPathBytes / sizeof(Utf16Unit) + 1;
    // Nothing after the first terminator is read again, so only the text before it is
    // lower-cased.
    Utf16LowerCase(path, Utf16Length(path, capacity));
    if (path[0] == 0 || status != 0) {
        return;
    }
    StoreTree(m, session, treeId, true);
}

void HoldChainTree(SmbMessage* m, uint64_t session, uint32_t treeId, uint32_t pathBytes) {
    auto* path = reinterpret_cast<Utf16Unit*>(SmbWork(m));
    const uint32_t capacity = MaxPendingPathBytes / sizeof(Utf16Unit) + 1;
    if (pathBytes >= MaxPendingPathBytes) {
        return;
    }
    KmZeroMemory(SmbWork(m) + pathBytes, WorkBufferBytes - pathBytes);
    Utf16LowerCase(path, Utf16Length(path, capacity));
    StoreTree(m, session, treeId, false);
}

void ReleaseChainTree(bool atDispatch, uint64_t session, uint32_t treeId) {
    TableKey tree = TreeKey(session, treeId);
    KeyedTableDelete(g_Engine.TreeTable, atDispatch, tree);
    KeyedTableDelete(g_Engine.IpcTreeTable, atDispatch, tree);
}
