#include "file_policy.h"

#include "engine_state.h"
#include "policy.h"
#include "pool.h"
#include "report_rings.h"
#include "session_state.h"
#include "text.h"

namespace {

// Every access right that lets the handle read the file's data: read data, execute (a
// server lets an execute-only handle read), and the generic and maximum rights.
const uint32_t ReadingAccess =
    0x00000001 | 0x00000020 | 0x80000000 | 0x20000000 | 0x10000000 | 0x02000000;
const uint32_t ShareDeleteOnly = 0x00000004;   // FILE_SHARE_DELETE alone
const uint32_t FileDeleteOnClose = 0x00001000; // CreateOptions

// The joined "old => new" text of a rename event, within 1023 units.
const uint32_t RenameEventUnits = 1023;
const Utf16Unit RenameArrow[] = {' ', '=', '>', ' '};

// `pathUnits` is the path's length, measured once by the caller for all its probes.
bool Contains(const Utf16Unit* path, uint32_t pathUnits, const char* ascii) {
    Utf16Unit needle[8];
    uint32_t n = 0;
    while (ascii[n] != 0 && n < 8) {
        needle[n] = Utf16Unit(ascii[n]);
        ++n;
    }
    return Utf16Find(path, pathUnits, needle, n) >= 0;
}

// Everything a decision needs to know about the session.
struct SessionFacts {
    bool haveUser;
    SessionUser user; // zeroed when there is none
};

void ReadSession(const FileOperation* op, SessionFacts* facts) {
    // A session is the user's only on the connections the server set it up or bound it on.
    facts->haveUser = GetSessionUser(op->atDispatch, op->session, &facts->user) &&
                      SessionOnConnection(op->atDispatch, op->session, &facts->user,
                                          op->clientAddress, op->clientPorts);
    if (!facts->haveUser) {
        KmZeroMemory(&facts->user, sizeof facts->user);
    }
    facts->user.UserName[NameUnits - 1] = 0;
}

// The rule for the session's user; a session without a user name has none.
bool MatchUserRule(const FileOperation* op, const SessionFacts* facts, const Utf16Unit* path,
                   AccessRule* rule) {
    if (facts->user.UserName[0] == 0) {
        return false;
    }
    return MatchAccessRule(op->atDispatch, path, facts->user.UserName, rule);
}

void ReportUnits(const FileOperation* op, const SessionFacts* facts, uint8_t kind, bool blocked,
                 const Utf16Unit* path, uint32_t units) {
    ReportFileEvent(op->atDispatch, op->clientAddress, op->clientAddress6, op->clientMac, kind,
                    blocked ? 1 : 0, facts->haveUser ? &facts->user : nullptr, path,
                    units * sizeof(Utf16Unit));
    if (!blocked || op->denial == nullptr) {
        return;
    }
    // Kept for the answer, which may show that the denial failed.
    DenialNote* note = op->denial;
    note->kind = kind;
    note->units = uint16_t(units < DenialNotePathUnits ? units : DenialNotePathUnits);
    KmCopyMemory(note->path, path, note->units * sizeof(Utf16Unit));
}

void Report(const FileOperation* op, const SessionFacts* facts, uint8_t kind, bool blocked,
            const Utf16Unit* path) {
    ReportUnits(op, facts, kind, blocked, path, Utf16Length(path, FullPathScanUnits));
}

// An IPv6 client is an unknown client: the admission list and the address words name
// IPv4 addresses, and the known-client lists are one list of a client's identities, so
// none of them vouches for a client whose address they cannot name.
bool ClientIsKnown(const FileOperation* op, const SessionFacts* facts) {
    uint8_t stored;
    if (op->clientAddress6 != nullptr) {
        return false;
    }
    return IsAdmittedClient(op->atDispatch, op->clientAddress, &stored) ||
           IsKnownClient(op->atDispatch, op->clientMac, op->clientAddress, facts->user.UserName,
                         facts->user.WorkstationName);
}

// The checks that run in order on an allowed create; the first denial ends them.
MarkKind CheckCreateAccess(const FileOperation* op, const SessionFacts* facts,
                           const AccessRule* rule, const CreateRequest* request,
                           const Utf16Unit* path) {
    bool temporary = IsTemporaryName(path);
    if (request->desiredAccess & ReadingAccess) {
        bool blocked = rule->DenyRead != 0;
        if (rule->Report) {
            Report(op, facts, FileEventRead, blocked, path);
        }
        if (blocked) {
            return MarkKind::CreateAccess;
        }
    }
    // Opening with only delete sharing, or asking for delete on close, deletes the file.
    bool deletes = request->shareAccess == ShareDeleteOnly ||
                   (request->createOptions & FileDeleteOnClose) != 0;
    if (deletes && !temporary) {
        bool blocked = rule->DenyDelete != 0;
        if (rule->Report) {
            Report(op, facts, FileEventDelete, blocked, path);
        }
        if (blocked) {
            return MarkKind::CreateDelete;
        }
    }
    if (request->createDisposition == DispositionCreate && !temporary) {
        bool blocked = rule->DenyCreate != 0;
        if (rule->Report) {
            Report(op, facts, FileEventCreate, blocked, path);
        }
        if (blocked) {
            return MarkKind::CreateNew;
        }
    }
    return MarkKind::None;
}

bool MayCreate(uint32_t disposition) {
    return disposition == DispositionSupersede || disposition == DispositionOpenIf ||
           disposition == DispositionOverwriteIf;
}

bool MayTruncate(uint32_t disposition) {
    return disposition == DispositionSupersede || disposition == DispositionOverwrite ||
           disposition == DispositionOverwriteIf;
}

MarkKind Deny(const FileOperation* op, const SessionFacts* facts, const AccessRule* rule,
              uint8_t kind, MarkKind mark, const Utf16Unit* path) {
    if (rule->Report) {
        Report(op, facts, kind, true, path);
    }
    return mark;
}

// Dispositions that may create a file that does not exist (supersede, open-if,
// overwrite-if) or empty one that does (supersede, overwrite, overwrite-if). Only the
// server knows which of the two happens, so a rule that forbids one of them narrows the
// disposition to the form without it, and the answer tells what happened: a create that
// the narrowing turned into a failure reaches the client as an access denial.
MarkKind NarrowDisposition(const FileOperation* op, const SessionFacts* facts,
                           const AccessRule* rule, const CreateRequest* request,
                           const Utf16Unit* path, CreateVerdict* verdict) {
    uint32_t disposition = request->createDisposition;
    bool mayCreate = MayCreate(disposition);
    bool mayTruncate = MayTruncate(disposition);
    if ((!mayCreate && !mayTruncate) || IsTemporaryName(path)) {
        return MarkKind::None;
    }
    bool denyCreate = mayCreate && rule->DenyCreate;
    bool denyModify = mayTruncate && rule->DenyModify;
    if (denyCreate && denyModify) {
        return Deny(op, facts, rule, FileEventCreate, MarkKind::CreateNew, path);
    }
    CreateOutcome& outcome = verdict->outcome;
    uint32_t narrowed = disposition;
    if (denyCreate) {
        narrowed = disposition == DispositionOpenIf ? DispositionOpen : DispositionOverwrite;
        outcome.refusedStatus = StatusObjectNameNotFound;
        outcome.refusedKind = FileEventCreate;
    } else if (denyModify) {
        if (disposition == DispositionOverwrite) {
            return Deny(op, facts, rule, FileEventModify, MarkKind::Write, path);
        }
        narrowed = DispositionCreate;
        outcome.refusedStatus = StatusObjectNameCollision;
        outcome.refusedKind = FileEventModify;
    }
    if (narrowed != disposition && (request->expressible & DispositionBit(narrowed)) == 0) {
        // The command cannot carry the narrower form: refuse it whole.
        return denyCreate ? Deny(op, facts, rule, FileEventCreate, MarkKind::CreateNew, path)
                          : Deny(op, facts, rule, FileEventModify, MarkKind::Write, path);
    }
    outcome.report = rule->Report;
    // An answer that does not say what it did: a form that may create (CREATE narrowed to
    // CREATE_NEW only creates) is reported as a create, one that may only empty as a modify.
    bool creates = narrowed == DispositionCreate || MayCreate(narrowed);
    outcome.unsaidKind = creates ? FileEventCreate : FileEventModify;
    verdict->disposition = narrowed;
    verdict->watch = narrowed != disposition || rule->Report;
    return MarkKind::None;
}

// Write and delete share their shape: a rule on a non-temporary path, one flag, one event.
MarkKind DecideOnOpenFile(const FileOperation* op, const Utf16Unit* path, uint8_t AccessRule::*flag,
                          uint8_t eventKind, MarkKind mark) {
    if (path[0] == 0 || IsTemporaryName(path)) {
        return MarkKind::None;
    }
    SessionFacts facts;
    ReadSession(op, &facts);
    AccessRule rule;
    if (!MatchUserRule(op, &facts, path, &rule)) {
        return MarkKind::None;
    }
    bool blocked = rule.*flag != 0;
    if (rule.Report) {
        Report(op, &facts, eventKind, blocked, path);
    }
    return blocked ? mark : MarkKind::None;
}

void ReportRename(const FileOperation* op, const SessionFacts* facts, bool blocked,
                  const Utf16Unit* oldPath, const Utf16Unit* newPath) {
    auto* joined =
        static_cast<Utf16Unit*>(EngineAllocate((RenameEventUnits + 1) * sizeof(Utf16Unit)));
    if (joined == nullptr) {
        Report(op, facts, FileEventRename, blocked, oldPath);
        return;
    }
    uint32_t units = JoinRenameText(oldPath, newPath, joined, RenameEventUnits + 1);
    ReportUnits(op, facts, FileEventRename, blocked, joined, units);
    EngineFree(joined, (RenameEventUnits + 1) * sizeof(Utf16Unit));
}

} // namespace

uint32_t JoinRenameText(const Utf16Unit* oldPath, const Utf16Unit* newPath, Utf16Unit* out,
                        uint32_t capacity) {
    uint32_t n = 0;
    const Utf16Unit* parts[] = {oldPath, RenameArrow, newPath};
    const uint32_t lengths[] = {Utf16Length(oldPath, FullPathScanUnits), 4,
                                Utf16Length(newPath, FullPathScanUnits)};
    for (int p = 0; p < 3; ++p) {
        for (uint32_t i = 0; i < lengths[p] && n + 1 < capacity; ++i) {
            out[n++] = parts[p][i];
        }
    }
    out[n] = 0;
    return n;
}

bool IsOfficeDocument(const Utf16Unit* path) {
    // ".docx", ".xlsx" and ".pptx" contain their shorter forms.
    uint32_t units = Utf16Length(path, FullPathScanUnits);
    return Contains(path, units, ".doc") || Contains(path, units, ".xls") ||
           Contains(path, units, ".ppt");
}

bool IsTemporaryName(const Utf16Unit* path) {
    uint32_t units = Utf16Length(path, FullPathScanUnits);
    return Contains(path, units, ".tmp") || Contains(path, units, "~$");
}

namespace {

MarkKind DecideCreateChecks(const FileOperation* op, const CreateRequest* request, Utf16Unit* path,
                            CreateVerdict* verdict) {
    SessionFacts facts;
    ReadSession(op, &facts);
    bool treeKnown = FullPath(op->atDispatch, op->session, op->treeId, path, PathBufferUnits);
    // Without a user or a tree the engine cannot decide: the client is sent to set up a
    // new session, whose authentication names the user.
    if (!facts.haveUser || !treeKnown) {
        return MarkKind::UnknownSession;
    }
    AccessRule rule;
    if (IsExemptPath(op->atDispatch, path) || !MatchUserRule(op, &facts, path, &rule)) {
        return MarkKind::None;
    }
    if (rule.DenyAll) {
        if (rule.Report) {
            Report(op, &facts, FileEventDenyAll, true, path);
        }
        return MarkKind::CreateAccess;
    }
    if (request->nameBytes == 0) {
        return MarkKind::None; // the share's root
    }
    if (rule.KnownClientsOnly && !ClientIsKnown(op, &facts)) {
        if (rule.Report) {
            Report(op, &facts, FileEventUnknownClient, true, path);
        }
        return MarkKind::CreateClient;
    }
    MarkKind mark = CheckCreateAccess(op, &facts, &rule, request, path);
    if (mark != MarkKind::None) {
        return mark;
    }
    return NarrowDisposition(op, &facts, &rule, request, path, verdict);
}

} // namespace

MarkKind DecideCreate(const FileOperation* op, const CreateRequest* request, Utf16Unit* path,
                      CreateVerdict* verdict) {
    KmZeroMemory(verdict, sizeof *verdict);
    verdict->disposition = request->createDisposition;
    verdict->mark = DecideCreateChecks(op, request, path, verdict);
    if (verdict->mark != MarkKind::None) {
        verdict->watch = false;
        verdict->disposition = request->createDisposition;
    }
    return verdict->mark;
}

bool DecideCreateOutcome(const FileOperation* op, const CreateOutcome* outcome, uint32_t status,
                         uint32_t action, const Utf16Unit* path) {
    bool refused = outcome->refusedStatus != 0 && status == outcome->refusedStatus;
    uint8_t kind = 0;
    if (refused) {
        kind = outcome->refusedKind;
    } else if (status == 0 && action == ActionCreated) {
        kind = FileEventCreate;
    } else if (status == 0 && (action == ActionSuperseded || action == ActionOverwritten)) {
        kind = FileEventModify;
    } else if (status == 0 && action == ActionUnknown) {
        kind = outcome->unsaidKind;
    }
    if (kind != 0 && outcome->report) {
        SessionFacts facts;
        ReadSession(op, &facts);
        Report(op, &facts, kind, refused, path);
    }
    return refused;
}

MarkKind DecideWrite(const FileOperation* op, const Utf16Unit* path) {
    return DecideOnOpenFile(op, path, &AccessRule::DenyModify, FileEventModify, MarkKind::Write);
}

MarkKind DecideDelete(const FileOperation* op, const Utf16Unit* path) {
    return DecideOnOpenFile(op, path, &AccessRule::DenyDelete, FileEventDelete, MarkKind::Delete);
}

namespace {

// With `deferred`, an allowed event that the rule reports waits for the answer: its bit is
// left in *deferred and true returned.
bool Defer(const AccessRule* rule, bool blocked, uint8_t* deferred, uint8_t bit) {
    if (deferred == nullptr || blocked || !rule->Report) {
        return false;
    }
    *deferred |= bit;
    return true;
}

// The rename decision. With `deferred`, an allowed rename's event is not reported but
// left in *deferred for the answer.
MarkKind RenameChecks(const FileOperation* op, const Utf16Unit* oldPath, const Utf16Unit* newPath,
                      uint8_t* deferred) {
    if (oldPath[0] == 0) {
        return MarkKind::None;
    }
    SessionFacts facts;
    ReadSession(op, &facts);
    AccessRule rule;
    if (!MatchUserRule(op, &facts, oldPath, &rule)) {
        return MarkKind::None;
    }
    // Saving an Office document moves it to a temporary name first: a modification.
    if (IsOfficeDocument(oldPath) && IsTemporaryName(newPath)) {
        bool blocked = rule.DenyModify != 0;
        if (rule.Report) {
            Report(op, &facts, FileEventModify, blocked, oldPath);
        }
        return blocked ? MarkKind::Rename : MarkKind::None;
    }
    // The temporary file taking the document's name at the end of a save.
    if (IsTemporaryName(oldPath)) {
        return MarkKind::None;
    }
    bool blocked = rule.DenyRename != 0;
    if (!Defer(&rule, blocked, deferred, AnswerEventRename) && rule.Report) {
        ReportRename(op, &facts, blocked, oldPath, newPath);
    }
    return blocked ? MarkKind::Rename : MarkKind::None;
}

// A link: a rename of the old path, then a create of the new one.
MarkKind LinkChecks(const FileOperation* op, const Utf16Unit* oldPath, const Utf16Unit* newPath,
                    uint8_t* deferred) {
    MarkKind mark = RenameChecks(op, oldPath, newPath, deferred);
    if (mark != MarkKind::None || newPath[0] == 0 || IsTemporaryName(newPath)) {
        return mark;
    }
    SessionFacts facts;
    ReadSession(op, &facts);
    AccessRule rule;
    if (!MatchUserRule(op, &facts, newPath, &rule)) {
        return MarkKind::None;
    }
    bool blocked = rule.DenyCreate != 0;
    if (!Defer(&rule, blocked, deferred, AnswerEventCreate) && rule.Report) {
        Report(op, &facts, FileEventCreate, blocked, newPath);
    }
    return blocked ? MarkKind::CreateNew : MarkKind::None;
}

} // namespace

MarkKind DecideRename(const FileOperation* op, const Utf16Unit* oldPath, const Utf16Unit* newPath) {
    return RenameChecks(op, oldPath, newPath, nullptr);
}

MarkKind DecideLink(const FileOperation* op, const Utf16Unit* oldPath, const Utf16Unit* newPath) {
    return LinkChecks(op, oldPath, newPath, nullptr);
}

MarkKind DecideReplacingRename(const FileOperation* op, const Utf16Unit* oldPath,
                               const Utf16Unit* newPath, bool link, bool replace,
                               ReplaceVerdict* verdict) {
    KmZeroMemory(verdict, sizeof *verdict);
    SessionFacts facts;
    ReadSession(op, &facts);
    // Replacing the target deletes it: the rule on the target's path decides that.
    AccessRule target;
    bool guarded = replace && newPath[0] != 0 && !IsTemporaryName(newPath) &&
                   MatchUserRule(op, &facts, newPath, &target);
    bool narrow = guarded && target.DenyDelete != 0;
    // A narrowed request's own events wait for the answer, which tells whether it was
    // carried out or refused for its target.
    uint8_t deferred = 0;
    uint8_t* defer = narrow ? &deferred : nullptr;
    MarkKind mark =
        link ? LinkChecks(op, oldPath, newPath, defer) : RenameChecks(op, oldPath, newPath, defer);
    if (mark != MarkKind::None) {
        if (deferred & AnswerEventRename) {
            ReportRename(op, &facts, false, oldPath, newPath); // a link refused for its name
        }
        return mark;
    }
    if (!guarded) {
        return MarkKind::None;
    }
    verdict->narrow = narrow;
    verdict->refusedReport = narrow ? target.Report : 0;
    verdict->deferred = deferred;
    verdict->onSuccess = !narrow && target.Report ? AnswerEventDelete : 0;
    verdict->watch = narrow || verdict->onSuccess != 0;
    return MarkKind::None;
}

void ReportAnswerEvent(const FileOperation* op, uint8_t kind, bool blocked, const Utf16Unit* text,
                       uint32_t units) {
    SessionFacts facts;
    ReadSession(op, &facts);
    ReportUnits(op, &facts, kind, blocked, text, units);
}

MarkKind DecideQuery(const FileOperation* op, const Utf16Unit* path, MarkKind queryMark) {
    if (path[0] == 0) {
        return MarkKind::None;
    }
    SessionFacts facts;
    ReadSession(op, &facts);
    AccessRule rule;
    if (!MatchUserRule(op, &facts, path, &rule) || !rule.KnownClientsOnly) {
        return MarkKind::None;
    }
    return ClientIsKnown(op, &facts) ? MarkKind::None : queryMark;
}
