#include "denial_marks.h"

#include "engine_state.h"
#include "smb_protocol.h"
#include "wire.h"

namespace {

const uint32_t Smb2Status = 8;
const uint32_t Smb1Status = 5;
const uint32_t Smb1Flags2 = 10;
const uint16_t Smb1Flags2NtStatus = 0x4000;

struct MarkSlot {
    MarkKind kind;
    KeyedTable* DialectTables::*table;
};

const MarkSlot DialectMarkTables[] = {
    {MarkKind::CreateAccess, &DialectTables::CreateAccessMarks},
    {MarkKind::CreateDelete, &DialectTables::CreateDeleteMarks},
    {MarkKind::CreateNew, &DialectTables::CreateNewMarks},
    {MarkKind::CreateClient, &DialectTables::CreateClientMarks},
    {MarkKind::Write, &DialectTables::WriteMarks},
    {MarkKind::Delete, &DialectTables::DeleteMarks},
    {MarkKind::Rename, &DialectTables::RenameMarks},
    {MarkKind::QueryInfo, &DialectTables::QueryInfoMarks},
    {MarkKind::QueryFile, &DialectTables::QueryFileMarks},
    {MarkKind::QueryPath, &DialectTables::QueryPathMarks},
};

} // namespace

KeyedTable* MarkTable(SmbDialect dialect, MarkKind kind) {
    if (kind == MarkKind::UnknownSession) {
        return g_Engine.UnknownSessionMarks;
    }
    DialectTables& tables = dialect == SmbDialect::Smb1 ? g_Engine.Smb1 : g_Engine.Smb2;
    for (const MarkSlot& slot : DialectMarkTables) {
        if (slot.kind == kind) {
            return tables.*slot.table;
        }
    }
    return nullptr;
}

bool RecordDenialMark(SmbDialect dialect, MarkKind kind, TableKey request, bool atDispatch) {
    // A mark that cannot be stored leaves the request spoiled: the client then sees the
    // server's own failure instead of an access denial.
    return KeyedTableInsert(MarkTable(dialect, kind), atDispatch, request, nullptr, 0);
}

namespace {

void WriteStatus(SmbDialect dialect, uint8_t* header, uint32_t status) {
    if (dialect == SmbDialect::Smb2) {
        WriteU32Le(header + Smb2Status, status);
    } else {
        WriteU32Le(header + Smb1Status, status);
        WriteU16Le(header + Smb1Flags2, ReadU16Le(header + Smb1Flags2) | Smb1Flags2NtStatus);
    }
}

} // namespace

void WriteAccessDenied(SmbDialect dialect, uint8_t* header) {
    WriteStatus(dialect, header, StatusAccessDenied);
}

void ForgetDenialMarks(SmbDialect dialect, TableKey request, bool atDispatch) {
    KeyedTableDelete(MarkTable(dialect, MarkKind::UnknownSession), atDispatch, request);
    for (const MarkSlot& slot : DialectMarkTables) {
        KeyedTableDelete(MarkTable(dialect, slot.kind), atDispatch, request);
    }
    // A narrowed create that travelled as it was sent is not settled by its answer.
    DialectTables& tables = dialect == SmbDialect::Smb1 ? g_Engine.Smb1 : g_Engine.Smb2;
    KeyedTableDelete(tables.CreateOutcomeMap, atDispatch, request);
}

bool RewriteStatusFromMarks(SmbDialect dialect, const MarkKind* kinds, uint32_t count,
                            TableKey request, uint8_t* header, bool atDispatch) {
    bool rewrote = false;
    for (uint32_t i = 0; i < count; ++i) {
        if (!KeyedTableDelete(MarkTable(dialect, kinds[i]), atDispatch, request)) {
            continue;
        }
        WriteStatus(dialect, header,
                    kinds[i] == MarkKind::UnknownSession ? StatusUserSessionDeleted
                                                         : StatusAccessDenied);
        rewrote = true;
    }
    return rewrote;
}
