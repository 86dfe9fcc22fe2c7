#include "create_answer.h"

#include "denial_marks.h"
#include "engine_state.h"
#include "pool.h"
#include "session_state.h"
#include "smb_request_common.h"

namespace {

KeyedTable* OutcomeMap(SmbDialect dialect) {
    return dialect == SmbDialect::Smb1 ? g_Engine.Smb1.CreateOutcomeMap
                                       : g_Engine.Smb2.CreateOutcomeMap;
}

// What a watched rename or link leaves for its answer: the verdict, then the texts of its
// events, "old => new" and the target, each within ReplaceTextUnits.
struct ReplaceWatch {
    uint8_t form; // ReplaceWatchForm: not a create's outcome
    uint8_t narrowed;
    uint8_t refusedReport;
    uint8_t deferred;
    uint8_t onSuccess;
    uint8_t reserved;
    uint16_t joinedUnits;
    uint16_t targetUnits;
    uint16_t reserved2;
    uint32_t refusedWhole; // the narrowing went by: any failure is the rule's refusal
};
const uint8_t ReplaceWatchForm = 0x52;
const uint32_t ReplaceHeaderBytes = 16;
const uint32_t ReplaceWatchBytes = 2048;
const uint32_t ReplaceTextUnits = (ReplaceWatchBytes - ReplaceHeaderBytes) / sizeof(Utf16Unit) / 2;
static_assert(sizeof(ReplaceWatch) == ReplaceHeaderBytes, "the texts follow the header");
static_assert(sizeof(CreateOutcome) != ReplaceHeaderBytes, "the two forms differ in length");

Utf16Unit* TextOf(ReplaceWatch* watch) {
    return reinterpret_cast<Utf16Unit*>(reinterpret_cast<uint8_t*>(watch) + ReplaceHeaderBytes);
}

// The replace watch kept under `request`, read into `watch` (ReplaceWatchBytes of room):
// its length, or 0 when the entry is none.
uint32_t LoadReplaceWatch(KeyedTable* map, bool atDispatch, TableKey request, ReplaceWatch* watch) {
    uint32_t length = ReplaceWatchBytes;
    if (!KeyedTableLookup(map, atDispatch, request, watch, &length) ||
        length < ReplaceHeaderBytes || watch->form != ReplaceWatchForm ||
        length <
            ReplaceHeaderBytes + (watch->joinedUnits + watch->targetUnits) * sizeof(Utf16Unit)) {
        return 0;
    }
    return length;
}

// Changes the replace watch under `request` with `change`, in place. Nothing happens to
// an entry that is no replace watch.
void ChangeReplaceWatch(SmbDialect dialect, TableKey request, bool atDispatch,
                        void (*change)(ReplaceWatch* watch, uint32_t status), uint32_t status) {
    auto* watch = static_cast<ReplaceWatch*>(EngineAllocateZeroed(ReplaceWatchBytes));
    if (watch == nullptr) {
        return;
    }
    KeyedTable* map = OutcomeMap(dialect);
    uint32_t length = LoadReplaceWatch(map, atDispatch, request, watch);
    if (length != 0) {
        change(watch, status);
        KeyedTableUpdate(map, atDispatch, request, watch, length);
    }
    EngineFree(watch, ReplaceWatchBytes);
}

void ReportWatched(const FileOperation* op, ReplaceWatch* watch, uint8_t events) {
    const Utf16Unit* joined = TextOf(watch);
    const Utf16Unit* target = joined + watch->joinedUnits;
    if (events & AnswerEventRename) {
        ReportAnswerEvent(op, FileEventRename, false, joined, watch->joinedUnits);
    }
    if (events & AnswerEventCreate) {
        ReportAnswerEvent(op, FileEventCreate, false, target, watch->targetUnits);
    }
    if (events & AnswerEventDelete) {
        ReportAnswerEvent(op, FileEventDelete, false, target, watch->targetUnits);
    }
}

} // namespace

void WatchReplaceOutcome(const SmbMessage* message, SmbDialect dialect, TableKey request,
                         const ReplaceVerdict* verdict, const Utf16Unit* oldPath,
                         const Utf16Unit* newPath) {
    if (!verdict->watch) {
        return;
    }
    auto* watch = static_cast<ReplaceWatch*>(EngineAllocateZeroed(ReplaceWatchBytes));
    if (watch == nullptr) {
        return; // a narrowed request still fails at the server, with its own status
    }
    watch->form = ReplaceWatchForm;
    watch->narrowed = verdict->narrow ? 1 : 0;
    watch->refusedReport = verdict->refusedReport;
    watch->deferred = verdict->deferred;
    watch->onSuccess = verdict->onSuccess;
    watch->joinedUnits =
        uint16_t(JoinRenameText(oldPath, newPath, TextOf(watch), ReplaceTextUnits + 1));
    Utf16Unit* target = TextOf(watch) + watch->joinedUnits;
    uint32_t units = 0;
    while (units < ReplaceTextUnits && newPath[units] != 0) {
        target[units] = newPath[units];
        ++units;
    }
    watch->targetUnits = uint16_t(units);
    uint32_t bytes = ReplaceHeaderBytes + (watch->joinedUnits + units) * sizeof(Utf16Unit);
    KeyedTableInsertOwned(OutcomeMap(dialect), message->atDispatch, request, watch, bytes,
                          message->clientAddress);
    EngineFree(watch, ReplaceWatchBytes);
}

bool SettleReplaceOutcome(SmbMessage* message, SmbDialect dialect, TableKey request,
                          uint64_t session, uint32_t treeId, uint32_t status) {
    KeyedTable* map = OutcomeMap(dialect);
    uint32_t held = 0;
    if (!KeyedTableLookup(map, message->atDispatch, request, nullptr, &held)) {
        return false;
    }
    auto* watch = static_cast<ReplaceWatch*>(EngineAllocateZeroed(ReplaceWatchBytes));
    if (watch == nullptr) {
        return false;
    }
    bool refused = false;
    if (LoadReplaceWatch(map, message->atDispatch, request, watch) != 0) {
        KeyedTableDelete(map, message->atDispatch, request);
        FileOperation op = OperationFor(message, session, treeId);
        refused = watch->narrowed != 0 && (status == StatusObjectNameCollision ||
                                           (watch->refusedWhole != 0 && status != 0));
        if (refused) {
            // The target existed (or the request was refused whole for it): replacing it
            // was the delete the rule forbids.
            if (watch->refusedReport) {
                ReportAnswerEvent(&op, FileEventDelete, true, TextOf(watch) + watch->joinedUnits,
                                  watch->targetUnits);
            }
            WriteAccessDenied(dialect, message->header);
        } else {
            uint8_t onSuccess = status == 0 ? watch->onSuccess : 0;
            ReportWatched(&op, watch, uint8_t(watch->deferred | onSuccess));
        }
    }
    EngineFree(watch, ReplaceWatchBytes);
    return refused;
}

void ForgetWatchedOutcome(SmbDialect dialect, TableKey request, bool atDispatch) {
    uint8_t head[ReplaceHeaderBytes];
    uint32_t length = sizeof head;
    KeyedTable* map = OutcomeMap(dialect);
    if (!KeyedTableLookup(map, atDispatch, request, head, &length)) {
        return;
    }
    if (length == sizeof(CreateOutcome)) {
        KeyedTableDelete(map, atDispatch, request);
        return;
    }
    // The request went as the client sent it: it may replace its target, as under a rule
    // that only reports.
    ChangeReplaceWatch(
        dialect, request, atDispatch,
        [](ReplaceWatch* watch, uint32_t) {
            if (watch->narrowed != 0 && watch->refusedReport != 0) {
                watch->onSuccess |= AnswerEventDelete;
            }
            watch->narrowed = 0;
        },
        0);
}

void WatchCreateOutcome(const SmbMessage* message, SmbDialect dialect, TableKey request,
                        const CreateVerdict* verdict) {
    if (!verdict->watch) {
        return;
    }
    // Lost for lack of room, a narrowed create still fails at the server; the client then
    // sees the server's own status.
    KeyedTableInsertOwned(OutcomeMap(dialect), message->atDispatch, request, &verdict->outcome,
                          sizeof verdict->outcome, message->clientAddress);
}

void RefuseWatchedCreateWhole(SmbDialect dialect, TableKey request, uint32_t refusedStatus,
                              bool atDispatch) {
    ChangeReplaceWatch(
        dialect, request, atDispatch,
        [](ReplaceWatch* watch, uint32_t status) { watch->refusedWhole = status; }, refusedStatus);
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
    if (!KeyedTableTake(map, message->atDispatch, answer->request, &outcome, &length)) {
        return false;
    }
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
