#include "engine_state.h"

#include "client_address.h"
#include "engine_limits.h"
#include "pool.h"
#include "smb_dispatch.h"

EngineState g_Engine;

namespace {

// Which request-keyed tables each dialect has, in the order they are created.
struct DialectTableSlot {
    KeyedTable* DialectTables::*table;
    bool smb1;
    bool smb2;
};

const DialectTableSlot DialectTableCatalogue[] = {
    {&DialectTables::PendingTreeConnects, true, true},
    {&DialectTables::PendingCreates, true, true},
    {&DialectTables::CreateOutcomeMap, true, true},
    {&DialectTables::PendingChanges, true, true},
    {&DialectTables::WriteMarks, true, true},
    {&DialectTables::CreateClientMarks, true, true},
    {&DialectTables::CreateAccessMarks, true, true},
    {&DialectTables::CreateNewMarks, true, true},
    {&DialectTables::CreateDeleteMarks, true, true},
    {&DialectTables::DeleteMarks, true, true},
    {&DialectTables::RenameMarks, true, true},
    {&DialectTables::QueryPathMarks, true, false},
    {&DialectTables::QueryFileMarks, true, false},
    {&DialectTables::QueryInfoMarks, false, true},
};

// Every table makes room by evicting (keyed_table.h): long-lived state its oldest entries of
// the lowest rank, so that sessions with a user, and their trees and files, never make room
// for others; request-keyed tables the inserting client's own entries first, so that one
// client's flood of requests pushes out its own and a denial always finds room for its mark.
// Stale request entries are purged as traffic passes.
struct SharedTableSlot {
    KeyedTable* EngineState::*table;
    uint32_t limit;
    TableFullPolicy whenFull;
    uint64_t maxAge;
};

const SharedTableSlot SharedTables[] = {
    {&EngineState::SessionUserTable, SessionTableLimit, TableFullPolicy::EvictOldest, 0},
    {&EngineState::TreeTable, TreeTableLimit, TableFullPolicy::EvictOldest, 0},
    {&EngineState::IpcTreeTable, IpcTreeTableLimit, TableFullPolicy::EvictOldest, 0},
    {&EngineState::OpenFileTable, OpenFileTableLimit, TableFullPolicy::EvictOldest, 0},
    {&EngineState::UnknownSessionMarks, RequestTableLimit, TableFullPolicy::EvictOldest,
     EntryMaxAge},
    // A flow that loses its record finds the next message header again.
    {&EngineState::SmbFlowTable, SmbFlowTableLimit, TableFullPolicy::EvictOldest, EntryMaxAge},
    {&EngineState::SessionClients6, SessionTableLimit, TableFullPolicy::EvictOldest, 0},
    {&EngineState::UnreadableSessions, UnreadableSessionTableLimit, TableFullPolicy::EvictOldest,
     0},
};

bool CreateDialectTables(DialectTables* tables, bool smb1) {
    for (const DialectTableSlot& slot : DialectTableCatalogue) {
        if (smb1 ? !slot.smb1 : !slot.smb2) {
            continue;
        }
        tables->*slot.table =
            CreateLimitedKeyedTable(RequestTableLimit, TableFullPolicy::EvictOldest, EntryMaxAge);
        if (tables->*slot.table == nullptr) {
            return false;
        }
    }
    return true;
}

void DestroyDialectTables(DialectTables* tables) {
    for (const DialectTableSlot& slot : DialectTableCatalogue) {
        DestroyKeyedTable(tables->*slot.table, false);
        tables->*slot.table = nullptr;
    }
}

template <typename T> bool AllocateBlock(T** block, size_t bytes) {
    *block = static_cast<T*>(EngineAllocateZeroed(bytes));
    return *block != nullptr;
}

template <typename T> void FreeBlock(T** block, size_t bytes) {
    if (*block != nullptr) {
        EngineFree(*block, bytes);
        *block = nullptr;
    }
}

// Clears a table unless it is plainly untouched: no entry, no spare node and its cursor at
// the start, as created. Most tables are untouched after a short run. Read without the
// table's lock: only for a reset, which runs while nothing else is in the engine.
void ClearIfTouched(KeyedTable* table) {
    if (table == nullptr) {
        return;
    }
    bool touched = table->root != nullptr || table->count != 0 || table->cursor.KeyLow != 0 ||
                   table->cursor.KeyHigh != 0;
    for (const TableNode* spare : table->spares) {
        touched = touched || spare != nullptr;
    }
    if (touched) {
        ClearKeyedTable(table, false);
    }
}

bool StartAll() {
    EngineState& e = g_Engine;
    for (const SharedTableSlot& slot : SharedTables) {
        e.*slot.table = CreateLimitedKeyedTable(slot.limit, slot.whenFull, slot.maxAge);
        if (e.*slot.table == nullptr) {
            return false;
        }
    }
    EngineLockInit(&e.RuleListLock);
    EngineLockInit(&e.TemplateListLock);
    EngineLockInit(&e.AdmissionGuardLock);
    e.ClientAdmissionTable =
        CreateLimitedKeyedTable(AdmissionTableLimit, TableFullPolicy::Refuse, 0);
    if (e.ClientAdmissionTable == nullptr) {
        return false;
    }
    EngineLockInit(&e.FileEventRingLock);
    e.FileEventCount = 0;
    if (!AllocateBlock(&e.FileEventRing, sizeof(FileEvent) * FileEventRingSlots)) {
        return false;
    }
    EngineLockInit(&e.SettingsLock);
    if (!AllocateBlock(&e.Settings, sizeof(EngineSettings))) {
        return false;
    }
    e.AdmissionMayBeOn = 1;
    e.ExemptListsMayExist = 1;
    EngineLockInit(&e.KnownClientListsLock);
    if (!AllocateBlock(&e.KnownClients, sizeof(KnownClientLists))) {
        return false;
    }
    EngineLockInit(&e.LearnedGrantRingLock);
    e.LearnedGrantCount = 0;
    if (!AllocateBlock(&e.LearnedGrantRing, sizeof(LearnedGrant) * LearnedGrantRingSlots)) {
        return false;
    }
    if (!AllocateBlock(&e.TrafficStats, sizeof(SmbTrafficStats))) {
        return false;
    }
    e.InboundClock = TrafficClock{0, 0};
    e.OutboundClock = TrafficClock{0, 0};
    return CreateDialectTables(&e.Smb2, false) && CreateDialectTables(&e.Smb1, true);
}

} // namespace

bool EngineStart() {
    g_Engine = EngineState{};
    SetFlowFoldSeed(KmQuerySystemTime());
    if (!StartAll()) {
        EngineStop();
        return false;
    }
    return true;
}

void EngineStop() {
    EngineState& e = g_Engine;
    SetInspectionEnabled(false);
    ReleaseKeptWorkBuffers();
    DestroyDialectTables(&e.Smb1);
    DestroyDialectTables(&e.Smb2);
    FreeBlock(&e.TrafficStats, sizeof(SmbTrafficStats));
    FreeBlock(&e.LearnedGrantRing, sizeof(LearnedGrant) * LearnedGrantRingSlots);
    e.LearnedGrantCount = 0;
    e.LearnedGrantSlotsUsed = 0;
    FreeBlock(&e.KnownClients, sizeof(KnownClientLists));
    FreeBlock(&e.Settings, sizeof(EngineSettings));
    FreeBlock(&e.FileEventRing, sizeof(FileEvent) * FileEventRingSlots);
    e.FileEventCount = 0;
    e.FileEventSlotsUsed = 0;
    DestroyKeyedTable(e.ClientAdmissionTable, false);
    e.ClientAdmissionTable = nullptr;
    FreeBlock(&e.TemplateList, e.TemplateCount * sizeof(ShareTemplate));
    e.TemplateCount = 0;
    FreeBlock(&e.RuleList, e.RuleCount * sizeof(AccessRule));
    FreeBlock(&e.RuleOrder, e.RuleCount * sizeof(uint32_t));
    e.RuleCount = 0;
    for (const SharedTableSlot& slot : SharedTables) {
        DestroyKeyedTable(e.*slot.table, false);
        e.*slot.table = nullptr;
    }
}

namespace {

// Calls `visit` for every table of a started engine.
void ForEachTable(void (*visit)(KeyedTable*)) {
    EngineState& e = g_Engine;
    for (const SharedTableSlot& slot : SharedTables) {
        visit(e.*slot.table);
    }
    visit(e.ClientAdmissionTable);
    for (const DialectTableSlot& slot : DialectTableCatalogue) {
        visit(e.Smb1.*slot.table);
        visit(e.Smb2.*slot.table);
    }
}

} // namespace

void EngineDropSpares() {
    ReleaseKeptWorkBuffers();
    ForEachTable(KeyedTableDropSpares);
}

void EngineReset() {
    EngineState& e = g_Engine;
    SetInspectionEnabled(false);
    ReleaseKeptWorkBuffers();
    ForEachTable(ClearIfTouched);
    FreeBlock(&e.RuleList, e.RuleCount * sizeof(AccessRule));
    FreeBlock(&e.RuleOrder, e.RuleCount * sizeof(uint32_t));
    e.RuleCount = 0;
    FreeBlock(&e.TemplateList, e.TemplateCount * sizeof(ShareTemplate));
    e.TemplateCount = 0;
    KmZeroMemory(e.Settings, sizeof(EngineSettings));
    e.AdmissionMayBeOn = 1;
    e.ExemptListsMayExist = 1;
    KmZeroMemory(e.KnownClients, sizeof(KnownClientLists));
    // Only the slots that held a record since the start or the last reset.
    KmZeroMemory(e.FileEventRing, sizeof(FileEvent) * uint32_t(e.FileEventSlotsUsed));
    KmZeroMemory(e.FileEventClients6, sizeof e.FileEventClients6);
    e.FileEventCount = 0;
    e.FileEventSlotsUsed = 0;
    KmZeroMemory(e.LearnedGrantRing, sizeof(LearnedGrant) * uint32_t(e.LearnedGrantSlotsUsed));
    e.LearnedGrantCount = 0;
    e.LearnedGrantSlotsUsed = 0;
    KmZeroMemory(e.TrafficStats, sizeof(SmbTrafficStats));
    e.InboundClock = TrafficClock{0, 0};
    e.OutboundClock = TrafficClock{0, 0};
    e.PurgeTurn = 0;
    e.UnreadableCounters = UnreadableStats{};
    e.RefuseUnreadable = 0;
}

void PurgeStaleRequests(bool atDispatch, uint64_t now) {
    // One table per step, in turn: the request-keyed tables of both dialects, the shared
    // unknown-session marks and the flows.
    const uint32_t tablesPerDialect =
        sizeof DialectTableCatalogue / sizeof DialectTableCatalogue[0];
    const uint32_t slots = 2 * tablesPerDialect + 2;
    // A plain load and store: processors that meet here may purge the same table twice,
    // which costs nothing, where a locked add would cost every message.
    uint32_t next = __atomic_load_n(&g_Engine.PurgeTurn, __ATOMIC_RELAXED);
    __atomic_store_n(&g_Engine.PurgeTurn, next + 1, __ATOMIC_RELAXED);
    if (next % MessagesPerPurgeStep != 0) {
        return;
    }
    uint32_t turn = next / MessagesPerPurgeStep % slots;
    KeyedTable* table;
    if (turn == 2 * tablesPerDialect) {
        table = g_Engine.UnknownSessionMarks;
    } else if (turn == 2 * tablesPerDialect + 1) {
        table = g_Engine.SmbFlowTable;
    } else {
        DialectTables& tables = turn < tablesPerDialect ? g_Engine.Smb1 : g_Engine.Smb2;
        table = tables.*DialectTableCatalogue[turn % tablesPerDialect].table;
    }
    KeyedTablePurgeStep(table, atDispatch, now, PurgeStepEntries);
}

bool IsAdmittedClient(bool atDispatch, uint32_t clientAddress, uint8_t* value) {
    EngineState& e = g_Engine;
    EngineLockAcquire(&e.AdmissionGuardLock, atDispatch);
    uint8_t stored = 0;
    uint32_t length = sizeof stored;
    // The table's own lock is taken inside the guard, and released before it.
    bool found = KeyedTableLookup(e.ClientAdmissionTable, true, MakeTableKey(clientAddress, 0),
                                  &stored, &length);
    EngineLockRelease(&e.AdmissionGuardLock, atDispatch);
    bool admitted = found && length == 1;
    if (admitted) {
        *value = stored;
    }
    return admitted;
}
