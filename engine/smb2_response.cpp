// SMB2 responses: what the file service answers. They complete what the requests began
// (trees, open files, guest sessions) and carry the denials of spoiled requests.
#include "create_answer.h"
#include "denial_marks.h"
#include "engine_state.h"
#include "session_state.h"
#include "smb_dispatch.h"
#include "smb_handlers.h"
#include "smb_protocol.h"
#include "smb_request_common.h"
#include "state_changes.h"
#include "text.h"
#include "tree_recording.h"
#include "wire.h"

namespace {

const uint32_t Smb2Status = 8;
const uint32_t StatusPending = 0x00000103;
const uint32_t Body = Smb2HeaderLength;
const uint32_t SessionSetupFlags = Body + 2;
const uint16_t SessionFlagIsGuest = 0x0001;
const uint32_t CreateAction = Body + 4;
const uint32_t WriteCount = Body + 4;
const uint32_t CreateFileId = Body + 64;
const uint32_t FileIdBytes = 16;
const uint32_t MaxPendingNameBytes = 2046;

uint64_t SessionOf(const uint8_t* h) {
    return ReadU64Le(h + Smb2SessionId);
}
uint32_t StatusOf(const uint8_t* h) {
    return ReadU32Le(h + Smb2Status);
}
TableKey RequestKey(const SmbMessage* m) {
    return MessageRequestKey(SmbDialect::Smb2, m);
}

FileOperation OperationOf(const SmbMessage* m) {
    return OperationFor(m, SessionOf(m->header), ReadU32Le(m->header + Smb2TreeId));
}

// `done`: the answer shows that the server carried the request out.
bool Rewrite(SmbMessage* m, const MarkKind* kinds, uint32_t count, bool done) {
    FileOperation op = OperationOf(m);
    return RewriteStatusFromMarks(SmbDialect::Smb2, kinds, count, m, done, &op);
}

bool Succeeded(const SmbMessage* m) {
    return StatusOf(m->header) == 0;
}

// Session set-ups, logoffs, tree disconnects and closes change the engine's picture only
// when the server says they happened.
bool DecodeSessionSetup(SmbMessage* m) {
    bool guest = SmbMessageHas(m, SessionSetupFlags, 2) &&
                 (ReadU16Le(m->header + SessionSetupFlags) & SessionFlagIsGuest) != 0;
    SettleStateChange(m, SmbDialect::Smb2, RequestKey(m), SessionOf(m->header), StatusOf(m->header),
                      guest);
    return false;
}

bool DecodeStateChange(SmbMessage* m) {
    SettleStateChange(m, SmbDialect::Smb2, RequestKey(m), SessionOf(m->header), StatusOf(m->header),
                      false);
    return false;
}

bool DecodeTreeConnect(SmbMessage* m) {
    const uint8_t* h = m->header;
    RecordTreeConnect(m, g_Engine.Smb2.PendingTreeConnects, RequestKey(m), SessionOf(h),
                      ReadU32Le(h + Smb2TreeId), StatusOf(h));
    return false;
}

bool DecodeCreate(SmbMessage* m) {
    const uint8_t* h = m->header;
    uint32_t length = MaxPendingNameBytes;
    if (KeyedTableTake(g_Engine.Smb2.PendingCreates, m->atDispatch, RequestKey(m), SmbWork(m),
                       &length)) {
        if (StatusOf(h) == 0 && SmbMessageHas(m, CreateFileId, FileIdBytes)) {
            const uint8_t* id = h + CreateFileId;
            TableKey file{ReadU64Le(id), ReadU64Le(id + 8)};
            KeyedTableInsertOwned(g_Engine.OpenFileTable, m->atDispatch, file, SmbWork(m), length,
                                  m->clientAddress, SessionRank(m->atDispatch, SessionOf(h)));
        }
    }
    const MarkKind marks[] = {MarkKind::UnknownSession, MarkKind::CreateAccess,
                              MarkKind::CreateDelete,   MarkKind::CreateNew,
                              MarkKind::CreateClient,   MarkKind::Write};
    bool rewrote = Rewrite(m, marks, 6, Succeeded(m));
    uint32_t status = StatusOf(h);
    CreateAnswer answer{RequestKey(m), SessionOf(h), ReadU32Le(h + Smb2TreeId), status,
                        status == 0 && SmbMessageHas(m, CreateAction, 4)
                            ? ReadU32Le(h + CreateAction)
                            : ActionUnknown};
    return SettleCreateOutcome(m, SmbDialect::Smb2, &answer,
                               reinterpret_cast<Utf16Unit*>(SmbWork(m))) ||
           rewrote;
}

// A write of no bytes is what a spoiled write may come to: only a count above 0 says
// that data was written.
bool DecodeWrite(SmbMessage* m) {
    const MarkKind marks[] = {MarkKind::Write};
    bool wrote =
        Succeeded(m) && SmbMessageHas(m, WriteCount, 4) && ReadU32Le(m->header + WriteCount) != 0;
    return Rewrite(m, marks, 1, wrote);
}

bool DecodeIoctl(SmbMessage* m) {
    const MarkKind marks[] = {MarkKind::Write};
    return Rewrite(m, marks, 1, Succeeded(m));
}

bool DecodeQueryInfo(SmbMessage* m) {
    const MarkKind marks[] = {MarkKind::QueryInfo};
    return Rewrite(m, marks, 1, Succeeded(m));
}

bool DecodeSetInfo(SmbMessage* m) {
    const MarkKind marks[] = {MarkKind::Rename, MarkKind::Delete, MarkKind::Write,
                              MarkKind::CreateNew};
    bool rewrote = Rewrite(m, marks, 4, Succeeded(m));
    const uint8_t* h = m->header;
    return SettleReplaceOutcome(m, SmbDialect::Smb2, RequestKey(m), SessionOf(h),
                                ReadU32Le(h + Smb2TreeId), StatusOf(h)) ||
           rewrote;
}

constexpr SmbCommandEntry CommandTable[] = {
    {Smb2SessionSetup, DecodeSessionSetup},
    {Smb2Logoff, DecodeStateChange},
    {Smb2TreeDisconnect, DecodeStateChange},
    {Smb2Close, DecodeStateChange},
    {Smb2TreeConnect, DecodeTreeConnect},
    {Smb2Create, DecodeCreate},
    {Smb2Write, DecodeWrite},
    {Smb2Ioctl, DecodeIoctl},
    {Smb2QueryInfo, DecodeQueryInfo},
    {Smb2SetInfo, DecodeSetInfo},
};
constexpr SmbDecoderIndex Decoders = IndexDecoders(CommandTable);

// The status of the compound member just before `header`, found by walking the members
// from the message start (they lie whole before it, already decided); false for the
// first member.
bool PreviousMemberStatus(const uint8_t* netbios, const uint8_t* header, uint32_t* status) {
    const uint8_t* member = netbios + NetbiosHeaderLength;
    const uint8_t* previous = nullptr;
    while (member + Smb2HeaderLength <= header) {
        previous = member;
        uint32_t room = uint32_t(header - member);
        uint32_t next = ReadU32Le(member + Smb2NextCommand);
        if (next < Smb2HeaderLength || next % Smb2CompoundAlignment != 0 || next > room) {
            break;
        }
        member += next;
    }
    if (previous == nullptr || member != header) {
        return false;
    }
    *status = StatusOf(previous);
    return true;
}

// A server fails the related members after a failed one with the same status. When the
// client was told that the earlier member was denied, the failures that follow from it
// are denials too: a member that failed is never one the server carried out.
bool FollowRelatedDenial(uint8_t* netbios, uint8_t* header) {
    uint32_t status = StatusOf(header);
    uint32_t previous;
    if ((ReadU32Le(header + Smb2Flags) & Smb2FlagRelatedOperations) == 0 || status == 0 ||
        status == StatusPending || status == StatusAccessDenied ||
        !PreviousMemberStatus(netbios, header, &previous) || previous != StatusAccessDenied) {
        return false;
    }
    WriteAccessDenied(SmbDialect::Smb2, header);
    return true;
}

} // namespace

bool HandleSmb2Response(uint8_t* netbios, uint8_t* header, uint32_t available, FrameView* view,
                        bool atDispatch) {
    // An interim answer (the request goes on asynchronously) settles nothing: the marks,
    // pending creates and outcomes wait for the final one.
    if (available >= Smb2HeaderLength && StatusOf(header) == StatusPending) {
        return false;
    }
    bool rewrote = DispatchSmbMessage(SmbDialect::Smb2, SmbDirection::Response, &Decoders, netbios,
                                      header, available, view, atDispatch);
    return FollowRelatedDenial(netbios, header) || rewrote;
}
