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
};

// Who asks, and where.
struct FileOperation {
    bool atDispatch;
    uint64_t session;
    uint32_t treeId;
    uint64_t clientMac;
    uint32_t clientAddress;
};

struct CreateRequest {
    uint32_t desiredAccess;
    uint32_t shareAccess;
    uint32_t createDisposition;
    uint32_t createOptions;
    uint32_t nameBytes; // as sent; 0 opens the share's root
};

// Units of the path buffers the decoders pass in (the 2048-byte work buffer).
const uint32_t PathBufferUnits = 1024;

bool IsOfficeDocument(const Utf16Unit* path);
bool IsTemporaryName(const Utf16Unit* path);

// `path` holds the name as sent (terminated) and becomes its full path. The caller has
// already passed the IPC$ and shape tests.
MarkKind DecideCreate(const FileOperation* op, const CreateRequest* request, Utf16Unit* path);
// `path` is the full path of the open file (empty when the file is unknown).
MarkKind DecideWrite(const FileOperation* op, const Utf16Unit* path);
MarkKind DecideDelete(const FileOperation* op, const Utf16Unit* path);
MarkKind DecideRename(const FileOperation* op, const Utf16Unit* oldPath, const Utf16Unit* newPath);
// `queryMark` is the dialect's query mark (QueryInfo, QueryFile or QueryPath).
MarkKind DecideQuery(const FileOperation* op, const Utf16Unit* path, MarkKind queryMark);
