#include "kept_state.h"

#include "engine_state.h"
#include "records.h"
#include "session_state.h"

namespace {

// Each kept table, and the lengths its values may have: a session's user and a tree's
// record are whole records; an IPC tree holds nothing; an open file holds its name
// relative to the share (at most what a pending create keeps); an IPv6 session's client
// is its 16-byte address.
struct KeptTableShape {
    KeyedTable* EngineState::*table;
    uint32_t minLength;
    uint32_t maxLength;
};

const uint32_t MaxOpenNameBytes = 2046;

const KeptTableShape KeptTables[KeptTableCount] = {
    {&EngineState::SessionUserTable, sizeof(SessionUser), sizeof(SessionUser)},
    {&EngineState::TreeTable, sizeof(TreeRecord), sizeof(TreeRecord)},
    {&EngineState::IpcTreeTable, 0, 0},
    {&EngineState::OpenFileTable, 0, MaxOpenNameBytes},
    {&EngineState::SessionClients6, ClientIpv6Bytes, ClientIpv6Bytes},
};

struct VisitContext {
    KeptEntryVisitor visit;
    void* context;
    KeptTable table;
    bool stopped;
};

bool VisitOne(void* context, TableKey key, const uint8_t* value, uint32_t length) {
    auto* c = static_cast<VisitContext*>(context);
    c->stopped = !c->visit(c->context, c->table, key, value, length);
    return !c->stopped;
}

} // namespace

void VisitKeptState(bool atDispatch, KeptEntryVisitor visit, void* context) {
    VisitContext c{visit, context, KeptTable::Sessions, false};
    for (uint32_t i = 0; i < KeptTableCount && !c.stopped; ++i) {
        c.table = KeptTable(i);
        KeyedTableForEach(g_Engine.*KeptTables[i].table, atDispatch, VisitOne, &c);
    }
}

uint32_t KeptStateChanges() {
    uint32_t sum = 0;
    for (const KeptTableShape& shape : KeptTables) {
        sum += KeyedTableChanges(g_Engine.*shape.table);
    }
    return sum;
}

bool RestoreKeptEntry(bool atDispatch, KeptTable table, TableKey key, const void* value,
                      uint32_t length) {
    uint32_t at = uint32_t(table);
    if (at >= KeptTableCount) {
        return false;
    }
    const KeptTableShape& shape = KeptTables[at];
    // A session's further channel is kept beside its record with no value.
    bool channel = table == KeptTable::Sessions && length == 0 && key.KeyHigh != 0;
    if (!channel && (length < shape.minLength || length > shape.maxLength)) {
        return false;
    }
    // Sessions come back before their trees, so both get the rank they had.
    uint32_t owner = 0;
    uint8_t rank = 0;
    if (table == KeptTable::Sessions && !channel) {
        const auto* user = static_cast<const SessionUser*>(value);
        owner = user->ClientAddress;
        rank = UserRank(user);
    } else if (table == KeptTable::Trees) {
        owner = static_cast<const TreeRecord*>(value)->ClientAddress;
        rank = SessionRank(atDispatch, key.KeyHigh);
    }
    return KeyedTableInsertOwned(g_Engine.*shape.table, atDispatch, key, value, length, owner,
                                 rank);
}
