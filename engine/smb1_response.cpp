// SMB1 replies: what the file service answers. They complete tree connects and creates
// (learning the file id of every command that opens one) and carry the denials of spoiled
// requests. A chained reply holds one reply per command the server ran; the header's
// status is the last one's.
#include "create_answer.h"
#include "denial_marks.h"
#include "engine_state.h"
#include "session_state.h"
#include "smb1_andx.h"
#include "smb_dispatch.h"
#include "smb_handlers.h"
#include "smb_protocol.h"
#include "smb_request_common.h"
#include "state_changes.h"
#include "tree_recording.h"
#include "wire.h"

namespace {

const uint32_t Smb1Status = 5;
const uint32_t Smb1Flags2 = 10;
const uint16_t Smb1Flags2NtStatus = 0x4000;
const uint32_t Smb1Tid = 24;
const uint32_t Words = Smb1HeaderLength;
const uint32_t NtCreateFid = Words + 6;
const uint32_t NtCreateAction = Words + 8;
const uint32_t OpenAndXFid = Words + 5;
const uint32_t OpenAndXResults = Words + 23;
const uint32_t CoreOpenFid = Words + 1; // OPEN, CREATE, CREATE_NEW
const uint32_t WriteCount = Words + 1;  // WRITE, WRITE_AND_CLOSE, WRITE_AND_UNLOCK
const uint32_t WriteAndXCount = Words + 5;
const uint32_t WriteAndXCountHigh = Words + 9;
const uint32_t Trans2ParameterOffset = Words + 9;
const uint32_t Open2Fid = 0;
const uint32_t Open2Action = 18;
const uint32_t NtTransParameterOffset = Words + 16;
const uint32_t NtTransCreateFid = 2;
const uint32_t NtTransCreateAction = 4;
const uint32_t MaxPendingNameBytes = 2046;
const uint16_t OpenResultMask = 0x0003; // 1 opened, 2 created, 3 truncated
// The DOS error forms (class ERRDOS, then the code) of the statuses a narrowed create
// draws: ERRbadfile and ERRfilexists.
const uint32_t DosBadFile = 0x00020001;
const uint32_t DosFileExists = 0x00500001;

// Every mark a reply to a create-like request may carry.
const MarkKind CreateMarks[] = {MarkKind::UnknownSession, MarkKind::CreateAccess,
                                MarkKind::CreateDelete,   MarkKind::CreateNew,
                                MarkKind::CreateClient,   MarkKind::Write};
const uint32_t CreateMarkCount = sizeof CreateMarks / sizeof CreateMarks[0];

uint16_t UidOf(const uint8_t* h) {
    return ReadU16Le(h + Smb1Uid);
}
uint32_t StatusOf(const uint8_t* h) {
    return ReadU32Le(h + Smb1Status);
}
TableKey RequestKey(const SmbMessage* m) {
    return MessageRequestKey(SmbDialect::Smb1, m);
}

// The status of this command of the chain: the header's belongs to the last one, every
// command before it was carried out.
uint32_t CommandStatus(const SmbMessage* m) {
    return m->finalCommand ? StatusOf(m->header) : 0;
}

// The status as an NT status; the DOS forms of "no such file" and "file exists" too.
uint32_t NtStatusOf(const SmbMessage* m) {
    const uint8_t* h = m->header;
    uint32_t status = CommandStatus(m);
    if ((ReadU16Le(h + Smb1Flags2) & Smb1Flags2NtStatus) != 0) {
        return status;
    }
    if (status == DosBadFile) {
        return StatusObjectNameNotFound;
    }
    return status == DosFileExists ? StatusObjectNameCollision : status;
}

// `done`: the answer shows that the server carried the request out. The commands of a
// chain share the request's key, and a refused command ends the chain: its marks are
// settled by the last command of the reply.
bool Rewrite(SmbMessage* m, const MarkKind* kinds, uint32_t count, bool done) {
    if (!m->finalCommand) {
        return false;
    }
    const uint8_t* h = m->header;
    FileOperation op = OperationFor(m, UidOf(h), ReadU16Le(h + Smb1Tid));
    return RewriteStatusFromMarks(SmbDialect::Smb1, kinds, count, m, done, &op);
}

// This command of the chain succeeded (a command before the last one was carried out).
bool Succeeded(const SmbMessage* m) {
    return CommandStatus(m) == 0;
}

// A transaction's success without parameter words is the interim answer that asks for
// the rest of the request; only the final answer shows that it was carried out.
bool TransactionDone(const SmbMessage* m) {
    return Succeeded(m) && SmbMessageHas(m, Words, 1) && m->base[Words] != 0;
}

// Where a create reply carries what the server did.
struct CreateReplyFields {
    uint32_t fid;      // header-relative
    uint32_t action;   // header-relative; 0 when the reply does not say
    bool legacyAction; // OpenResults / ActionTaken (1 opened, 2 created, 3 truncated)
};

uint32_t ActionOf(const SmbMessage* m, const CreateReplyFields* at) {
    if (at->action == 0 || CommandStatus(m) != 0 ||
        !SmbMessageHas(m, at->action, at->legacyAction ? 2 : 4)) {
        return ActionUnknown;
    }
    if (!at->legacyAction) {
        return ReadU32Le(m->base + at->action);
    }
    const uint32_t byResult[] = {ActionUnknown, ActionOpened, ActionCreated, ActionOverwritten};
    return byResult[ReadU16Le(m->base + at->action) & OpenResultMask];
}

// A reply to a request that opens or creates: records the file id under the name the
// request sent, carries the request's denial, and settles a watched outcome.
bool AnswerCreate(SmbMessage* m, const CreateReplyFields* at) {
    const uint8_t* h = m->header;
    uint32_t length = MaxPendingNameBytes;
    if (KeyedTableTake(g_Engine.Smb1.PendingCreates, m->atDispatch, RequestKey(m), SmbWork(m),
                       &length)) {
        if (CommandStatus(m) == 0 && at->fid != 0 && SmbMessageHas(m, at->fid, 2)) {
            TableKey file{ReadU16Le(m->base + at->fid), UidOf(h)};
            KeyedTableInsertOwned(g_Engine.OpenFileTable, m->atDispatch, file, SmbWork(m), length,
                                  m->clientAddress, SessionRank(m->atDispatch, UidOf(h)));
        }
    }
    bool rewrote = Rewrite(m, CreateMarks, CreateMarkCount, Succeeded(m));
    CreateAnswer answer{RequestKey(m), UidOf(h), ReadU16Le(h + Smb1Tid), NtStatusOf(m),
                        ActionOf(m, at)};
    return SettleCreateOutcome(m, SmbDialect::Smb1, &answer,
                               reinterpret_cast<Utf16Unit*>(SmbWork(m))) ||
           rewrote;
}

bool DecodeNtCreate(SmbMessage* m) {
    const CreateReplyFields at{NtCreateFid, NtCreateAction, false};
    return AnswerCreate(m, &at);
}

bool DecodeOpenAndX(SmbMessage* m) {
    const CreateReplyFields at{OpenAndXFid, OpenAndXResults, true};
    return AnswerCreate(m, &at);
}

bool DecodeCoreOpen(SmbMessage* m) {
    const CreateReplyFields at{CoreOpenFid, 0, false};
    return AnswerCreate(m, &at);
}

// Create marks only: a directory has no file id to learn.
bool DecodeCreateDirectory(SmbMessage* m) {
    return Rewrite(m, CreateMarks, CreateMarkCount, Succeeded(m));
}

bool DecodeDelete(SmbMessage* m) {
    const MarkKind marks[] = {MarkKind::Delete};
    return Rewrite(m, marks, 1, Succeeded(m));
}

// A rename, or a link: a link may be refused as a create of its new name.
bool DecodeRename(SmbMessage* m) {
    const MarkKind marks[] = {MarkKind::Rename, MarkKind::CreateNew};
    return Rewrite(m, marks, 2, Succeeded(m));
}

// Only a count above 0 says that data was written (a spoiled WRITE_ANDX writes nothing
// and succeeds). WRITE_RAW and WRITE_MPX answers carry no count: their success is taken
// as done.
bool DecodeWrite(SmbMessage* m) {
    const MarkKind marks[] = {MarkKind::Write};
    const uint8_t* b = m->base;
    uint8_t command = *m->command;
    bool done = Succeeded(m);
    if (command == Smb1WriteAndX) {
        done = done && SmbMessageHas(m, WriteAndXCountHigh, 2) &&
               (ReadU16Le(b + WriteAndXCount) | ReadU16Le(b + WriteAndXCountHigh)) != 0;
    } else if (command != Smb1WriteRaw && command != Smb1WriteMpx) {
        done = done && SmbMessageHas(m, WriteCount, 2) && ReadU16Le(b + WriteCount) != 0;
    }
    return Rewrite(m, marks, 1, done);
}

// A transaction reply's parameter offset (from the header) counted from the command's
// base; 0 (no block) when it points before the base.
uint32_t ParameterBlock(const SmbMessage* m, uint32_t offset) {
    uint32_t shift = uint32_t(m->base - m->header);
    return offset > shift ? offset - shift : 0;
}

// The fields of a transaction reply's parameter block, when it holds a create's answer.
// A reply without a parameter block holding both fields has neither.
bool DecodeTransactionCreate(SmbMessage* m, uint32_t parameters, uint32_t fid, uint32_t action,
                             bool legacyAction) {
    bool present = parameters != 0 && SmbMessageHas(m, parameters, action + 4);
    const CreateReplyFields at{present ? parameters + fid : 0, present ? parameters + action : 0,
                               legacyAction};
    return AnswerCreate(m, &at);
}

bool DecodeTransaction2(SmbMessage* m) {
    const MarkKind marks[] = {MarkKind::Delete, MarkKind::QueryFile, MarkKind::QueryPath,
                              MarkKind::Rename, MarkKind::Write,     MarkKind::CreateNew};
    bool rewrote = Rewrite(m, marks, 6, TransactionDone(m));
    const uint8_t* h = m->header;
    rewrote = SettleReplaceOutcome(m, SmbDialect::Smb1, RequestKey(m), UidOf(h),
                                   ReadU16Le(h + Smb1Tid), NtStatusOf(m)) ||
              rewrote;
    // TRANS2_OPEN2 and TRANS2_CREATE_DIRECTORY answers: the file id and what was done
    // stand in the parameter block (an error reply has none).
    uint32_t parameters = SmbMessageHas(m, Trans2ParameterOffset, 2)
                              ? ParameterBlock(m, ReadU16Le(m->base + Trans2ParameterOffset))
                              : 0;
    return DecodeTransactionCreate(m, parameters, Open2Fid, Open2Action, true) || rewrote;
}

bool DecodeNtTransact(SmbMessage* m) {
    const MarkKind marks[] = {MarkKind::Write};
    bool rewrote = Rewrite(m, marks, 1, TransactionDone(m));
    uint32_t parameters = SmbMessageHas(m, NtTransParameterOffset, 4)
                              ? ParameterBlock(m, ReadU32Le(m->base + NtTransParameterOffset))
                              : 0;
    return DecodeTransactionCreate(m, parameters, NtTransCreateFid, NtTransCreateAction, false) ||
           rewrote;
}

// Session set-ups, logoffs, tree disconnects and closes change the engine's picture only
// when the server says they happened (a command before the last of a chain was carried out).
bool DecodeStateChange(SmbMessage* m) {
    const uint8_t* h = m->header;
    SettleStateChange(m, SmbDialect::Smb1, RequestKey(m), UidOf(h), CommandStatus(m), false);
    return false;
}

bool DecodeTreeConnect(SmbMessage* m) {
    const uint8_t* h = m->header;
    RecordTreeConnect(m, g_Engine.Smb1.PendingTreeConnects, RequestKey(m), UidOf(h),
                      ReadU16Le(h + Smb1Tid), CommandStatus(m));
    return false;
}

constexpr SmbCommandEntry CommandTable[] = {
    {Smb1Close, DecodeStateChange},
    {Smb1TreeDisconnect, DecodeStateChange},
    {Smb1SessionSetupAndX, DecodeStateChange},
    {Smb1LogoffAndX, DecodeStateChange},
    {Smb1CreateDirectory, DecodeCreateDirectory},
    {Smb1DeleteDirectory, DecodeDelete},
    {Smb1Open, DecodeCoreOpen},
    {Smb1Create, DecodeCoreOpen},
    {Smb1Delete, DecodeDelete},
    {Smb1Rename, DecodeRename},
    {Smb1Write, DecodeWrite},
    {Smb1CreateNew, DecodeCoreOpen},
    {Smb1WriteAndUnlock, DecodeWrite},
    {Smb1WriteRaw, DecodeWrite},
    {Smb1WriteMpx, DecodeWrite},
    {Smb1WriteAndClose, DecodeWrite},
    {Smb1OpenAndX, DecodeOpenAndX},
    {Smb1WriteAndX, DecodeWrite},
    {Smb1Transaction2, DecodeTransaction2},
    {Smb1TreeConnectAndX, DecodeTreeConnect},
    {Smb1NtTransact, DecodeNtTransact},
    {Smb1NtCreateAndX, DecodeNtCreate},
    {Smb1NtRename, DecodeRename},
};
constexpr SmbDecoderIndex Decoders = IndexDecoders(CommandTable);

} // namespace

bool HandleSmb1Response(uint8_t* netbios, uint8_t* header, uint32_t available, FrameView* view,
                        bool atDispatch) {
    return DispatchAndXChain(SmbDirection::Response, &Decoders, netbios, header, available, view,
                             atDispatch);
}
