// SMB1 requests: what clients ask of the file service. Every command of an AndX chain is
// decided by its own rule (smb1_andx.h). Names are UTF-16 when the request says so
// (SMB_FLAGS2_UNICODE), and 8-bit otherwise, widened unit by unit so that rules apply to them too.
#include "denial_marks.h"
#include "engine_state.h"
#include "pool.h"
#include "session_state.h"
#include "smb1_andx.h"
#include "smb1_fields.h"
#include "smb_dispatch.h"
#include "smb_handlers.h"
#include "smb_protocol.h"
#include "smb_request_common.h"
#include "tree_recording.h"
#include "wire.h"

using namespace smb1;

namespace {

const uint32_t CloseFid = Words + 1;
const uint32_t RenameOldName = Words + 6;
const uint32_t WriteAndXFid = Words + 5;
const uint32_t WriteAndXDataLengthHigh = Words + 19;
const uint32_t WriteAndXDataLength = Words + 21;
const uint32_t WriteAndXDataOffset = Words + 23;
const uint16_t WriteAndXDataOffsetSpoiled = 0xFFFF;
const uint32_t TreeConnectPasswordLength = Words + 7;
const uint32_t TreeConnectPassword = Words + 11;
const uint32_t SessionSetupBlobLength = Words + 15;
const uint32_t SessionSetupBlob = Words + 27;
const uint8_t SessionSetupExtendedWords = 12; // the form that carries a security blob
const uint32_t CreateDesiredAccess = Words + 16;
const uint32_t CreateShareAccess = Words + 32;
const uint32_t CreateDisposition = Words + 36;
const uint32_t CreateOptions = Words + 40;
const uint32_t CreateOptionsSpoiled = 0x00000041;

// The core commands' fields: the words, then ByteCount, a BufferFormat byte and the name.
const uint32_t DirectoryName = Words + 4;  // CREATE_DIRECTORY, DELETE_DIRECTORY
const uint32_t DeleteName = Words + 6;     // DELETE: SearchAttributes first
const uint32_t OpenAccessMode = Words + 1; // OPEN: AccessMode, SearchAttributes
const uint32_t OpenName = Words + 8;
const uint32_t CreateFileName = Words + 10; // CREATE, CREATE_NEW: attributes, time
const uint32_t WriteFid = Words + 1;        // every legacy write names its file first
const uint32_t NtRenameLevel = Words + 3;
const uint32_t NtRenameOldName = Words + 12;
const uint16_t NtRenameRenameFile = 0x0104; // the other levels link or copy
const uint32_t OpenAndXAccessMode = Words + 7;
const uint32_t OpenAndXOpenFunction = Words + 17;

const uint32_t FileWriteData = 0x00000002;
const uint32_t FileDirectoryFile = 0x00000001;

const uint32_t NameUnitsMax = PathBufferUnits; // names are copied within 1024 units
const uint32_t OldNameUnits = 1024;
const uint32_t NewNameUnits = 512;
const uint32_t NewNameBufferBytes = 1024;
const Utf16Unit Wildcard = '*';

bool DecodeSessionSetup(SmbMessage* m) {
    uint16_t blobLength;
    if (!SmbMessageHas(m, Words, 1) || m->base[Words] != SessionSetupExtendedWords ||
        !HasU16(m, SessionSetupBlobLength, &blobLength) ||
        !SmbMessageHas(m, SessionSetupBlob, blobLength)) {
        return false;
    }
    LearnSessionUser(m, SmbDialect::Smb1, RequestKey(m), m->base + SessionSetupBlob, blobLength,
                     false);
    return false;
}

bool DecodeTreeConnect(SmbMessage* m) {
    uint16_t passwordLength;
    if (!HasU16(m, TreeConnectPasswordLength, &passwordLength)) {
        return false;
    }
    bool unicode = IsUnicode(m);
    uint32_t pathAt = AlignedName(HeaderAt(m), TreeConnectPassword + passwordLength, unicode);
    WireName path;
    if (!ReadName(m, pathAt, unicode, WorkPath(m), NameUnitsMax, &path) || path.units == 0) {
        return false;
    }
    KeyedTableInsertOwned(g_Engine.Smb1.PendingTreeConnects, m->atDispatch, RequestKey(m),
                          SmbWork(m), path.units * sizeof(Utf16Unit), m->clientAddress);
    if (!m->finalCommand) {
        HoldChainTree(m, SessionOf(m), ChainTreeId(m->header), path.units * sizeof(Utf16Unit));
    }
    return false;
}

bool DecodeTreeDisconnect(SmbMessage* m) {
    HoldTreeDisconnect(m, SmbDialect::Smb1, RequestKey(m), TreeOf(m));
    return false;
}

bool DecodeLogoff(SmbMessage* m) {
    HoldLogoff(m, SmbDialect::Smb1, RequestKey(m));
    return false;
}

bool DecodeClose(SmbMessage* m) {
    uint16_t fid;
    if (HasU16(m, CloseFid, &fid)) {
        HoldClose(m, SmbDialect::Smb1, RequestKey(m), FileKey(m, fid));
    }
    return false;
}

bool InIpcTree(const SmbMessage* m) {
    return IsIpcTree(m->atDispatch, SessionOf(m), TreeOf(m));
}

bool DecodeNtCreate(SmbMessage* m) {
    uint8_t* h = m->base;
    if (!SmbMessageHas(m, Words, CreateOptions + 4 - Words) || InIpcTree(m)) {
        return false;
    }
    bool unicode = IsUnicode(m);
    WireName name;
    if (!ReadName(m, AlignedName(HeaderAt(m), NtCreateAndXName, unicode), unicode, WorkPath(m),
                  NameUnitsMax, &name)) {
        return false;
    }
    uint32_t nameBytes = name.units * sizeof(Utf16Unit);
    KeyedTableInsert(g_Engine.Smb1.PendingCreates, m->atDispatch, RequestKey(m), SmbWork(m),
                     nameBytes);
    CreateRequest request{ReadU32Le(h + CreateDesiredAccess),
                          ReadU32Le(h + CreateShareAccess),
                          ReadU32Le(h + CreateDisposition),
                          ReadU32Le(h + CreateOptions),
                          nameBytes,
                          AllDispositions};
    FileOperation op = OperationFor(m, SessionOf(m), TreeOf(m));
    CreateVerdict verdict;
    MarkKind mark = DecideCreate(&op, &request, WorkPath(m), &verdict);
    if (mark == MarkKind::None) {
        WatchCreateOutcome(m, SmbDialect::Smb1, RequestKey(m), &verdict);
        if (verdict.disposition == request.createDisposition) {
            return false;
        }
        WriteU32Le(h + CreateDisposition, verdict.disposition);
        return true;
    }
    WriteU32Le(h + CreateOptions, request.createOptions | CreateOptionsSpoiled);
    return MarkDenied(m, mark);
}

// The legacy opens and creates that name their file at `nameAt`, decided as NT creates.
// A denial makes the name "..".
bool DecideNamedOpen(SmbMessage* m, uint32_t nameAt, const OpenRequest* open,
                     CreateVerdict* verdict, WireName* name) {
    *verdict = CreateVerdict{};
    verdict->disposition = open->disposition;
    bool unicode = IsUnicode(m);
    if (InIpcTree(m) ||
        !ReadName(m, AlignedName(HeaderAt(m), nameAt, unicode), unicode, WorkPath(m), NameUnitsMax,
                  name) ||
        !NameHoldsSpoil(name, unicode)) {
        return false;
    }
    MarkKind mark = DecideOpen(m, name, open, verdict);
    if (mark == MarkKind::None || !SpoilName(m, name, unicode)) {
        return false;
    }
    return MarkDenied(m, mark);
}

bool DecodeCreateDirectory(SmbMessage* m) {
    OpenRequest open{0, DispositionCreate, FileDirectoryFile, DispositionBit(DispositionCreate),
                     false};
    CreateVerdict verdict;
    WireName name;
    return DecideNamedOpen(m, DirectoryName, &open, &verdict, &name);
}

bool DecodeOpen(SmbMessage* m) {
    uint16_t accessMode;
    if (!HasU16(m, OpenAccessMode, &accessMode)) {
        return false;
    }
    OpenRequest open{DesiredAccessFromAccessMode(accessMode), DispositionOpen, 0,
                     DispositionBit(DispositionOpen), true};
    CreateVerdict verdict;
    WireName name;
    return DecideNamedOpen(m, OpenName, &open, &verdict, &name);
}

// CREATE creates or truncates; CREATE_NEW only creates. A CREATE narrowed to creating
// alone becomes a CREATE_NEW, whose fields are the same.
bool DecodeCreate(SmbMessage* m) {
    bool createNew = *m->command == Smb1CreateNew;
    uint32_t disposition = createNew ? DispositionCreate : DispositionOverwriteIf;
    OpenRequest open{FileWriteData, disposition, 0,
                     DispositionBit(disposition) | DispositionBit(DispositionCreate), true};
    CreateVerdict verdict;
    WireName name;
    if (DecideNamedOpen(m, CreateFileName, &open, &verdict, &name)) {
        return true;
    }
    if (verdict.disposition != DispositionCreate || createNew) {
        return false;
    }
    *m->command = Smb1CreateNew;
    return true;
}

bool DecodeOpenAndX(SmbMessage* m) {
    uint8_t* h = m->base;
    uint16_t accessMode;
    uint16_t openFunction;
    if (!HasU16(m, OpenAndXAccessMode, &accessMode) ||
        !HasU16(m, OpenAndXOpenFunction, &openFunction) || InIpcTree(m)) {
        return false;
    }
    uint32_t disposition = DispositionFromOpenMode(openFunction);
    bool unicode = IsUnicode(m);
    WireName name;
    if (disposition == NoDisposition ||
        !ReadName(m, AlignedName(HeaderAt(m), OpenAndXName, unicode), unicode, WorkPath(m),
                  NameUnitsMax, &name)) {
        return false;
    }
    OpenRequest open{DesiredAccessFromAccessMode(accessMode), disposition, 0, OpenModeDispositions,
                     true};
    CreateVerdict verdict;
    MarkKind mark = DecideOpen(m, &name, &open, &verdict);
    if (mark != MarkKind::None) {
        WriteU16Le(h + OpenAndXOpenFunction, OpenModeRefuseAll);
        return MarkDenied(m, mark);
    }
    if (verdict.disposition == disposition) {
        return false;
    }
    WriteU16Le(h + OpenAndXOpenFunction, OpenModeFromDisposition(verdict.disposition));
    return true;
}

// DELETE (the name may be a mask: every match goes) and DELETE_DIRECTORY.
bool DecodeDeleteByName(SmbMessage* m, uint32_t nameAt) {
    bool unicode = IsUnicode(m);
    WireName name;
    if (InIpcTree(m) ||
        !ReadName(m, AlignedName(HeaderAt(m), nameAt, unicode), unicode, WorkPath(m), NameUnitsMax,
                  &name) ||
        !NameHoldsSpoil(&name, unicode)) {
        return false;
    }
    NamePath(m);
    FileOperation op = OperationFor(m, SessionOf(m), TreeOf(m));
    if (DecideDelete(&op, WorkPath(m)) == MarkKind::None || !SpoilName(m, &name, unicode)) {
        return false;
    }
    return MarkDenied(m, MarkKind::Delete);
}

bool DecodeDelete(SmbMessage* m) {
    return DecodeDeleteByName(m, DeleteName);
}

bool DecodeDeleteDirectory(SmbMessage* m) {
    return DecodeDeleteByName(m, DirectoryName);
}

bool DecodeWriteAndX(SmbMessage* m) {
    uint8_t* h = m->base;
    uint16_t fid;
    if (!HasU16(m, WriteAndXFid, &fid) || !SmbMessageHas(m, WriteAndXDataLength, 4)) {
        return false;
    }
    if (InIpcTree(m)) {
        return false;
    }
    OpenFilePath(m, fid);
    FileOperation op = OperationFor(m, SessionOf(m), TreeOf(m));
    if (DecideWrite(&op, WorkPath(m)) == MarkKind::None) {
        return false;
    }
    // The server writes nothing (a large write counts the high half of its length too),
    // and refuses a data offset past the message (in a message of up to 64 KiB; a larger
    // one holds the whole of a write of 0 bytes).
    WriteU16Le(h + WriteAndXDataLength, 0);
    WriteU16Le(h + WriteAndXDataLengthHigh, 0);
    WriteU16Le(h + WriteAndXDataOffset, WriteAndXDataOffsetSpoiled);
    return MarkDenied(m, MarkKind::Write);
}

// WRITE, WRITE_AND_CLOSE, WRITE_AND_UNLOCK, WRITE_RAW and WRITE_MPX. Their byte counts
// cannot be spoiled (a WRITE of no bytes truncates the file), so the file id is.
bool DecodeLegacyWrite(SmbMessage* m) {
    uint16_t fid;
    if (!HasU16(m, WriteFid, &fid) || InIpcTree(m)) {
        return false;
    }
    OpenFilePath(m, fid);
    FileOperation op = OperationFor(m, SessionOf(m), TreeOf(m));
    if (DecideWrite(&op, WorkPath(m)) == MarkKind::None) {
        return false;
    }
    SpoilFid(m, WriteFid);
    return MarkDenied(m, MarkKind::Write);
}

// RENAME and NT_RENAME: the old name at `oldAt`, then a BufferFormat byte, a pad byte when
// UTF-16, and the new name. `link` decides a second name rather than a move.
bool DecodeRenameNames(SmbMessage* m, uint32_t oldAt, bool link, bool wildcardSpoil) {
    uint8_t* h = m->base;
    bool unicode = IsUnicode(m);
    WireName oldName;
    if (!ReadName(m, AlignedName(HeaderAt(m), oldAt, unicode), unicode, WorkPath(m), OldNameUnits,
                  &oldName)) {
        return false;
    }
    uint32_t newAt = oldName.next + (unicode ? 2 : 1);
    uint32_t width = unicode ? 2 : 1;
    if (!SmbMessageHas(m, newAt, width)) {
        return false; // no room to spoil the new name
    }
    auto* newPath = static_cast<Utf16Unit*>(EngineAllocateZeroed(NewNameBufferBytes));
    if (newPath == nullptr) {
        return false;
    }
    WireName newName;
    ReadName(m, newAt, unicode, newPath, NewNameUnits, &newName);
    uint64_t session = SessionOf(m);
    uint32_t tree = TreeOf(m);
    FullPath(m->atDispatch, session, tree, WorkPath(m), OldNameUnits);
    FullPath(m->atDispatch, session, tree, newPath, NewNameUnits);
    FileOperation op = OperationFor(m, session, tree);
    MarkKind mark =
        link ? DecideLink(&op, WorkPath(m), newPath) : DecideRename(&op, WorkPath(m), newPath);
    EngineFree(newPath, NewNameBufferBytes);
    if (mark == MarkKind::None) {
        return false;
    }
    if (wildcardSpoil) {
        // A wildcard target makes the server refuse the rename.
        KmZeroMemory(h + newName.start, newName.bytes);
        if (unicode) {
            WriteU16Le(h + newName.start, Wildcard);
        } else {
            h[newName.start] = uint8_t(Wildcard);
        }
    } else if (!SpoilName(m, &newName, unicode)) {
        return false;
    }
    return MarkDenied(m, mark);
}

bool DecodeRename(SmbMessage* m) {
    return DecodeRenameNames(m, RenameOldName, false, true);
}

bool DecodeNtRename(SmbMessage* m) {
    uint16_t level;
    if (!HasU16(m, NtRenameLevel, &level) || InIpcTree(m)) {
        return false;
    }
    return DecodeRenameNames(m, NtRenameOldName, level != NtRenameRenameFile, false);
}

constexpr SmbCommandEntry CommandTable[] = {
    {Smb1CreateDirectory, DecodeCreateDirectory},
    {Smb1DeleteDirectory, DecodeDeleteDirectory},
    {Smb1Open, DecodeOpen},
    {Smb1Create, DecodeCreate},
    {Smb1Close, DecodeClose},
    {Smb1Delete, DecodeDelete},
    {Smb1Rename, DecodeRename},
    {Smb1Write, DecodeLegacyWrite},
    {Smb1CreateNew, DecodeCreate},
    {Smb1WriteAndUnlock, DecodeLegacyWrite},
    {Smb1WriteRaw, DecodeLegacyWrite},
    {Smb1WriteMpx, DecodeLegacyWrite},
    {Smb1WriteAndClose, DecodeLegacyWrite},
    {Smb1OpenAndX, DecodeOpenAndX},
    {Smb1WriteAndX, DecodeWriteAndX},
    {Smb1Transaction2, DecodeTransaction2},
    {Smb1TreeDisconnect, DecodeTreeDisconnect},
    {Smb1SessionSetupAndX, DecodeSessionSetup},
    {Smb1LogoffAndX, DecodeLogoff},
    {Smb1TreeConnectAndX, DecodeTreeConnect},
    {Smb1NtTransact, DecodeNtTransact},
    {Smb1NtCreateAndX, DecodeNtCreate},
    {Smb1NtRename, DecodeNtRename},
};
constexpr SmbDecoderIndex Decoders = IndexDecoders(CommandTable);

} // namespace

bool HandleSmb1Request(uint8_t* netbios, uint8_t* header, uint32_t available, FrameView* view,
                       bool atDispatch) {
    return DispatchAndXChain(SmbDirection::Request, &Decoders, netbios, header, available, view,
                             atDispatch);
}
