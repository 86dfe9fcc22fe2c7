#include "file_policy.h"

#include "engine_state.h"
#include "policy.h"
#include "pool.h"
#include "report_rings.h"
#include "session_state.h"
#include "text.h"

namespace {

const uint32_t FileReadData = 0x00000001;
const uint32_t ShareDeleteOnly = 0x00000004;   // FILE_SHARE_DELETE alone
const uint32_t FileCreate = 2;                 // CreateDisposition
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
    facts->haveUser = GetSessionUser(op->atDispatch, op->session, &facts->user);
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

void Report(const FileOperation* op, const SessionFacts* facts, uint8_t kind, bool blocked,
            const Utf16Unit* path) {
    uint32_t units = Utf16Length(path, FullPathScanUnits);
    ReportFileEvent(op->atDispatch, op->clientAddress, op->clientMac, kind, blocked ? 1 : 0,
                    facts->haveUser ? &facts->user : nullptr, path, units * sizeof(Utf16Unit));
}

bool ClientIsKnown(const FileOperation* op, const SessionFacts* facts) {
    uint8_t stored;
    return IsAdmittedClient(op->atDispatch, op->clientAddress, &stored) ||
           IsKnownClient(op->atDispatch, op->clientMac, op->clientAddress, facts->user.UserName,
                         facts->user.WorkstationName);
}

// The checks that run in order on an allowed create; the first denial ends them.
MarkKind CheckCreateAccess(const FileOperation* op, const SessionFacts* facts,
                           const AccessRule* rule, const CreateRequest* request,
                           const Utf16Unit* path) {
    bool temporary = IsTemporaryName(path);
    if (request->desiredAccess & FileReadData) {
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
    if (request->createDisposition == FileCreate && !temporary) {
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
    uint32_t n = 0;
    const Utf16Unit* parts[] = {oldPath, RenameArrow, newPath};
    const uint32_t lengths[] = {Utf16Length(oldPath, FullPathScanUnits), 4,
                                Utf16Length(newPath, FullPathScanUnits)};
    for (int p = 0; p < 3; ++p) {
        for (uint32_t i = 0; i < lengths[p] && n < RenameEventUnits; ++i) {
            joined[n++] = parts[p][i];
        }
    }
    joined[n] = 0;
    Report(op, facts, FileEventRename, blocked, joined);
    EngineFree(joined, (RenameEventUnits + 1) * sizeof(Utf16Unit));
}

} // namespace

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

MarkKind DecideCreate(const FileOperation* op, const CreateRequest* request, Utf16Unit* path) {
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
    return CheckCreateAccess(op, &facts, &rule, request, path);
}

MarkKind DecideWrite(const FileOperation* op, const Utf16Unit* path) {
    return DecideOnOpenFile(op, path, &AccessRule::DenyModify, FileEventModify, MarkKind::Write);
}

MarkKind DecideDelete(const FileOperation* op, const Utf16Unit* path) {
    return DecideOnOpenFile(op, path, &AccessRule::DenyDelete, FileEventDelete, MarkKind::Delete);
}

MarkKind DecideRename(const FileOperation* op, const Utf16Unit* oldPath, const Utf16Unit* newPath) {
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
    if (rule.Report) {
        ReportRename(op, &facts, blocked, oldPath, newPath);
    }
    return blocked ? MarkKind::Rename : MarkKind::None;
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
