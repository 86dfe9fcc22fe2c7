#include "session_state.h"

#include "engine_state.h"
#include "policy.h"
#include "text.h"

bool GetSessionUser(bool atDispatch, uint64_t session, SessionUser* user) {
    uint32_t length = sizeof(SessionUser);
    bool found =
        KeyedTableLookup(g_Engine.SessionUserTable, atDispatch, SessionKey(session), user, &length);
    return found && length == sizeof(SessionUser);
}

bool GetSessionNames(bool atDispatch, uint64_t session, Utf16Unit* userName,
                     Utf16Unit* workstationName) {
    SessionUser user;
    if (!GetSessionUser(atDispatch, session, &user)) {
        return false;
    }
    KmCopyMemory(userName, user.UserName, sizeof user.UserName);
    KmCopyMemory(workstationName, user.WorkstationName, sizeof user.WorkstationName);
    return true;
}

uint8_t UserRank(const SessionUser* user) {
    const Utf16Unit guest[] = {'g', 'u', 'e', 's', 't', 0};
    bool isGuest = KmEqualMemory(user->UserName, guest, sizeof guest);
    return user->UserName[0] != 0 && !isGuest ? 1 : 0;
}

uint8_t SessionRank(bool atDispatch, uint64_t session) {
    SessionUser user;
    return GetSessionUser(atDispatch, session, &user) ? UserRank(&user) : 0;
}

bool StoreSessionUser(bool atDispatch, uint64_t session, const SessionUser* user) {
    return KeyedTableInsertOwned(g_Engine.SessionUserTable, atDispatch, SessionKey(session), user,
                                 sizeof *user, user->ClientAddress, UserRank(user));
}

bool SessionOnConnection(bool atDispatch, uint64_t session, const SessionUser* user,
                         uint32_t clientAddress, uint32_t clientPorts) {
    if (user->Reserved == 0 ||
        (user->ClientAddress == clientAddress && user->Reserved == clientPorts)) {
        return true;
    }
    uint32_t unused = 0;
    return KeyedTableLookup(g_Engine.SessionUserTable, atDispatch,
                            SessionChannelKey(session, clientAddress, clientPorts), nullptr,
                            &unused);
}

bool BindSessionChannel(bool atDispatch, uint64_t session, uint32_t clientAddress,
                        uint32_t clientPorts) {
    return KeyedTableInsert(g_Engine.SessionUserTable, atDispatch,
                            SessionChannelKey(session, clientAddress, clientPorts), nullptr, 0);
}

void ForgetSession(bool atDispatch, uint64_t session, uint32_t clientAddress,
                   uint32_t clientPorts) {
    // A logoff on a bound channel ends the session on every channel, as the server does.
    KeyedTableDelete(g_Engine.SessionUserTable, atDispatch, SessionKey(session));
    KeyedTableDelete(g_Engine.SessionUserTable, atDispatch,
                     SessionChannelKey(session, clientAddress, clientPorts));
}

bool MatchSessionRule(bool atDispatch, uint64_t session, const Utf16Unit* path, AccessRule* rule) {
    // The user name is the start of whatever is stored, up to its terminator.
    SessionUser stored;
    KmZeroMemory(&stored, sizeof stored);
    uint32_t length = sizeof stored;
    if (!KeyedTableLookup(g_Engine.SessionUserTable, atDispatch, SessionKey(session), &stored,
                          &length)) {
        return false;
    }
    stored.UserName[NameUnits - 1] = 0;
    if (stored.UserName[0] == 0) {
        return false;
    }
    return MatchAccessRule(atDispatch, path, stored.UserName, rule);
}

bool IsKnownSessionTree(bool atDispatch, uint64_t session, uint32_t treeId) {
    uint32_t unused = 0;
    if (!KeyedTableLookup(g_Engine.SessionUserTable, atDispatch, SessionKey(session), nullptr,
                          &unused)) {
        return false;
    }
    return KeyedTableLookup(g_Engine.TreeTable, atDispatch, TreeKey(session, treeId), nullptr,
                            &unused);
}

bool IsIpcTree(bool atDispatch, uint64_t session, uint32_t treeId) {
    uint32_t unused = 0;
    return KeyedTableLookup(g_Engine.IpcTreeTable, atDispatch, TreeKey(session, treeId), nullptr,
                            &unused);
}

bool FullPath(bool atDispatch, uint64_t session, uint32_t treeId, Utf16Unit* path,
              uint32_t capacity) {
    if (capacity == 0) {
        return false;
    }
    // The share name is the record's first field; only it is copied out.
    TreeRecord tree;
    uint32_t length = sizeof tree.ShareName;
    if (!KeyedTableLookup(g_Engine.TreeTable, atDispatch, TreeKey(session, treeId), tree.ShareName,
                          &length)) {
        return false;
    }
    if (length < sizeof tree.ShareName) {
        KmZeroMemory(reinterpret_cast<uint8_t*>(tree.ShareName) + length,
                     sizeof tree.ShareName - length);
    }
    uint32_t shareUnits = Utf16Length(tree.ShareName, SharePathUnits - 1);
    uint32_t nameUnits = Utf16Length(path, capacity);

    // share, a backslash between unless one side has it, then the name: at most
    // FullPathMaxUnits units, and at most capacity - 1 of them kept. The share (under 256
    // units) and the backslash always fit in FullPathMaxUnits.
    bool shareEndsInBackslash = shareUnits != 0 && tree.ShareName[shareUnits - 1] == Backslash;
    bool nameStartsWithBackslash = nameUnits != 0 && path[0] == Backslash;
    uint32_t separator =
        shareUnits != 0 && !shareEndsInBackslash && !nameStartsWithBackslash ? 1 : 0;
    uint32_t prefix = shareUnits + separator;
    uint32_t joined = prefix + nameUnits < FullPathMaxUnits ? prefix + nameUnits : FullPathMaxUnits;
    uint32_t kept = joined < capacity ? joined : capacity - 1;
    // The name moves right in place, then the share and backslash go in front of it.
    if (kept > prefix) {
        KmMoveMemory(path + prefix, path, (kept - prefix) * sizeof(Utf16Unit));
    }
    uint32_t shareKept = kept < shareUnits ? kept : shareUnits;
    KmCopyMemory(path, tree.ShareName, shareKept * sizeof(Utf16Unit));
    if (separator != 0 && kept > shareUnits) {
        path[shareUnits] = Backslash;
    }
    path[kept] = 0;
    Utf16LowerCase(path, kept);
    return true;
}

void OpenFileFullPath(bool atDispatch, uint64_t session, uint32_t treeId, TableKey file,
                      Utf16Unit* path, uint32_t capacity) {
    if (capacity == 0) {
        return;
    }
    // Room for the name and a terminator that the caller's zeroing provides.
    uint32_t length = (capacity - 1) * sizeof(Utf16Unit);
    if (!KeyedTableLookup(g_Engine.OpenFileTable, atDispatch, file, path, &length)) {
        return;
    }
    FullPath(atDispatch, session, treeId, path, capacity);
}

void ShareNameFromUnc(Utf16Unit* path, uint32_t capacity) {
    uint32_t units = Utf16Length(path, capacity);
    const Utf16Unit twoBackslashes[2] = {Backslash, Backslash};
    int32_t server = Utf16Find(path, units, twoBackslashes, 2);
    if (server < 0) {
        return;
    }
    uint32_t from = uint32_t(server) + 2;
    int32_t share = Utf16Find(path + from, units - from, &Backslash, 1);
    if (share < 0) {
        return;
    }
    uint32_t start = from + uint32_t(share) + 1;
    uint32_t i = 0;
    for (; start + i < units && i + 1 < capacity; ++i) {
        path[i] = path[start + i];
    }
    path[i] = 0;
}

namespace {

struct EnumerationState {
    SessionUser* out;
    uint32_t capacity;
    uint32_t written;
};

bool CollectDistinctSession(void* context, TableKey, const uint8_t* value, uint32_t length) {
    auto* state = static_cast<EnumerationState*>(context);
    if (state->written == state->capacity) {
        return false;
    }
    if (length != sizeof(SessionUser)) {
        return true;
    }
    // The connection the engine keeps in the reserved field is not handed out.
    SessionUser& next = state->out[state->written];
    KmCopyMemory(&next, value, sizeof(SessionUser));
    next.Reserved = 0;
    for (uint32_t i = 0; i < state->written; ++i) {
        if (KmEqualMemory(&state->out[i], &next, sizeof(SessionUser))) {
            return true;
        }
    }
    ++state->written;
    return state->written < state->capacity;
}

struct AssignmentState {
    UserAssignment* records;
    uint32_t count;
};

// Runs for each tree with the tree table's lock held (at DISPATCH_LEVEL), so the session
// table is used with the at-DPC-level lock variants. This is the one place where two
// table locks nest, always in this order.
bool AssignUserToTreeSession(void* context, TableKey key, const uint8_t* value, uint32_t length) {
    auto* state = static_cast<AssignmentState*>(context);
    if (length != sizeof(TreeRecord)) {
        return true;
    }
    TreeRecord tree;
    KmCopyMemory(&tree, value, sizeof tree);
    // An IPv6 client's tree carries address 0, which no assignment of an IPv4 address names.
    if (tree.ClientAddress == 0) {
        return true;
    }
    uint64_t session = key.KeyHigh;
    for (uint32_t i = 0; i < state->count; ++i) {
        UserAssignment& record = state->records[i];
        Utf16LowerCase(record.UserName, NameUnits - 1);
        Utf16LowerCase(record.WorkstationName, NameUnits - 1);
        if (record.ClientAddress != tree.ClientAddress) {
            continue;
        }
        Utf16Unit user[NameUnits];
        Utf16Unit workstation[NameUnits];
        Utf16CopyToField(user, NameUnits, record.UserName, NameUnits - 1);
        Utf16CopyToField(workstation, NameUnits, record.WorkstationName, NameUnits - 1);

        SessionUser stored;
        if (GetSessionUser(true, session, &stored)) {
            bool same = KmEqualMemory(stored.UserName, user, sizeof user) &&
                        KmEqualMemory(stored.WorkstationName, workstation, sizeof workstation);
            if (!same) {
                KmCopyMemory(stored.UserName, user, sizeof user);
                KmCopyMemory(stored.WorkstationName, workstation, sizeof workstation);
                StoreSessionUser(true, session, &stored);
            }
        } else {
            SessionUser fresh;
            KmZeroMemory(&fresh, sizeof fresh);
            KmCopyMemory(fresh.UserName, user, sizeof user);
            KmCopyMemory(fresh.WorkstationName, workstation, sizeof workstation);
            fresh.ClientMac = tree.ClientMac;
            fresh.ClientAddress = tree.ClientAddress;
            fresh.Reserved = tree.ClientPorts;
            StoreSessionUser(true, session, &fresh);
        }
        break;
    }
    return true;
}

} // namespace

uint32_t EnumerateSessionUsers(SessionUser* out, uint32_t capacity) {
    if (capacity == 0) {
        return 0;
    }
    EnumerationState state{out, capacity, 0};
    KeyedTableForEach(g_Engine.SessionUserTable, false, CollectDistinctSession, &state);
    return state.written;
}

bool AssignSessionUsers(UserAssignment* records, uint32_t count) {
    AssignmentState state{records, count};
    KeyedTableForEach(g_Engine.TreeTable, false, AssignUserToTreeSession, &state);
    return true;
}
