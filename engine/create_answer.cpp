#include "create_answer.h"

#include "denial_marks.h"
#include "engine_state.h"
#include "session_state.h"
#include "smb_request_common.h"

namespace {

KeyedTable* OutcomeMap(SmbDialect dialect) {
    return dialect == SmbDialect::Smb1 ? g_Engine.Smb1.CreateOutcomeMap
                                       : g_Engine.Smb2.CreateOutcomeMap;
}

} // namespace

void WatchCreateOutcome(const SmbMessage* message, SmbDialect dialect, TableKey request,
                        const CreateVerdict* verdict) {
    if (!verdict->watch) {
        return;
    }
    // Lost for lack of room, a narrowed create still fails at the server; the client then
    // sees the server's own status.
    KeyedTableInsert(OutcomeMap(dialect), message->atDispatch, request, &verdict->outcome,
                     sizeof verdict->outcome);
}

void RefuseWatchedCreateWhole(SmbDialect dialect, TableKey request, uint32_t refusedStatus,
                              bool atDispatch) {
    CreateOutcome outcome;
    uint32_t length = sizeof outcome;
    KeyedTable* map = OutcomeMap(dialect);
    if (KeyedTableLookup(map, atDispatch, request, &outcome, &length) && length == sizeof outcome &&
        outcome.refusedStatus != 0) {
        outcome.refusedStatus = refusedStatus;
        KeyedTableUpdate(map, atDispatch, request, &outcome, sizeof outcome);
    }
}

bool SettleCreateOutcome(SmbMessage* message, SmbDialect dialect, const CreateAnswer* answer,
                         Utf16Unit* name) {
    CreateOutcome outcome;
    uint32_t length = sizeof outcome;
    KeyedTable* map = OutcomeMap(dialect);
    if (!KeyedTableLookup(map, message->atDispatch, answer->request, &outcome, &length)) {
        return false;
    }
    KeyedTableDelete(map, message->atDispatch, answer->request);
    if (length != sizeof outcome) {
        return false;
    }
    FullPath(message->atDispatch, answer->session, answer->treeId, name, PathBufferUnits);
    FileOperation op = OperationFor(message, answer->session, answer->treeId);
    if (!DecideCreateOutcome(&op, &outcome, answer->status, answer->action, name)) {
        return false;
    }
    WriteAccessDenied(dialect, message->header);
    return true;
}
