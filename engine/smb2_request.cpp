// SMB2 requests: what clients ask of the file service. Each decoder reads only fields
// that lie inside the message, decides through the file policy, and spoils exactly one
// field of a denied request.
#include "create_answer.h"
#include "denial_marks.h"
#include "engine_state.h"
#include "pool.h"
#include "session_state.h"
#include "smb_dispatch.h"
#include "smb_handlers.h"
#include "smb_protocol.h"
#include "smb_request_common.h"
#include "wire.h"

namespace {

// Request bodies start after the header; offset fields inside them count from the header.
const uint32_t Body = Smb2HeaderLength;
const uint32_t StructureSize = Body + 0;

const uint32_t SessionSetupFlags = Body + 2;
const uint8_t SessionFlagBinding = 0x01;
const uint32_t SessionSetupSecurityOffset = Body + 12;
const uint32_t SessionSetupSecurityLength = Body + 14;

const uint32_t TreeConnectPathOffset = Body + 4;
const uint32_t TreeConnectPathLength = Body + 6;

const uint32_t CreateDesiredAccess = Body + 24;
const uint32_t CreateShareAccess = Body + 32;
const uint32_t CreateDisposition = Body + 36;
const uint32_t CreateOptions = Body + 40;
const uint32_t CreateNameOffset = Body + 44;
const uint32_t CreateNameLength = Body + 46;
const uint32_t CreateFixedEnd = Body + 48;
// Both "directory" and "non-directory": a combination every server refuses.
const uint32_t CreateOptionsSpoiled = 0x00000041;

const uint32_t CloseFileId = Body + 8;
const uint32_t WriteFileId = Body + 16;
const uint32_t QueryInfoType = Body + 2;
const uint32_t QueryInfoFileId = Body + 24;
const uint8_t InfoTypeFile = 1;
const uint8_t InfoTypeSpoiled = 0x58; // no such info type

const uint32_t SetInfoType = Body + 2;
const uint32_t SetInfoClass = Body + 3;
const uint32_t SetInfoBufferLength = Body + 4;
const uint32_t SetInfoBufferOffset = Body + 8;
const uint32_t SetInfoFileId = Body + 16;
const uint8_t SetInfoTypeSpoiled = 0x58; // no such info type
const uint8_t FileRenameInformation = 10;
const uint8_t FileLinkInformation = 11;
const uint8_t FileDispositionInformation = 13;
const uint8_t FileAllocationInformation = 19;
const uint8_t FileEndOfFileInformation = 20;
const uint8_t FileValidDataLengthInformation = 39;
const uint8_t FileDispositionInformationEx = 64;
const uint8_t FileRenameInformationEx = 65;
const uint8_t FileLinkInformationEx = 72;

const uint32_t IoctlControlCode = Body + 4;
const uint32_t IoctlFileId = Body + 8;
// Inside a rename buffer.
const uint32_t RenameNameLength = 16;
const uint32_t RenameName = 20;
const uint32_t RenameNameMaxBytes = 1022;
// FILE_RENAME_REPLACE_IF_EXISTS, and FILE_LINK_REPLACE_IF_EXISTS of the extended classes.
const uint32_t ReplaceIfExistsFlag = 0x00000001;

const uint32_t NewNameBufferBytes = 1024;
const uint32_t NewPathUnits = 512;

const uint32_t FileIdBytes = 16;
const uint32_t MaxCopiedBytes = 2046; // leaves the work buffer terminated

uint64_t SessionOf(const uint8_t* h) {
    return ReadU64Le(h + Smb2SessionId);
}
uint32_t TreeOf(const uint8_t* h) {
    return ReadU32Le(h + Smb2TreeId);
}
TableKey RequestKey(const SmbMessage* m) {
    return MessageRequestKey(SmbDialect::Smb2, m);
}
TableKey FileKey(const uint8_t* fileId) {
    return TableKey{ReadU64Le(fileId), ReadU64Le(fileId + 8)};
}

// Requests of every decided command have an odd StructureSize; anything else is
// malformed and left to the server.
bool HasRequestShape(const SmbMessage* m) {
    return (ReadU16Le(m->header + StructureSize) & 1) != 0;
}

// The `length` bytes at the header-relative `offset` read from a field, if they lie
// inside the message.
bool BufferInMessage(const SmbMessage* m, uint32_t offset, uint32_t length) {
    return SmbMessageHas(m, offset, length);
}

bool DecodeSessionSetup(SmbMessage* m) {
    if (!SmbMessageHas(m, SessionSetupSecurityOffset, 4)) {
        return false;
    }
    uint32_t offset = ReadU16Le(m->header + SessionSetupSecurityOffset);
    uint32_t length = ReadU16Le(m->header + SessionSetupSecurityLength);
    if (BufferInMessage(m, offset, length)) {
        bool binding = (m->header[SessionSetupFlags] & SessionFlagBinding) != 0;
        LearnSessionUser(m, SmbDialect::Smb2, RequestKey(m), m->header + offset, length, binding);
    }
    return false;
}

bool DecodeTreeConnect(SmbMessage* m) {
    if (!SmbMessageHas(m, TreeConnectPathOffset, 4) || !HasRequestShape(m)) {
        return false;
    }
    uint32_t offset = ReadU16Le(m->header + TreeConnectPathOffset);
    uint32_t length = ReadU16Le(m->header + TreeConnectPathLength);
    if (length == 0 || !BufferInMessage(m, offset, length)) {
        return false;
    }
    uint32_t kept = length < MaxCopiedBytes ? length : MaxCopiedBytes;
    CopyWireText(WorkPath(m), m->header + offset, kept, MaxCopiedBytes);
    KeyedTableInsertOwned(g_Engine.Smb2.PendingTreeConnects, m->atDispatch, RequestKey(m),
                          SmbWork(m), kept, m->clientAddress);
    return false;
}

bool DecodeTreeDisconnect(SmbMessage* m) {
    HoldTreeDisconnect(m, SmbDialect::Smb2, RequestKey(m), TreeOf(m->header));
    return false;
}

bool DecodeLogoff(SmbMessage* m) {
    HoldLogoff(m, SmbDialect::Smb2, RequestKey(m));
    return false;
}

bool DecodeCreate(SmbMessage* m) {
    if (!SmbMessageHas(m, Body, CreateFixedEnd - Body)) {
        return false;
    }
    uint8_t* h = m->header;
    uint64_t session = SessionOf(h);
    uint32_t tree = TreeOf(h);
    if (IsIpcTree(m->atDispatch, session, tree) || !HasRequestShape(m)) {
        return false;
    }
    uint32_t nameOffset = ReadU16Le(h + CreateNameOffset);
    uint32_t nameLength = ReadU16Le(h + CreateNameLength);
    if (!BufferInMessage(m, nameOffset, nameLength)) {
        return false;
    }
    // The response learns the file id; it needs the name as sent.
    KeyedTableInsertOwned(g_Engine.Smb2.PendingCreates, m->atDispatch, RequestKey(m),
                          h + nameOffset, nameLength, m->clientAddress);
    CopyWireText(WorkPath(m), h + nameOffset, nameLength, MaxCopiedBytes);
    CreateRequest request{ReadU32Le(h + CreateDesiredAccess),
                          ReadU32Le(h + CreateShareAccess),
                          ReadU32Le(h + CreateDisposition),
                          ReadU32Le(h + CreateOptions),
                          nameLength,
                          AllDispositions};
    FileOperation op = OperationFor(m, session, tree);
    CreateVerdict verdict;
    MarkKind mark = DecideCreate(&op, &request, WorkPath(m), &verdict);
    if (mark == MarkKind::None) {
        WatchCreateOutcome(m, SmbDialect::Smb2, RequestKey(m), &verdict);
        if (verdict.disposition == request.createDisposition) {
            return false;
        }
        WriteU32Le(h + CreateDisposition, verdict.disposition);
        return true;
    }
    WriteU32Le(h + CreateOptions, request.createOptions | CreateOptionsSpoiled);
    RecordDenialMark(SmbDialect::Smb2, mark, RequestKey(m), m);
    return true;
}

bool DecodeClose(SmbMessage* m) {
    if (SmbMessageHas(m, CloseFileId, FileIdBytes)) {
        HoldClose(m, SmbDialect::Smb2, RequestKey(m), FileKey(m->header + CloseFileId));
    }
    return false;
}

// Where each request that works on an open file carries its FileId; 0 for commands
// that carry none.
uint32_t FileIdAt(uint16_t command) {
    switch (command) {
    case Smb2Close:
    case Smb2Flush:
    case Smb2Lock:
    case Smb2Ioctl:
    case Smb2QueryDirectory:
    case Smb2ChangeNotify:
        return Body + 8;
    case Smb2Read:
    case Smb2Write:
    case Smb2SetInfo:
        return Body + 16;
    case Smb2QueryInfo:
        return Body + 24;
    default:
        return 0;
    }
}

bool IsRelated(const uint8_t* h) {
    return (ReadU32Le(h + Smb2Flags) & Smb2FlagRelatedOperations) != 0;
}

bool AllOnes(const uint8_t* fileId) {
    for (uint32_t i = 0; i < FileIdBytes; ++i) {
        if (fileId[i] != 0xFF) {
            return false;
        }
    }
    return true;
}

// A related member of a compound works on the file of the member before it, whatever
// its own FileId says (clients send all ones, since the server has not assigned the id
// of a file the chain's CREATE opens). The members before this one lie whole before its
// header: the walk from the message start finds the last one that names a file, by the
// name of a CREATE or by the FileId of a request on an open file, and builds that file's
// full path into the work buffer. False when no member before this one names a file.
bool ChainFilePath(SmbMessage* m) {
    const uint8_t* member = m->netbios + NetbiosHeaderLength;
    const uint8_t* name = nullptr;
    uint32_t nameLength = 0;
    const uint8_t* fileId = nullptr;
    while (member + Smb2HeaderLength <= m->header) {
        uint32_t room = uint32_t(m->header - member);
        uint16_t command = ReadU16Le(member + Smb2Command);
        uint32_t idAt = FileIdAt(command);
        if (command == Smb2Create && room >= CreateFixedEnd) {
            uint32_t offset = ReadU16Le(member + CreateNameOffset);
            uint32_t length = ReadU16Le(member + CreateNameLength);
            if (offset <= room && length <= room - offset) {
                name = member + offset;
                nameLength = length;
                fileId = nullptr;
            }
        } else if (idAt != 0 && idAt + FileIdBytes <= room && !AllOnes(member + idAt)) {
            fileId = member + idAt;
            name = nullptr;
        }
        uint32_t next = ReadU32Le(member + Smb2NextCommand);
        if (next < Smb2HeaderLength || next % Smb2CompoundAlignment != 0 || next > room) {
            break;
        }
        member += next;
    }
    uint64_t session = SessionOf(m->header);
    uint32_t tree = TreeOf(m->header);
    if (name != nullptr) {
        CopyWireText(WorkPath(m), name, nameLength, MaxCopiedBytes);
        FullPath(m->atDispatch, session, tree, WorkPath(m), PathBufferUnits);
        return true;
    }
    if (fileId != nullptr) {
        OpenFileFullPath(m->atDispatch, session, tree, FileKey(fileId), WorkPath(m),
                         PathBufferUnits);
        return true;
    }
    return false;
}

// Builds the full path of the open file at `fileIdAt` into the work buffer.
void OpenFilePath(SmbMessage* m, uint32_t fileIdAt) {
    if (IsRelated(m->header) && ChainFilePath(m)) {
        return;
    }
    OpenFileFullPath(m->atDispatch, SessionOf(m->header), TreeOf(m->header),
                     FileKey(m->header + fileIdAt), WorkPath(m), PathBufferUnits);
}

// Refuses a request on an open file. A request on its own names the file by its FileId,
// and a zero FileId names no open. A related member's FileId is not looked at, so its
// StructureSize is spoiled instead: the server checks it against the command's before
// anything else and fails the request (the even value still passes the message's framing
// checks).
void SpoilFileRequest(SmbMessage* m, uint32_t fileIdAt) {
    uint8_t* h = m->header;
    if (IsRelated(h)) {
        WriteU16Le(h + StructureSize, uint16_t(ReadU16Le(h + StructureSize) & ~1u));
        return;
    }
    KmZeroMemory(h + fileIdAt, FileIdBytes);
}

bool DecodeWrite(SmbMessage* m) {
    if (!SmbMessageHas(m, WriteFileId, FileIdBytes)) {
        return false;
    }
    uint8_t* h = m->header;
    if (IsIpcTree(m->atDispatch, SessionOf(h), TreeOf(h)) || !HasRequestShape(m)) {
        return false;
    }
    OpenFilePath(m, WriteFileId);
    FileOperation op = OperationFor(m, SessionOf(h), TreeOf(h));
    if (DecideWrite(&op, WorkPath(m)) == MarkKind::None) {
        return false;
    }
    SpoilFileRequest(m, WriteFileId);
    RecordDenialMark(SmbDialect::Smb2, MarkKind::Write, RequestKey(m), m);
    return true;
}

bool DecodeQueryInfo(SmbMessage* m) {
    if (!SmbMessageHas(m, QueryInfoFileId, FileIdBytes)) {
        return false;
    }
    uint8_t* h = m->header;
    if (h[QueryInfoType] != InfoTypeFile || !HasRequestShape(m)) {
        return false;
    }
    OpenFilePath(m, QueryInfoFileId);
    FileOperation op = OperationFor(m, SessionOf(h), TreeOf(h));
    if (DecideQuery(&op, WorkPath(m), MarkKind::QueryInfo) == MarkKind::None) {
        return false;
    }
    h[QueryInfoType] = InfoTypeSpoiled;
    RecordDenialMark(SmbDialect::Smb2, MarkKind::QueryInfo, RequestKey(m), m);
    return true;
}

bool DecideSetInfoDelete(SmbMessage* m, const FileOperation* op) {
    if (!HasRequestShape(m) || DecideDelete(op, WorkPath(m)) == MarkKind::None) {
        return false;
    }
    // A disposition buffer of length 0 is refused by the server.
    WriteU32Le(m->header + SetInfoBufferLength, 0);
    RecordDenialMark(SmbDialect::Smb2, MarkKind::Delete, RequestKey(m), m);
    return true;
}

// Links and size changes are refused through an info type no server knows: the request
// fails before any class is looked at.
bool SpoilSetInfo(SmbMessage* m, MarkKind mark) {
    m->header[SetInfoType] = SetInfoTypeSpoiled;
    RecordDenialMark(SmbDialect::Smb2, mark, RequestKey(m), m);
    return true;
}

bool DecideSetInfoResize(SmbMessage* m, const FileOperation* op) {
    if (!HasRequestShape(m) || DecideWrite(op, WorkPath(m)) == MarkKind::None) {
        return false;
    }
    return SpoilSetInfo(m, MarkKind::Write);
}

// A rename or link buffer starts with ReplaceIfExists (a byte), or in the extended classes
// with flags whose lowest bit asks to replace.
bool AsksToReplace(const uint8_t* buffer, bool extended) {
    return extended ? (ReadU32Le(buffer) & ReplaceIfExistsFlag) != 0 : buffer[0] != 0;
}

void ClearReplace(uint8_t* buffer, bool extended) {
    if (extended) {
        WriteU32Le(buffer, ReadU32Le(buffer) & ~ReplaceIfExistsFlag);
    } else {
        buffer[0] = 0;
    }
}

bool DecideSetInfoRename(SmbMessage* m, const FileOperation* op, bool link) {
    uint8_t* h = m->header;
    if (!HasRequestShape(m)) {
        return false;
    }
    uint32_t buffer = ReadU16Le(h + SetInfoBufferOffset);
    if (!BufferInMessage(m, buffer, RenameName)) {
        return false;
    }
    uint32_t nameLength = ReadU32Le(h + buffer + RenameNameLength);
    uint32_t copied = nameLength < RenameNameMaxBytes ? nameLength : RenameNameMaxBytes;
    if (!BufferInMessage(m, buffer + RenameName, copied)) {
        return false;
    }
    auto* newPath = static_cast<Utf16Unit*>(EngineAllocateZeroed(NewNameBufferBytes));
    if (newPath == nullptr) {
        return false;
    }
    CopyWireText(newPath, h + buffer + RenameName, copied, RenameNameMaxBytes);
    FullPath(m->atDispatch, op->session, op->treeId, newPath, NewPathUnits);
    uint8_t infoClass = h[SetInfoClass];
    bool extended = infoClass == FileRenameInformationEx || infoClass == FileLinkInformationEx;
    ReplaceVerdict verdict;
    MarkKind mark = DecideReplacingRename(op, WorkPath(m), newPath, link,
                                          AsksToReplace(h + buffer, extended), &verdict);
    if (mark == MarkKind::None) {
        WatchReplaceOutcome(m, SmbDialect::Smb2, RequestKey(m), &verdict, WorkPath(m), newPath);
    }
    EngineFree(newPath, NewNameBufferBytes);
    if (mark == MarkKind::None) {
        if (!verdict.narrow) {
            return false;
        }
        // Without ReplaceIfExists the server refuses an existing target with a collision.
        ClearReplace(h + buffer, extended);
        return true;
    }
    if (link) {
        return SpoilSetInfo(m, mark);
    }
    // An empty target name is refused by the server.
    WriteU32Le(h + buffer + RenameNameLength, 0);
    RecordDenialMark(SmbDialect::Smb2, MarkKind::Rename, RequestKey(m), m);
    return true;
}

bool DecodeSetInfo(SmbMessage* m) {
    if (!SmbMessageHas(m, SetInfoFileId, FileIdBytes)) {
        return false;
    }
    uint8_t* h = m->header;
    OpenFilePath(m, SetInfoFileId);
    if (IsIpcTree(m->atDispatch, SessionOf(h), TreeOf(h))) {
        return false;
    }
    FileOperation op = OperationFor(m, SessionOf(h), TreeOf(h));
    // The extended classes carry the same fields where the engine reads them, and current
    // clients use them for the same operations.
    switch (h[SetInfoClass]) {
    case FileDispositionInformation:
    case FileDispositionInformationEx:
        return DecideSetInfoDelete(m, &op);
    case FileRenameInformation:
    case FileRenameInformationEx:
        return DecideSetInfoRename(m, &op, false);
    case FileLinkInformation:
    case FileLinkInformationEx:
        return DecideSetInfoRename(m, &op, true);
    case FileAllocationInformation:
    case FileEndOfFileInformation:
    case FileValidDataLengthInformation:
        return DecideSetInfoResize(m, &op);
    default:
        return false;
    }
}

// File-system controls that change a file's content are writes to it.
bool DecodeIoctl(SmbMessage* m) {
    if (!SmbMessageHas(m, IoctlFileId, FileIdBytes)) {
        return false;
    }
    uint8_t* h = m->header;
    if (!IsContentChangingFsctl(ReadU32Le(h + IoctlControlCode)) ||
        IsIpcTree(m->atDispatch, SessionOf(h), TreeOf(h)) || !HasRequestShape(m)) {
        return false;
    }
    OpenFilePath(m, IoctlFileId);
    FileOperation op = OperationFor(m, SessionOf(h), TreeOf(h));
    if (DecideWrite(&op, WorkPath(m)) == MarkKind::None) {
        return false;
    }
    SpoilFileRequest(m, IoctlFileId);
    RecordDenialMark(SmbDialect::Smb2, MarkKind::Write, RequestKey(m), m);
    return true;
}

constexpr SmbCommandEntry CommandTable[] = {
    {Smb2SessionSetup, DecodeSessionSetup},
    {Smb2TreeConnect, DecodeTreeConnect},
    {Smb2Logoff, DecodeLogoff},
    {Smb2TreeDisconnect, DecodeTreeDisconnect},
    {Smb2Create, DecodeCreate},
    {Smb2Close, DecodeClose},
    {Smb2Write, DecodeWrite},
    {Smb2Ioctl, DecodeIoctl},
    {Smb2QueryInfo, DecodeQueryInfo},
    {Smb2SetInfo, DecodeSetInfo},
};
constexpr SmbDecoderIndex Decoders = IndexDecoders(CommandTable);

} // namespace

bool HandleSmb2Request(uint8_t* netbios, uint8_t* header, uint32_t available, FrameView* view,
                       bool atDispatch) {
    return DispatchSmbMessage(SmbDialect::Smb2, SmbDirection::Request, &Decoders, netbios, header,
                              available, view, atDispatch);
}
