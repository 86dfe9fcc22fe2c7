#include "smb1_fields.h"

#include "../platform/km.h"
#include "denial_marks.h"
#include "engine_state.h"
#include "session_state.h"
#include "smb_dispatch.h"
#include "smb_request_common.h"

namespace smb1 {

namespace {
const Utf16Unit Dot = '.';
const uint16_t OpenExistingMask = 0x0003;
const uint16_t OpenExistingFail = 0x0000;
const uint16_t OpenExistingOpen = 0x0001;
const uint16_t OpenExistingTruncate = 0x0002;
const uint16_t OpenCreateMissing = 0x0010;
const uint16_t AccessModeMask = 0x0007;
const uint32_t FileReadData = 0x00000001;
const uint32_t FileWriteData = 0x00000002;
// A share mode that never reads as "delete sharing only".
const uint32_t ShareAll = 7;
} // namespace

bool HasU16(const SmbMessage* m, uint32_t offset, uint16_t* value) {
    if (!SmbMessageHas(m, offset, 2)) {
        return false;
    }
    *value = ReadU16Le(m->base + offset);
    return true;
}

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
        Utf16Unit unit = unicode ? ReadU16Le(m->base + at) : m->base[at];
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

bool NameHoldsSpoil(const WireName* name, bool unicode) {
    // The name with its terminator; a one-unit name gives its terminator to the second dot.
    return name->next - name->start >= 2 * (unicode ? 2u : 1u);
}

bool SpoilName(SmbMessage* m, const WireName* name, bool unicode) {
    uint32_t width = unicode ? 2 : 1;
    if (!NameHoldsSpoil(name, unicode)) {
        return false;
    }
    uint8_t* at = m->base + name->start;
    if (name->bytes > 2 * width) {
        KmZeroMemory(at + 2 * width, name->bytes - 2 * width);
    }
    for (uint32_t i = 0; i < 2; ++i) {
        if (unicode) {
            WriteU16Le(at + i * width, Dot);
        } else {
            at[i] = uint8_t(Dot);
        }
    }
    return true;
}

void SpoilFid(SmbMessage* m, uint32_t fidAt) {
    WriteU16Le(m->base + fidAt, SpoiledFid);
    if (m->chainOpen != nullptr || m->hasChainFid) {
        m->base[Words] = 0;
    }
}

void OpenFilePath(SmbMessage* m, uint16_t fid) {
    if (m->hasChainFid) {
        fid = m->chainFid;
    }
    if (m->chainOpen != nullptr) {
        // The open's name, read as the open's own decoder reads it.
        SmbMessage open = *m;
        open.base = m->chainOpen;
        open.available = m->available + uint32_t(m->base - m->chainOpen);
        uint32_t nameAt = m->chainOpenCommand == Smb1NtCreateAndX ? NtCreateAndXName : OpenAndXName;
        bool unicode = IsUnicode(m);
        WireName name;
        if (ReadName(&open, AlignedName(HeaderAt(&open), nameAt, unicode), unicode, WorkPath(m),
                     PathBufferUnits, &name)) {
            NamePath(m);
        }
        return;
    }
    OpenFileFullPath(m->atDispatch, SessionOf(m), TreeOf(m), FileKey(m, fid), WorkPath(m),
                     PathBufferUnits);
}

void NamePath(SmbMessage* m) {
    FullPath(m->atDispatch, SessionOf(m), TreeOf(m), WorkPath(m), PathBufferUnits);
}

MarkKind DecideOpen(SmbMessage* m, const WireName* name, const OpenRequest* open,
                    CreateVerdict* verdict) {
    uint32_t nameBytes = name->units * sizeof(Utf16Unit);
    if (open->remembersFile) {
        KeyedTableInsertOwned(g_Engine.Smb1.PendingCreates, m->atDispatch, RequestKey(m),
                              SmbWork(m), nameBytes, m->clientAddress);
    }
    CreateRequest request{open->desiredAccess, ShareAll,  open->disposition,
                          open->createOptions, nameBytes, open->expressible};
    FileOperation op = OperationFor(m, SessionOf(m), TreeOf(m));
    MarkKind mark = DecideCreate(&op, &request, WorkPath(m), verdict);
    if (mark == MarkKind::None) {
        WatchCreateOutcome(m, SmbDialect::Smb1, RequestKey(m), verdict);
    }
    return mark;
}

bool MarkDenied(SmbMessage* m, MarkKind mark) {
    RecordDenialMark(SmbDialect::Smb1, mark, RequestKey(m), m);
    return true;
}

uint32_t DispositionFromOpenMode(uint16_t openMode) {
    bool create = (openMode & OpenCreateMissing) != 0;
    switch (openMode & OpenExistingMask) {
    case OpenExistingFail:
        return create ? DispositionCreate : NoDisposition;
    case OpenExistingOpen:
        return create ? DispositionOpenIf : DispositionOpen;
    case OpenExistingTruncate:
        return create ? DispositionOverwriteIf : DispositionOverwrite;
    default:
        return NoDisposition;
    }
}

uint16_t OpenModeFromDisposition(uint32_t disposition) {
    switch (disposition) {
    case DispositionOpen:
        return OpenExistingOpen;
    case DispositionCreate:
        return OpenCreateMissing;
    case DispositionOpenIf:
        return OpenExistingOpen | OpenCreateMissing;
    case DispositionOverwrite:
        return OpenExistingTruncate;
    case DispositionOverwriteIf:
        return OpenExistingTruncate | OpenCreateMissing;
    default:
        return OpenModeRefuseAll;
    }
}

uint32_t DesiredAccessFromAccessMode(uint16_t accessMode) {
    // Read, write, read and write, execute; the reserved modes read as reading.
    const uint32_t byMode[] = {FileReadData, FileWriteData, FileReadData | FileWriteData,
                               FileReadData};
    uint16_t mode = accessMode & AccessModeMask;
    return mode < 4 ? byMode[mode] : FileReadData;
}

} // namespace smb1
