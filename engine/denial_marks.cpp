#include "denial_marks.h"

#include "create_answer.h"
#include "engine_state.h"
#include "pool.h"
#include "smb_protocol.h"
#include "unreadable.h"
#include "wire.h"

namespace {

const uint32_t Smb2Status = 8;
const uint32_t Smb1Status = 5;
const uint32_t Smb1Flags2 = 10;
const uint16_t Smb1Flags2NtStatus = 0x4000;

// Each kind's table among a dialect's tables, by the kind's value (None and
// UnknownSession have none there).
KeyedTable* DialectTables::*const DialectMarkTables[] = {
    nullptr,
    nullptr,
    &DialectTables::CreateAccessMarks,
    &DialectTables::CreateDeleteMarks,
    &DialectTables::CreateNewMarks,
    &DialectTables::CreateClientMarks,
    &DialectTables::WriteMarks,
    &DialectTables::DeleteMarks,
    &DialectTables::RenameMarks,
    &DialectTables::QueryInfoMarks,
    &DialectTables::QueryFileMarks,
    &DialectTables::QueryPathMarks,
};
const uint32_t MarkKinds = sizeof DialectMarkTables / sizeof DialectMarkTables[0];
static_assert(MarkKinds == uint32_t(MarkKind::QueryPath) + 1, "a table for every mark kind");

} // namespace

KeyedTable* MarkTable(SmbDialect dialect, MarkKind kind) {
    if (kind == MarkKind::UnknownSession) {
        return g_Engine.UnknownSessionMarks;
    }
    uint32_t at = uint32_t(kind);
    if (at >= MarkKinds || DialectMarkTables[at] == nullptr) {
        return nullptr;
    }
    DialectTables& tables = dialect == SmbDialect::Smb1 ? g_Engine.Smb1 : g_Engine.Smb2;
    return tables.*DialectMarkTables[at];
}

bool RecordDenialMark(SmbDialect dialect, MarkKind kind, TableKey request,
                      const SmbMessage* message) {
    // A full table makes room (the client's own marks first), so a mark fails only when the
    // pool does; the request then stays spoiled and the client sees the server's own failure.
    return KeyedTableInsertOwned(MarkTable(dialect, kind), message->atDispatch, request, nullptr, 0,
                                 message->clientAddress);
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
    for (uint32_t kind = uint32_t(MarkKind::UnknownSession); kind < MarkKinds; ++kind) {
        KeyedTable* table = MarkTable(dialect, MarkKind(kind));
        if (!KeyedTableIsEmpty(table)) {
            KeyedTableDelete(table, atDispatch, request);
        }
    }
    ForgetWatchedOutcome(dialect, request, atDispatch);
}

void KeepDenialNote(SmbDialect dialect, const SmbMessage* m) {
    TableKey request = MessageRequestKey(dialect, m);
    const DenialNote* note = m->denial;
    bool atDispatch = m->atDispatch;
    uint32_t bytes = DenialNoteHeaderBytes + note->units * sizeof(Utf16Unit);
    for (uint32_t kind = uint32_t(MarkKind::CreateAccess); kind < MarkKinds; ++kind) {
        KeyedTable* table = MarkTable(dialect, MarkKind(kind));
        // Without room for the note the mark stays as it was, and a failed denial goes
        // unreported.
        uint32_t held = 0;
        if (KeyedTableLookup(table, atDispatch, request, nullptr, &held)) {
            KeyedTableInsertOwned(table, atDispatch, request, note, bytes, m->clientAddress);
        }
    }
}

namespace {

// A mark whose request the server carried out: the answer passes as it is, and the
// event the denial reported is reported again, not blocked.
void SettleFailedDenial(KeyedTable* table, TableKey request, const FileOperation* op) {
    auto* note = static_cast<DenialNote*>(EngineAllocateZeroed(sizeof(DenialNote)));
    uint32_t length = note != nullptr ? sizeof(DenialNote) : 0;
    if (KeyedTableTake(table, op->atDispatch, request, note, &length) && note != nullptr &&
        length >= DenialNoteHeaderBytes && note->kind != 0) {
        uint32_t units = (length - DenialNoteHeaderBytes) / sizeof(Utf16Unit);
        ReportAnswerEvent(op, note->kind, false, note->path,
                          units < note->units ? units : note->units);
    }
    if (note != nullptr) {
        EngineFree(note, sizeof(DenialNote));
    }
}

} // namespace

bool RewriteStatusFromMarks(SmbDialect dialect, const MarkKind* kinds, uint32_t count,
                            const SmbMessage* answer, bool done, const FileOperation* op) {
    uint8_t* header = answer->header;
    bool rewrote = false;
    for (uint32_t i = 0; i < count; ++i) {
        KeyedTable* table = MarkTable(dialect, kinds[i]);
        // Marks are stored when their request passes, long before its answer comes.
        if (KeyedTableIsEmpty(table)) {
            continue;
        }
        TableKey request = MessageRequestKey(dialect, answer);
        if (done) {
            uint32_t held = 0;
            if (KeyedTableLookup(table, op->atDispatch, request, nullptr, &held)) {
                SettleFailedDenial(table, request, op);
            }
            continue;
        }
        if (!KeyedTableDelete(table, op->atDispatch, request)) {
            continue;
        }
        // A signed answer keeps the server's own error: a rewritten one would fail the
        // client's signature check and cost it the connection, where the server's error
        // is a clean refusal of the spoiled request.
        if (IsSignedMessage(dialect, header)) {
            continue;
        }
        WriteStatus(dialect, header,
                    kinds[i] == MarkKind::UnknownSession ? StatusUserSessionDeleted
                                                         : StatusAccessDenied);
        rewrote = true;
    }
    return rewrote;
}
