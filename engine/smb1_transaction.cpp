// SMB1 transactions: the TRANSACTION2 subcommands that open, create, delete, rename, link,
// resize or query a file, and the NT_TRANSACT create and file-system controls.
#include "create_answer.h"
#include "denial_marks.h"
#include "engine_state.h"
#include "pool.h"
#include "session_state.h"
#include "smb1_fields.h"
#include "smb_request_common.h"

namespace smb1 {

namespace {

const uint32_t Trans2ParameterCount = Words + 19;
const uint32_t Trans2ParameterOffset = Words + 21;
const uint32_t Trans2DataCount = Words + 23;
const uint32_t Trans2DataOffset = Words + 25;
const uint32_t Trans2SetupCount = Words + 27;
const uint32_t Trans2Subcommand = Words + 29;
const uint32_t Trans2ByteCount = Words + 31;
const uint32_t Trans2CountsAndOffsets[] = {Trans2ParameterCount, Trans2ParameterOffset,
                                           Trans2DataCount, Trans2DataOffset, Trans2ByteCount};

const uint16_t Trans2Open2 = 0x00;
const uint16_t Trans2QueryPathInformation = 0x05;
const uint16_t Trans2SetPathInformation = 0x06;
const uint16_t Trans2QueryFileInformation = 0x07;
const uint16_t Trans2SetFileInformation = 0x08;
const uint16_t Trans2CreateDirectory = 0x0D;
const uint16_t SetFileParameterBytes = 6;
const uint16_t QueryFileParameterBytes = 4;
const uint16_t LevelDispositionPassThrough = 1013;
const uint16_t LevelSpoiled = 0; // no information level has this number
const uint32_t PathInfoName = 6; // after InformationLevel and four reserved bytes
const uint32_t Open2AccessMode = 2;
const uint32_t Open2OpenMode = 12;
const uint32_t Open2Name = 28;
const uint32_t CreateDirectoryName = 4;
// Inside a rename or link buffer (the SMB form): FileNameLength, then the name.
const uint32_t RenameNameLength = 8;
const uint32_t RenameName = 12;
const uint32_t NewNameMaxBytes = 1022;
const uint32_t NewNameBufferBytes = 1024;
const uint32_t NewPathUnits = 512;
const uint32_t ReplaceIfExistsFlag = 0x00000001; // in the flags of the extended levels

const uint32_t NtTransParameterCount = Words + 20;
const uint32_t NtTransParameterOffset = Words + 24;
const uint32_t NtTransSetupCount = Words + 36;
const uint32_t NtTransFunction = Words + 37;
const uint32_t NtTransSetup = Words + 39;
const uint16_t NtTransactCreate = 1;
const uint16_t NtTransactIoctl = 2;
// NT_TRANSACT_CREATE parameters.
const uint32_t NtCreateDesiredAccess = 8;
const uint32_t NtCreateShareAccess = 24;
const uint32_t NtCreateDisposition = 28;
const uint32_t NtCreateOptions = 32;
const uint32_t NtCreateName = 53;
const uint32_t NtCreateFixedBytes = 53;
const uint32_t CreateOptionsSpoiled = 0x00000041;
// NT_TRANSACT_IOCTL setup: FunctionCode, FID, IsFsctl, IsFlags.
const uint32_t IoctlFunction = NtTransSetup;
const uint32_t IoctlFid = NtTransSetup + 4;
const uint8_t IoctlSetupWords = 4;

const uint32_t NameUnitsMax = PathBufferUnits;

enum class SetLevelKind : uint8_t { Delete, Rename, Link, Resize };

struct SetLevel {
    uint16_t level;
    SetLevelKind kind;
};

// Information levels that delete, rename, link or resize: the SMB forms and the
// pass-through forms (1000 + the file information class).
const SetLevel SetLevels[] = {
    {0x0102, SetLevelKind::Delete}, // SMB_SET_FILE_DISPOSITION_INFO
    {1013, SetLevelKind::Delete},   {1064, SetLevelKind::Delete},
    {1010, SetLevelKind::Rename},   {1065, SetLevelKind::Rename},
    {1011, SetLevelKind::Link},     {1072, SetLevelKind::Link},
    {0x0103, SetLevelKind::Resize}, // SMB_SET_FILE_ALLOCATION_INFO
    {0x0104, SetLevelKind::Resize}, // SMB_SET_FILE_END_OF_FILE_INFO
    {1019, SetLevelKind::Resize},   {1020, SetLevelKind::Resize},
    {1039, SetLevelKind::Resize}, // FileValidDataLengthInformation
};

bool FindSetLevel(uint16_t level, SetLevelKind* kind) {
    for (const SetLevel& entry : SetLevels) {
        if (entry.level == level) {
            *kind = entry.kind;
            return true;
        }
    }
    return false;
}

bool IsQueryFileLevel(uint16_t level) {
    return level == 1004 || level == 1005 || level == 1006 || level == 1022;
}

bool IsQueryPathLevel(uint16_t level) {
    return level == 1004 || level == 1005;
}

struct Transaction {
    uint32_t parameters; // header-relative
    uint16_t parameterCount;
    uint32_t data;
    uint16_t dataCount;
};

// The new name of a rename or link in the data block, as a full path in `newPath`.
bool ReadNewPath(SmbMessage* m, const Transaction* t, Utf16Unit* newPath) {
    if (t->dataCount < RenameName || !SmbMessageHas(m, t->data, RenameName)) {
        return false;
    }
    uint32_t length = ReadU32Le(m->base + t->data + RenameNameLength);
    uint32_t copied = length < NewNameMaxBytes ? length : NewNameMaxBytes;
    if (!SmbMessageHas(m, t->data + RenameName, copied)) {
        return false;
    }
    const uint8_t* name = m->base + t->data + RenameName;
    if (IsUnicode(m)) {
        CopyWireText(newPath, name, copied, NewNameMaxBytes);
    } else {
        // An 8-bit name, as the request's flags say: widened unit by unit.
        for (uint32_t i = 0; i < copied && i + 1 < NewPathUnits; ++i) {
            newPath[i] = name[i];
        }
    }
    FullPath(m->atDispatch, SessionOf(m), TreeOf(m), newPath, NewPathUnits);
    return true;
}

// The replace request at the start of a rename or link buffer: ReplaceIfExists (a byte),
// or flags whose lowest bit asks to replace in the extended levels.
bool IsExtendedLevel(uint16_t level) {
    return level == 1065 || level == 1072;
}

// A rename or link that may replace its target: decided, watched, and narrowed where the
// target may not be deleted.
MarkKind DecideRenameLevel(SmbMessage* m, const Transaction* t, uint16_t level, bool link,
                           bool* narrowed) {
    auto* newPath = static_cast<Utf16Unit*>(EngineAllocateZeroed(NewNameBufferBytes));
    if (newPath == nullptr) {
        return MarkKind::None;
    }
    MarkKind mark = MarkKind::None;
    if (ReadNewPath(m, t, newPath)) {
        uint8_t* buffer = m->base + t->data;
        bool extended = IsExtendedLevel(level);
        bool replace = extended ? (ReadU32Le(buffer) & ReplaceIfExistsFlag) != 0 : buffer[0] != 0;
        FileOperation op = OperationFor(m, SessionOf(m), TreeOf(m));
        ReplaceVerdict verdict;
        mark = DecideReplacingRename(&op, WorkPath(m), newPath, link, replace, &verdict);
        if (mark == MarkKind::None) {
            WatchReplaceOutcome(m, SmbDialect::Smb1, RequestKey(m), &verdict, WorkPath(m), newPath);
        }
        if (mark == MarkKind::None && verdict.narrow) {
            // Without the replace request the server refuses an existing target.
            if (extended) {
                WriteU32Le(buffer, ReadU32Le(buffer) & ~ReplaceIfExistsFlag);
            } else {
                buffer[0] = 0;
            }
            *narrowed = true;
        }
    }
    EngineFree(newPath, NewNameBufferBytes);
    return mark;
}

// A set-information level on the file whose full path is in the work buffer. *narrowed
// tells that an allowed rename or link was rewritten to its non-replacing form.
MarkKind DecideSetLevel(SmbMessage* m, const Transaction* t, uint16_t level, SetLevelKind kind,
                        bool* narrowed) {
    *narrowed = false;
    FileOperation op = OperationFor(m, SessionOf(m), TreeOf(m));
    switch (kind) {
    case SetLevelKind::Delete:
        return DecideDelete(&op, WorkPath(m));
    case SetLevelKind::Resize:
        return DecideWrite(&op, WorkPath(m));
    case SetLevelKind::Rename:
    case SetLevelKind::Link:
        return DecideRenameLevel(m, t, level, kind == SetLevelKind::Link, narrowed);
    }
    return MarkKind::None;
}

bool DecodeSetFile(SmbMessage* m, const Transaction* t) {
    uint8_t* h = m->base;
    uint16_t fid;
    uint16_t level;
    SetLevelKind kind;
    if (!HasU16(m, t->parameters, &fid) || !HasU16(m, t->parameters + 2, &level) ||
        !FindSetLevel(level, &kind)) {
        return false;
    }
    OpenFilePath(m, fid);
    bool narrowed;
    MarkKind mark = DecideSetLevel(m, t, level, kind, &narrowed);
    if (mark == MarkKind::None) {
        return narrowed;
    }
    if (level == LevelDispositionPassThrough && t->parameterCount == SetFileParameterBytes) {
        // Without parameters or data the server cannot carry out the request.
        for (uint32_t field : Trans2CountsAndOffsets) {
            WriteU16Le(h + field, 0);
        }
    } else {
        WriteU16Le(h + t->parameters + 2, LevelSpoiled);
    }
    return MarkDenied(m, mark);
}

bool DecodeSetPath(SmbMessage* m, const Transaction* t) {
    uint16_t level;
    SetLevelKind kind;
    WireName name;
    if (!HasU16(m, t->parameters, &level) || !FindSetLevel(level, &kind) ||
        !ReadName(m, t->parameters + PathInfoName, IsUnicode(m), WorkPath(m), NameUnitsMax,
                  &name)) {
        return false;
    }
    NamePath(m);
    bool narrowed;
    MarkKind mark = DecideSetLevel(m, t, level, kind, &narrowed);
    if (mark == MarkKind::None) {
        return narrowed;
    }
    WriteU16Le(m->base + t->parameters, LevelSpoiled);
    return MarkDenied(m, mark);
}

bool DecodeOpen2(SmbMessage* m, const Transaction* t) {
    uint8_t* h = m->base;
    uint16_t accessMode;
    uint16_t openMode;
    if (!HasU16(m, t->parameters + Open2AccessMode, &accessMode) ||
        !HasU16(m, t->parameters + Open2OpenMode, &openMode)) {
        return false;
    }
    uint32_t disposition = DispositionFromOpenMode(openMode);
    WireName name;
    if (disposition == NoDisposition ||
        !ReadName(m, t->parameters + Open2Name, IsUnicode(m), WorkPath(m), NameUnitsMax, &name)) {
        return false;
    }
    OpenRequest open{DesiredAccessFromAccessMode(accessMode), disposition, 0, OpenModeDispositions,
                     true};
    CreateVerdict verdict;
    MarkKind mark = DecideOpen(m, &name, &open, &verdict);
    if (mark != MarkKind::None) {
        WriteU16Le(h + t->parameters + Open2OpenMode, OpenModeRefuseAll);
        return MarkDenied(m, mark);
    }
    if (verdict.disposition == disposition) {
        return false;
    }
    WriteU16Le(h + t->parameters + Open2OpenMode, OpenModeFromDisposition(verdict.disposition));
    return true;
}

bool DecodeCreateDirectory2(SmbMessage* m, const Transaction* t) {
    bool unicode = IsUnicode(m);
    WireName name;
    if (!ReadName(m, t->parameters + CreateDirectoryName, unicode, WorkPath(m), NameUnitsMax,
                  &name)) {
        return false;
    }
    const uint32_t directory = 0x00000001; // FILE_DIRECTORY_FILE
    OpenRequest open{0, DispositionCreate, directory, DispositionBit(DispositionCreate), false};
    CreateVerdict verdict;
    MarkKind mark = DecideOpen(m, &name, &open, &verdict);
    if (mark == MarkKind::None || !SpoilName(m, &name, unicode)) {
        return false;
    }
    return MarkDenied(m, mark);
}

bool DecodeQueryFile(SmbMessage* m, const Transaction* t) {
    uint16_t fid;
    uint16_t level;
    if (t->parameterCount != QueryFileParameterBytes || !HasU16(m, t->parameters, &fid) ||
        !HasU16(m, t->parameters + 2, &level) || !IsQueryFileLevel(level)) {
        return false;
    }
    OpenFilePath(m, fid);
    FileOperation op = OperationFor(m, SessionOf(m), TreeOf(m));
    if (DecideQuery(&op, WorkPath(m), MarkKind::QueryFile) == MarkKind::None) {
        return false;
    }
    SpoilFid(m, t->parameters);
    return MarkDenied(m, MarkKind::QueryFile);
}

bool DecodeQueryPath(SmbMessage* m, const Transaction* t) {
    uint8_t* h = m->base;
    uint16_t level;
    if (!HasU16(m, t->parameters, &level) || !IsQueryPathLevel(level) ||
        !SmbMessageHas(m, t->parameters + 2, 4) || ReadU32Le(h + t->parameters + 2) != 0) {
        return false;
    }
    WireName name;
    if (!ReadName(m, t->parameters + PathInfoName, IsUnicode(m), WorkPath(m), NameUnitsMax,
                  &name)) {
        return false;
    }
    NamePath(m);
    FileOperation op = OperationFor(m, SessionOf(m), TreeOf(m));
    if (DecideQuery(&op, WorkPath(m), MarkKind::QueryPath) == MarkKind::None) {
        return false;
    }
    WriteU16Le(h + t->parameters, 0); // no such information level
    return MarkDenied(m, MarkKind::QueryPath);
}

bool InIpcTree(const SmbMessage* m) {
    return IsIpcTree(m->atDispatch, SessionOf(m), TreeOf(m));
}

bool DecodeNtTransactCreate(SmbMessage* m, uint32_t parameters) {
    uint8_t* h = m->base;
    if (!SmbMessageHas(m, parameters, NtCreateFixedBytes)) {
        return false;
    }
    bool unicode = IsUnicode(m);
    WireName name;
    if (!ReadName(m, AlignedName(parameters, parameters + NtCreateName, unicode), unicode,
                  WorkPath(m), NameUnitsMax, &name)) {
        return false;
    }
    uint32_t nameBytes = name.units * sizeof(Utf16Unit);
    KeyedTableInsertOwned(g_Engine.Smb1.PendingCreates, m->atDispatch, RequestKey(m), SmbWork(m),
                          nameBytes, m->clientAddress);
    uint8_t* p = h + parameters;
    CreateRequest request{ReadU32Le(p + NtCreateDesiredAccess),
                          ReadU32Le(p + NtCreateShareAccess),
                          ReadU32Le(p + NtCreateDisposition),
                          ReadU32Le(p + NtCreateOptions),
                          nameBytes,
                          AllDispositions};
    FileOperation op = OperationFor(m, SessionOf(m), TreeOf(m));
    CreateVerdict verdict;
    MarkKind mark = DecideCreate(&op, &request, WorkPath(m), &verdict);
    if (mark != MarkKind::None) {
        WriteU32Le(p + NtCreateOptions, request.createOptions | CreateOptionsSpoiled);
        return MarkDenied(m, mark);
    }
    WatchCreateOutcome(m, SmbDialect::Smb1, RequestKey(m), &verdict);
    if (verdict.disposition == request.createDisposition) {
        return false;
    }
    WriteU32Le(p + NtCreateDisposition, verdict.disposition);
    return true;
}

bool DecodeNtTransactIoctl(SmbMessage* m) {
    uint8_t* h = m->base;
    if (h[NtTransSetupCount] != IoctlSetupWords || !SmbMessageHas(m, IoctlFid, 2) ||
        !IsContentChangingFsctl(ReadU32Le(h + IoctlFunction))) {
        return false;
    }
    OpenFilePath(m, ReadU16Le(h + IoctlFid));
    FileOperation op = OperationFor(m, SessionOf(m), TreeOf(m));
    if (DecideWrite(&op, WorkPath(m)) == MarkKind::None) {
        return false;
    }
    SpoilFid(m, IoctlFid);
    return MarkDenied(m, MarkKind::Write);
}

} // namespace

bool DecodeTransaction2(SmbMessage* m) {
    uint8_t* h = m->base;
    if (!SmbMessageHas(m, Trans2ParameterCount, Trans2ByteCount + 2 - Trans2ParameterCount) ||
        h[Trans2SetupCount] != 1 || InIpcTree(m)) {
        return false;
    }
    Transaction t{FromHeader(m, ReadU16Le(h + Trans2ParameterOffset)),
                  ReadU16Le(h + Trans2ParameterCount),
                  FromHeader(m, ReadU16Le(h + Trans2DataOffset)), ReadU16Le(h + Trans2DataCount)};
    switch (ReadU16Le(h + Trans2Subcommand)) {
    case Trans2Open2:
        return DecodeOpen2(m, &t);
    case Trans2QueryPathInformation:
        return DecodeQueryPath(m, &t);
    case Trans2SetPathInformation:
        return DecodeSetPath(m, &t);
    case Trans2QueryFileInformation:
        return DecodeQueryFile(m, &t);
    case Trans2SetFileInformation:
        return DecodeSetFile(m, &t);
    case Trans2CreateDirectory:
        return DecodeCreateDirectory2(m, &t);
    default:
        return false;
    }
}

bool DecodeNtTransact(SmbMessage* m) {
    uint8_t* h = m->base;
    if (!SmbMessageHas(m, NtTransParameterCount, NtTransSetup - NtTransParameterCount) ||
        InIpcTree(m)) {
        return false;
    }
    switch (ReadU16Le(h + NtTransFunction)) {
    case NtTransactCreate:
        return DecodeNtTransactCreate(m, FromHeader(m, ReadU32Le(h + NtTransParameterOffset)));
    case NtTransactIoctl:
        return DecodeNtTransactIoctl(m);
    default:
        return false;
    }
}

} // namespace smb1
