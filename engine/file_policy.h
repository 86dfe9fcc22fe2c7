// The decisions on file operations: whether a create, write, delete, rename or
// information query is denied, which mark remembers the denial until the response, and
// what is reported. The same for both dialects; only the spoiling and the keys differ.
#pragma once

#include <stdint.h>

#include "records.h"

// Where a denial is remembered; each kind draws its own status into the response.
enum class MarkKind : uint8_t {
    None,
    UnknownSession, // STATUS_USER_SESSION_DELETED; the others STATUS_ACCESS_DENIED
    CreateAccess,
    CreateDelete,
    CreateNew,
    CreateClient,
    Write,
    Delete,
    Rename,
    QueryInfo,
    QueryFile,
    QueryPath,
};

enum FileEventKind : uint8_t {
    FileEventDelete = 1,
    FileEventModify = 2,
    FileEventRename = 3,
    FileEventRead = 4,
    FileEventCreate = 5,
    FileEventUnknownClient = 10,
    FileEventDenyAll = 12,
    // A session the engine cannot read or rewrite (reported once per session and kind).
    FileEventEncryptedSession = 20,
    FileEventCompressedSession = 21,
    FileEventSignedSession = 22,
};

// The event a denial reported, kept with the denial's mark: where the answer shows that
// the server carried the request out all the same, the event is reported again, not
// blocked. Its path holds what an event record holds.
const uint32_t DenialNotePathUnits = FileEventPathMaxText / sizeof(Utf16Unit);
struct DenialNote {
    uint8_t kind; // 0: no blocked event was reported
    uint8_t reserved;
    uint16_t units;
    Utf16Unit path[DenialNotePathUnits];
};
const uint32_t DenialNoteHeaderBytes = 4;

// Who asks, and where.
struct FileOperation {
    bool atDispatch;
    uint64_t session;
    uint32_t treeId;
    uint64_t clientMac;
    uint32_t clientAddress;
    uint32_t clientPorts;          // the connection: client port << 16 | server port
    DenialNote* denial;            // receives the blocked event of a denial; may be null
    const uint8_t* clientAddress6; // an IPv6 client's 16 address bytes; null for IPv4
};

// Create dispositions, as NT create requests carry them.
enum CreateDisposition : uint32_t {
    DispositionSupersede = 0,
    DispositionOpen = 1,
    DispositionCreate = 2,
    DispositionOpenIf = 3,
    DispositionOverwrite = 4,
    DispositionOverwriteIf = 5,
};

inline uint32_t DispositionBit(uint32_t disposition) {
    return 1u << disposition;
}
// Every disposition: what NT create requests can carry.
const uint32_t AllDispositions = 0x3F;

struct CreateRequest {
    uint32_t desiredAccess;
    uint32_t shareAccess;
    uint32_t createDisposition;
    uint32_t createOptions;
    uint32_t nameBytes; // as sent; 0 opens the share's root
    // The dispositions the request's command can be rewritten to (DispositionBit each).
    uint32_t expressible;
};

// What the server's answer to an allowed create must settle: whether a create narrowed
// by a rule was refused because it would have gone beyond the rule, and what it did.
struct CreateOutcome {
    uint32_t refusedStatus; // the answer of a narrowed create that the rule would forbid
    uint8_t refusedKind;    // the event kind of that refusal
    uint8_t report;         // the rule asks for reports
    uint8_t unsaidKind;     // reported for a success whose answer does not say what it did
    uint8_t reserved;
};

// The create decision: a denial, or the disposition to send (narrowed, or as sent) and
// whether the answer is to be watched.
struct CreateVerdict {
    MarkKind mark;
    uint32_t disposition;
    bool watch;
    CreateOutcome outcome;
};

// What an answer says the server did with a create (the NT CreateAction values).
enum CreateAction : uint32_t {
    ActionSuperseded = 0,
    ActionOpened = 1,
    ActionCreated = 2,
    ActionOverwritten = 3,
    ActionUnknown = 0xFFFFFFFF, // the answer does not say
};

const uint32_t StatusObjectNameNotFound = 0xC0000034;
const uint32_t StatusObjectNameCollision = 0xC0000035;

// Units of the path buffers the decoders pass in (the 2048-byte work buffer).
const uint32_t PathBufferUnits = 1024;

bool IsOfficeDocument(const Utf16Unit* path);
bool IsTemporaryName(const Utf16Unit* path);

// `path` holds the name as sent (terminated) and becomes its full path. The caller has
// already passed the IPC$ and shape tests. Returns `verdict->mark`.
MarkKind DecideCreate(const FileOperation* op, const CreateRequest* request, Utf16Unit* path,
                      CreateVerdict* verdict);
// The answer to a watched create, with the full path of its name: true when the answer
// must reach the client as an access denial. Reports what the answer shows.
bool DecideCreateOutcome(const FileOperation* op, const CreateOutcome* outcome, uint32_t status,
                         uint32_t action, const Utf16Unit* path);
// `path` is the full path of the open file (empty when the file is unknown). Every change
// of an open file's content or size is a write: end of file, allocation, server-side copies.
MarkKind DecideWrite(const FileOperation* op, const Utf16Unit* path);
// Deletes by disposition, and deletes by name (the path may hold a wildcard mask).
MarkKind DecideDelete(const FileOperation* op, const Utf16Unit* path);
MarkKind DecideRename(const FileOperation* op, const Utf16Unit* oldPath, const Utf16Unit* newPath);
// A second name for a file (a hard link, or a copy made by name): decided as a rename of
// the old path, then as a create of the new one.
MarkKind DecideLink(const FileOperation* op, const Utf16Unit* oldPath, const Utf16Unit* newPath);

// Event bits of a rename or link whose events wait for its answer.
const uint8_t AnswerEventRename = 0x01; // "old => new"
const uint8_t AnswerEventCreate = 0x02; // the new name (a link)
const uint8_t AnswerEventDelete = 0x04; // the replaced target

// What the answer to an allowed rename or link that asked to replace its target settles.
// A rule that denies deleting the target narrows the request to its non-replacing form:
// the server's "name collision" then means the target existed, and reaches the client as
// an access denial. Under a rule that only reports, a success may have replaced the
// target, so it is reported as a delete of it too.
struct ReplaceVerdict {
    bool narrow;           // clear the request's replace flag
    bool watch;            // the answer must be settled
    uint8_t refusedReport; // report the refusal as a blocked delete of the target
    uint8_t deferred;      // events reported on every answer but the refusal
    uint8_t onSuccess;     // events reported only on a success
};

// A rename (or, with `link`, a link) that asks to replace an existing target when
// `replace`: the decision of DecideRename or DecideLink, and what its answer settles.
MarkKind DecideReplacingRename(const FileOperation* op, const Utf16Unit* oldPath,
                               const Utf16Unit* newPath, bool link, bool replace,
                               ReplaceVerdict* verdict);

// Reports `units` units of `text` as an event of the session's user, as the answers do.
void ReportAnswerEvent(const FileOperation* op, uint8_t kind, bool blocked, const Utf16Unit* text,
                       uint32_t units);

// The joined "old => new" text of a rename event, within `capacity` units (terminated);
// returns its length.
uint32_t JoinRenameText(const Utf16Unit* oldPath, const Utf16Unit* newPath, Utf16Unit* out,
                        uint32_t capacity);

// `queryMark` is the dialect's query mark (QueryInfo, QueryFile or QueryPath).
MarkKind DecideQuery(const FileOperation* op, const Utf16Unit* path, MarkKind queryMark);
