// SMB1 replies: what the file service answers. They complete tree connects and creates
// and carry the denials of spoiled requests.
#include "denial_marks.h"
#include "engine_state.h"
#include "session_state.h"
#include "smb_dispatch.h"
#include "smb_handlers.h"
#include "smb_protocol.h"
#include "tree_recording.h"
#include "wire.h"

namespace {

const uint32_t Smb1Status = 5;
const uint32_t Smb1Tid = 24;
const uint32_t Smb1Uid = 28;
const uint32_t Smb1Mid = 30;
const uint32_t Words = Smb1HeaderLength;
const uint32_t NtCreateFid = Words + 6;
const uint32_t MaxPendingNameBytes = 2046;

uint16_t UidOf(const uint8_t* h) {
    return ReadU16Le(h + Smb1Uid);
}
uint32_t StatusOf(const uint8_t* h) {
    return ReadU32Le(h + Smb1Status);
}
TableKey RequestKey(const uint8_t* h) {
    return TableKey{ReadU16Le(h + Smb1Mid), UidOf(h)};
}

bool Rewrite(SmbMessage* m, const MarkKind* kinds, uint32_t count) {
    return RewriteStatusFromMarks(SmbDialect::Smb1, kinds, count, RequestKey(m->header), m->header,
                                  m->atDispatch);
}

bool DecodeRename(SmbMessage* m) {
    const MarkKind marks[] = {MarkKind::Rename};
    return Rewrite(m, marks, 1);
}

bool DecodeWriteAndX(SmbMessage* m) {
    const MarkKind marks[] = {MarkKind::Write};
    return Rewrite(m, marks, 1);
}

bool DecodeTransaction2(SmbMessage* m) {
    const MarkKind marks[] = {MarkKind::Delete, MarkKind::QueryFile, MarkKind::QueryPath};
    return Rewrite(m, marks, 3);
}

bool DecodeTreeConnect(SmbMessage* m) {
    const uint8_t* h = m->header;
    RecordTreeConnect(m, g_Engine.Smb1.PendingTreeConnects, RequestKey(h), UidOf(h),
                      ReadU16Le(h + Smb1Tid), StatusOf(h));
    return false;
}

bool DecodeNtCreate(SmbMessage* m) {
    const uint8_t* h = m->header;
    uint32_t length = MaxPendingNameBytes;
    if (KeyedTableLookup(g_Engine.Smb1.PendingCreates, m->atDispatch, RequestKey(h), m->work,
                         &length)) {
        KeyedTableDelete(g_Engine.Smb1.PendingCreates, m->atDispatch, RequestKey(h));
        if (StatusOf(h) == 0 && SmbMessageHas(m, NtCreateFid, 2)) {
            TableKey file{ReadU16Le(h + NtCreateFid), UidOf(h)};
            KeyedTableInsert(g_Engine.OpenFileTable, m->atDispatch, file, m->work, length);
        }
    }
    const MarkKind marks[] = {MarkKind::UnknownSession, MarkKind::CreateAccess,
                              MarkKind::CreateDelete, MarkKind::CreateNew, MarkKind::CreateClient};
    return Rewrite(m, marks, 5);
}

const SmbCommandEntry CommandTable[] = {
    {Smb1Rename, DecodeRename},
    {Smb1WriteAndX, DecodeWriteAndX},
    {Smb1Transaction2, DecodeTransaction2},
    {Smb1TreeConnectAndX, DecodeTreeConnect},
    {Smb1NtCreateAndX, DecodeNtCreate},
};

} // namespace

bool HandleSmb1Response(uint8_t* netbios, uint8_t* header, uint32_t available, FrameView* view,
                        bool atDispatch) {
    return DispatchSmbMessage(SmbDialect::Smb1, SmbDirection::Response, CommandTable,
                              sizeof CommandTable / sizeof CommandTable[0], netbios, header,
                              available, view, atDispatch);
}
