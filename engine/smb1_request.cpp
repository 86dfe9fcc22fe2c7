// SMB1 requests: what clients ask of the file service. Only the first command of an AndX
// chain is looked at. Names are UTF-16 when the request says so (SMB_FLAGS2_UNICODE), and
// 8-bit otherwise, widened unit by unit so that rules apply to them too.
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

const uint32_t Smb1Flags2 = 10;
const uint16_t Smb1Flags2Unicode = 0x8000;
const uint32_t Smb1Tid = 24;
const uint32_t Smb1Uid = 28;
const uint32_t Smb1Mid = 30;

// Parameter and data fields, by offset from the WordCount byte.
const uint32_t Words = Smb1HeaderLength;
const uint32_t CloseFid = Words + 1;
const uint32_t RenameOldName = Words + 6;
const uint32_t WriteAndXFid = Words + 5;
const uint32_t WriteAndXDataLength = Words + 21;
const uint32_t Trans2ParameterCount = Words + 19;
const uint32_t Trans2ParameterOffset = Words + 21;
const uint32_t Trans2DataCount = Words + 23;
const uint32_t Trans2DataOffset = Words + 25;
const uint32_t Trans2SetupCount = Words + 27;
const uint32_t Trans2Subcommand = Words + 29;
const uint32_t Trans2ByteCount = Words + 31;
const uint32_t Trans2CountsAndOffsets[] = {Trans2ParameterCount, Trans2ParameterOffset,
                                           Trans2DataCount, Trans2DataOffset, Trans2ByteCount};
const uint32_t TreeConnectPasswordLength = Words + 7;
const uint32_t TreeConnectPassword = Words + 11;
const uint32_t SessionSetupBlobLength = Words + 15;
const uint32_t SessionSetupBlob = Words + 27;
const uint8_t SessionSetupExtendedWords = 12; // the form that carries a security blob
const uint32_t CreateDesiredAccess = Words + 16;
const uint32_t CreateShareAccess = Words + 32;
const uint32_t CreateDisposition = Words + 36;
const uint32_t CreateOptions = Words + 40;
const uint32_t CreateNameAnsi = Words + 51;    // after ByteCount
const uint32_t CreateNameUnicode = Words + 52; // after ByteCount and one pad byte
const uint32_t CreateOptionsSpoiled = 0x00000041;

// TRANSACTION2 subcommands and their parameter blocks.
const uint16_t Trans2QueryPathInformation = 5;
const uint16_t Trans2QueryFileInformation = 7;
const uint16_t Trans2SetFileInformation = 8;
const uint16_t SetFileParameterBytes = 6;
const uint16_t QueryFileParameterBytes = 4;
const uint16_t LevelDispositionPassThrough = 1013;
const uint32_t QueryPathName = 6;

const uint32_t NameUnitsMax = PathBufferUnits; // names are copied within 1024 units
const uint32_t OldNameUnits = 1024;
const uint32_t NewNameUnits = 512;
const uint32_t NewNameBufferBytes = 1024;
const Utf16Unit Wildcard = '*';

uint64_t SessionOf(const uint8_t* h) {
    return ReadU16Le(h + Smb1Uid);
}
uint32_t TreeOf(const uint8_t* h) {
    return ReadU16Le(h + Smb1Tid);
}
TableKey RequestKey(const uint8_t* h) {
    return TableKey{ReadU16Le(h + Smb1Mid), ReadU16Le(h + Smb1Uid)};
}
TableKey FileKey(const uint8_t* h, uint16_t fid) {
    return TableKey{fid, ReadU16Le(h + Smb1Uid)};
}
bool IsUnicode(const uint8_t* h) {
    return (ReadU16Le(h + Smb1Flags2) & Smb1Flags2Unicode) != 0;
}

bool HasU16(const SmbMessage* m, uint32_t offset, uint16_t* value) {
    if (!SmbMessageHas(m, offset, 2)) {
        return false;
    }
    *value = ReadU16Le(m->header + offset);
    return true;
}

// A name read from the message.
struct WireName {
    uint32_t start; // header-relative offset of its first byte
    uint32_t bytes; // its bytes on the wire, terminator excluded
    uint32_t next;  // offset after its terminator (or the message end)
    uint32_t units; // units copied
};

// Reads a name at `offset` up to its terminator or the end of the message, copying at most
// `capacity - 1` units into `out` (terminated). False when the name starts outside the
// message.
bool ReadName(const SmbMessage* m, uint32_t offset, bool unicode, Utf16Unit* out, uint32_t capacity,
              WireName* name) {
    if (offset > m->available) {
        return false;
    }
    uint32_t width = unicode ? 2 : 1;
    uint32_t at = offset;
    uint32_t units = 0;
    bool terminated = false;
    while (at + width <= m->available) {
        Utf16Unit unit = unicode ? ReadU16Le(m->header + at) : m->header[at];
        at += width;
        if (unit == 0) {
            terminated = true;
            break;
        }
        if (units + 1 < capacity) {
            out[units++] = unit;
        }
    }
    out[units] = 0;
    name->start = offset;
    name->bytes = at - offset - (terminated ? width : 0);
    name->next = at;
    name->units = units;
    return true;
}

bool DecodeSessionSetup(SmbMessage* m) {
    uint16_t blobLength;
    if (!SmbMessageHas(m, Words, 1) || m->header[Words] != SessionSetupExtendedWords ||
        !HasU16(m, SessionSetupBlobLength, &blobLength) ||
        !SmbMessageHas(m, SessionSetupBlob, blobLength)) {
        return false;
    }
    LearnSessionUser(m, SessionOf(m->header), m->header + SessionSetupBlob, blobLength);
    return false;
}

bool DecodeTreeConnect(SmbMessage* m) {
    uint16_t passwordLength;
    if (!HasU16(m, TreeConnectPasswordLength, &passwordLength)) {
        return false;
    }
    bool unicode = IsUnicode(m->header);
    uint32_t pathAt = TreeConnectPassword + passwordLength;
    // UTF-16 strings are aligned to two bytes from the header; a pad byte may precede.
    if (unicode && (pathAt & 1) != 0) {
        ++pathAt;
    }
    WireName path;
    if (!ReadName(m, pathAt, unicode, WorkPath(m), NameUnitsMax, &path) || path.units == 0) {
        return false;
    }
    KeyedTableInsert(g_Engine.Smb1.PendingTreeConnects, m->atDispatch, RequestKey(m->header),
                     m->work, path.units * sizeof(Utf16Unit));
    return false;
}

bool DecodeTreeDisconnect(SmbMessage* m) {
    ForgetTree(m, SessionOf(m->header), TreeOf(m->header));
    return false;
}

bool DecodeClose(SmbMessage* m) {
    uint16_t fid;
    if (HasU16(m, CloseFid, &fid)) {
        KeyedTableDelete(g_Engine.OpenFileTable, m->atDispatch, FileKey(m->header, fid));
    }
    return false;
}

bool DecodeNtCreate(SmbMessage* m) {
    uint8_t* h = m->header;
    if (!SmbMessageHas(m, Words, CreateOptions + 4 - Words)) {
        return false;
    }
    uint64_t session = SessionOf(h);
    uint32_t tree = TreeOf(h);
    if (IsIpcTree(m->atDispatch, session, tree)) {
        return false;
    }
    bool unicode = IsUnicode(h);
    WireName name;
    if (!ReadName(m, unicode ? CreateNameUnicode : CreateNameAnsi, unicode, WorkPath(m),
                  NameUnitsMax, &name)) {
        return false;
    }
    uint32_t nameBytes = name.units * sizeof(Utf16Unit);
    KeyedTableInsert(g_Engine.Smb1.PendingCreates, m->atDispatch, RequestKey(h), m->work,
                     nameBytes);
    CreateRequest request{ReadU32Le(h + CreateDesiredAccess), ReadU32Le(h + CreateShareAccess),
                          ReadU32Le(h + CreateDisposition), ReadU32Le(h + CreateOptions),
                          nameBytes};
    FileOperation op = OperationFor(m, session, tree);
    MarkKind mark = DecideCreate(&op, &request, WorkPath(m));
    if (mark == MarkKind::None) {
        return false;
    }
    WriteU32Le(h + CreateOptions, request.createOptions | CreateOptionsSpoiled);
    RecordDenialMark(SmbDialect::Smb1, mark, RequestKey(h), m->atDispatch);
    return true;
}

void OpenFilePath(SmbMessage* m, uint16_t fid) {
    OpenFileFullPath(m->atDispatch, SessionOf(m->header), TreeOf(m->header),
                     FileKey(m->header, fid), WorkPath(m), PathBufferUnits);
}

bool DecodeWriteAndX(SmbMessage* m) {
    uint8_t* h = m->header;
    uint16_t fid;
    if (!HasU16(m, WriteAndXFid, &fid) || !SmbMessageHas(m, WriteAndXDataLength, 2)) {
        return false;
    }
    if (IsIpcTree(m->atDispatch, SessionOf(h), TreeOf(h))) {
        return false;
    }
    OpenFilePath(m, fid);
    FileOperation op = OperationFor(m, SessionOf(h), TreeOf(h));
    if (DecideWrite(&op, WorkPath(m)) == MarkKind::None) {
        return false;
    }
    WriteU16Le(h + WriteAndXDataLength, 0); // the server writes nothing
    RecordDenialMark(SmbDialect::Smb1, MarkKind::Write, RequestKey(h), m->atDispatch);
    return true;
}

bool DecodeRename(SmbMessage* m) {
    uint8_t* h = m->header;
    bool unicode = IsUnicode(h);
    WireName oldName;
    if (!ReadName(m, RenameOldName, unicode, WorkPath(m), OldNameUnits, &oldName)) {
        return false;
    }
    // NewFileName follows its BufferFormat byte, and a pad byte when it is UTF-16.
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
    uint64_t session = SessionOf(h);
    uint32_t tree = TreeOf(h);
    FullPath(m->atDispatch, session, tree, WorkPath(m), OldNameUnits);
    FullPath(m->atDispatch, session, tree, newPath, NewNameUnits);
    FileOperation op = OperationFor(m, session, tree);
    MarkKind mark = DecideRename(&op, WorkPath(m), newPath);
    EngineFree(newPath, NewNameBufferBytes);
    if (mark == MarkKind::None) {
        return false;
    }
    // A wildcard target makes the server refuse the rename.
    KmZeroMemory(h + newName.start, newName.bytes);
    if (unicode) {
        WriteU16Le(h + newName.start, Wildcard);
    } else {
        h[newName.start] = uint8_t(Wildcard);
    }
    RecordDenialMark(SmbDialect::Smb1, MarkKind::Rename, RequestKey(h), m->atDispatch);
    return true;
}

bool IsQueryFileLevel(uint16_t level) {
    return level == 1004 || level == 1005 || level == 1006 || level == 1022;
}

bool IsQueryPathLevel(uint16_t level) {
    return level == 1004 || level == 1005;
}

bool DecodeTransaction2(SmbMessage* m) {
    uint8_t* h = m->header;
    if (!SmbMessageHas(m, Trans2ParameterCount, Trans2ByteCount + 2 - Trans2ParameterCount) ||
        h[Trans2SetupCount] != 1) {
        return false;
    }
    uint64_t session = SessionOf(h);
    uint32_t tree = TreeOf(h);
    if (IsIpcTree(m->atDispatch, session, tree)) {
        return false;
    }
    uint16_t parameterCount = ReadU16Le(h + Trans2ParameterCount);
    uint32_t parameters = ReadU16Le(h + Trans2ParameterOffset);
    FileOperation op = OperationFor(m, session, tree);
    uint16_t fid;
    uint16_t level;
    switch (ReadU16Le(h + Trans2Subcommand)) {
    case Trans2SetFileInformation:
        if (parameterCount != SetFileParameterBytes || !HasU16(m, parameters, &fid) ||
            !HasU16(m, parameters + 2, &level) || level != LevelDispositionPassThrough) {
            return false;
        }
        OpenFilePath(m, fid);
        if (DecideDelete(&op, WorkPath(m)) == MarkKind::None) {
            return false;
        }
        // Without parameters or data the server cannot carry out the request.
        for (uint32_t field : Trans2CountsAndOffsets) {
            WriteU16Le(h + field, 0);
        }
        RecordDenialMark(SmbDialect::Smb1, MarkKind::Delete, RequestKey(h), m->atDispatch);
        return true;
    case Trans2QueryFileInformation:
        if (parameterCount != QueryFileParameterBytes || !HasU16(m, parameters, &fid) ||
            !HasU16(m, parameters + 2, &level) || !IsQueryFileLevel(level)) {
            return false;
        }
        OpenFilePath(m, fid);
        if (DecideQuery(&op, WorkPath(m), MarkKind::QueryFile) == MarkKind::None) {
            return false;
        }
        WriteU16Le(h + parameters, 0); // no file has id 0
        RecordDenialMark(SmbDialect::Smb1, MarkKind::QueryFile, RequestKey(h), m->atDispatch);
        return true;
    case Trans2QueryPathInformation: {
        if (!HasU16(m, parameters, &level) || !IsQueryPathLevel(level) ||
            !SmbMessageHas(m, parameters + 2, 4) || ReadU32Le(h + parameters + 2) != 0) {
            return false;
        }
        WireName name;
        if (!ReadName(m, parameters + QueryPathName, IsUnicode(h), WorkPath(m), NameUnitsMax,
                      &name)) {
            return false;
        }
        FullPath(m->atDispatch, session, tree, WorkPath(m), PathBufferUnits);
        if (DecideQuery(&op, WorkPath(m), MarkKind::QueryPath) == MarkKind::None) {
            return false;
        }
        WriteU16Le(h + parameters, 0); // no such information level
        RecordDenialMark(SmbDialect::Smb1, MarkKind::QueryPath, RequestKey(h), m->atDispatch);
        return true;
    }
    default:
        return false;
    }
}

const SmbCommandEntry CommandTable[] = {
    {Smb1Close, DecodeClose},
    {Smb1Rename, DecodeRename},
    {Smb1WriteAndX, DecodeWriteAndX},
    {Smb1Transaction2, DecodeTransaction2},
    {Smb1TreeDisconnect, DecodeTreeDisconnect},
    {Smb1SessionSetupAndX, DecodeSessionSetup},
    {Smb1TreeConnectAndX, DecodeTreeConnect},
    {Smb1NtCreateAndX, DecodeNtCreate},
};

} // namespace

bool HandleSmb1Request(uint8_t* netbios, uint8_t* header, uint32_t available, FrameView* view,
                       bool atDispatch) {
    return DispatchSmbMessage(SmbDialect::Smb1, SmbDirection::Request, CommandTable,
                              sizeof CommandTable / sizeof CommandTable[0], netbios, header,
                              available, view, atDispatch);
}
