// What the SMB1 request decoders share: the header's keys, names on the wire, and the
// spoils that make a server refuse a request without doing anything.
#pragma once

#include <stdint.h>

#include "create_answer.h"
#include "file_policy.h"
#include "keyed_table.h"
#include "smb_dispatch.h"
#include "smb_message.h"
#include "smb_protocol.h"
#include "wire.h"

namespace smb1 {

const uint32_t Flags2 = 10;
const uint16_t Flags2Unicode = 0x8000;
const uint32_t Tid = 24;
const uint32_t Uid = 28;
const uint32_t Mid = 30;
// Parameter words and data bytes are counted from the WordCount byte.
const uint32_t Words = Smb1HeaderLength;

// The keys come from the message's header; the tree is the one a TREE_CONNECT_ANDX earlier
// in the chain connects, when there is one.
inline uint64_t SessionOf(const SmbMessage* m) {
    return ReadU16Le(m->header + Uid);
}
inline uint32_t TreeOf(const SmbMessage* m) {
    return m->chainTree != 0 ? m->chainTree : ReadU16Le(m->header + Tid);
}
inline TableKey RequestKey(const SmbMessage* m) {
    return MessageRequestKey(SmbDialect::Smb1, m);
}
inline TableKey FileKey(const SmbMessage* m, uint16_t fid) {
    return TableKey{fid, ReadU16Le(m->header + Uid)};
}
inline bool IsUnicode(const SmbMessage* m) {
    return (ReadU16Le(m->header + Flags2) & Flags2Unicode) != 0;
}

// The tree id under which a TREE_CONNECT_ANDX holds its share for the commands chained
// after it (HoldChainTree): above every 16-bit id a server assigns, one per request.
const uint32_t ChainTreeFlag = 0x10000;
inline uint32_t ChainTreeId(const uint8_t* header) {
    return ChainTreeFlag | ReadU16Le(header + Mid);
}

// The header's offset from the command's base, for AlignedName: UTF-16 names are aligned
// from the header whichever command of a chain they belong to (the value wraps below zero;
// only its parity is used).
inline uint32_t HeaderAt(const SmbMessage* m) {
    return 0u - uint32_t(m->base - m->header);
}

// An offset read from the wire (counted from the header) counted from the command's base;
// past the end of the message when it points before the base.
inline uint32_t FromHeader(const SmbMessage* m, uint32_t offset) {
    uint32_t shift = uint32_t(m->base - m->header);
    return offset >= shift ? offset - shift : m->available + 1;
}

bool HasU16(const SmbMessage* m, uint32_t offset, uint16_t* value);

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
              WireName* name);

// Where a UTF-16 name starts that follows `offset`: such names are aligned to two bytes
// from `base` (the SMB header, see HeaderAt, or a transaction's parameter block).
inline uint32_t AlignedName(uint32_t base, uint32_t offset, bool unicode) {
    return unicode && ((offset - base) & 1) != 0 ? offset + 1 : offset;
}

// Makes the name ".." (the rest zeroed): a path that leaves the share, refused by the
// server before it touches any file, and no wildcard, so commands that act on every
// match of a mask match nothing. False when the name has no room for it.
bool SpoilName(SmbMessage* m, const WireName* name, bool unicode);
// Whether the name has room for ".." (with its terminator). A request whose name has not
// cannot be refused this way, so it is left undecided and unreported.
bool NameHoldsSpoil(const WireName* name, bool unicode);

// No open has file id 0: a request naming it fails before it touches any file. A command
// chained after one that opens or names a file runs on that file whatever id it carries, so
// its WordCount is made 0 as well: no command that names a file has so few words, and the
// server refuses it (or the whole chain, when the bytes then read as its ByteCount do not
// fit).
const uint16_t SpoiledFid = 0;
void SpoilFid(SmbMessage* m, uint32_t fidAt);

// Where NT_CREATE_ANDX and OPEN_ANDX requests carry their name (a UTF-16 name after its
// pad byte, see AlignedName).
const uint32_t NtCreateAndXName = Words + 51;
const uint32_t OpenAndXName = Words + 33;

// The full path of the open file `fid` into the work buffer; for a command chained after
// an open, of the file that open names.
void OpenFilePath(SmbMessage* m, uint16_t fid);

// The name in the work buffer (`name` as read) as its full path in the message's tree.
void NamePath(SmbMessage* m);

// An SMB1 command that opens or creates, seen as an NT create.
struct OpenRequest {
    uint32_t desiredAccess;
    uint32_t disposition;
    uint32_t createOptions;
    uint32_t expressible;
    bool remembersFile; // the answer carries a file id worth recording
};

// Decides an open or create of the name in the work buffer (`name` as read); records the
// pending create when the answer carries a file id, and the outcome to watch when allowed.
MarkKind DecideOpen(SmbMessage* m, const WireName* name, const OpenRequest* open,
                    CreateVerdict* verdict);

// Records a denial of the request under its key; returns true (the request was spoiled).
bool MarkDenied(SmbMessage* m, MarkKind mark);

// Legacy open modes (OpenFunction, OpenMode): bits 0-1 what to do with an existing file,
// bit 4 whether to create a missing one.
const uint16_t OpenModeRefuseAll = 0x0000; // fail either way: a request that never opens
const uint32_t NoDisposition = 0xFFFFFFFF; // an open mode that fails whatever exists
uint32_t DispositionFromOpenMode(uint16_t openMode);
uint16_t OpenModeFromDisposition(uint32_t disposition);
const uint32_t OpenModeDispositions = (1u << DispositionOpen) | (1u << DispositionCreate) |
                                      (1u << DispositionOpenIf) | (1u << DispositionOverwrite) |
                                      (1u << DispositionOverwriteIf);
// Legacy access modes: bits 0-2, 0 read, 1 write, 2 read and write, 3 execute.
uint32_t DesiredAccessFromAccessMode(uint16_t accessMode);

// The TRANSACTION2 and NT_TRANSACT decoders.
bool DecodeTransaction2(SmbMessage* m);
bool DecodeNtTransact(SmbMessage* m);

} // namespace smb1
