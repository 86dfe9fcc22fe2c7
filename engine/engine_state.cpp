#include "engine_state.h"

#include "pool.h"

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

KeyedTable* EngineState::*const SharedTables[] = {
    &EngineState::SessionUserTable, &EngineState::TreeTable,           &EngineState::IpcTreeTable,
    &EngineState::OpenFileTable,    &EngineState::UnknownSessionMarks,
};

bool CreateDialectTables(DialectTables* tables, bool smb1) {
    for (const DialectTableSlot& slot : DialectTableCatalogue) {
        if (smb1 ? !slot.smb1 : !slot.smb2) {
            continue;
        }
        tables->*slot.table = CreateKeyedTable();
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

template <typename T> void FreeBlock(T** block) {
    if (*block != nullptr) {
        EngineFree(*block);
        *block = nullptr;
    }
}

bool StartAll() {
    EngineState& e = g_Engine;
    for (KeyedTable* EngineState::*table : SharedTables) {
        e.*table = CreateKeyedTable();
        if (e.*table == nullptr) {
            return false;
        }
    }
    EngineLockInit(&e.RuleListLock);
    EngineLockInit(&e.TemplateListLock);
    EngineLockInit(&e.AdmissionGuardLock);
    e.ClientAdmissionTable = CreateKeyedTable();
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
    if (!StartAll()) {
        EngineStop();
        return false;
    }
    return true;
}

void EngineStop() {
    EngineState& e = g_Engine;
    SetInspectionEnabled(false);
    DestroyDialectTables(&e.Smb1);
    DestroyDialectTables(&e.Smb2);
    FreeBlock(&e.TrafficStats);
    FreeBlock(&e.LearnedGrantRing);
    e.LearnedGrantCount = 0;
    FreeBlock(&e.KnownClients);
    FreeBlock(&e.Settings);
    FreeBlock(&e.FileEventRing);
    e.FileEventCount = 0;
    DestroyKeyedTable(e.ClientAdmissionTable, false);
    e.ClientAdmissionTable = nullptr;
    FreeBlock(&e.TemplateList);
    e.TemplateCount = 0;
    FreeBlock(&e.RuleList);
    e.RuleCount = 0;
    for (KeyedTable* EngineState::*table : SharedTables) {
        DestroyKeyedTable(e.*table, false);
        e.*table = nullptr;
    }
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
