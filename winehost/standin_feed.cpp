#include "standin_feed.h"

#include "../engine/frame_view.h"

extern "C" {
__declspec(dllimport) BOOLEAN WINAPI
    ReadFile(HANDLE file, PVOID data, ULONG size, PULONG read, PVOID overlapped);
__declspec(dllimport) ULONG WINAPI GetFileSize(HANDLE file, PULONG high);
__declspec(dllimport) BOOLEAN WINAPI DeleteFileA(const char* name);
}

namespace {

const ULONG FeedTag = 'dfdN';
const ULONG GenericRead = 0x80000000;
const ULONG GenericWrite = 0x40000000;
const ULONG OpenExisting = 3;
const ULONG CreateAlways = 2;
const HANDLE InvalidHandle = reinterpret_cast<HANDLE>(-1);

const ULONG PcapHeaderBytes = 24;
const ULONG PcapMagic = 0xA1B2C3D4;
const ULONG RecordCapturedLength = 8;

const int TwisterMiddle = 156;

const ULONG RecordTag = 'rsdN';
const ULONG LiveMark = 0x4556494C;
const ULONG DeadMark = 0x44414544;
LONG g_faults;
const char* g_firstFault;
StandinRecord* g_records;
KSPIN_LOCK g_recordsLock;

HANDLE OpenBeside(PVOID module, const char* name, bool write) {
    char path[512];
    ShimModulePath(module, name, path, sizeof path);
    return CreateFileA(path, write ? GenericWrite : GenericRead, 0, nullptr,
                       write ? CreateAlways : OpenExisting, 0, nullptr);
}

bool Write(HANDLE file, const void* data, ULONG size) {
    ULONG written = 0;
    return WriteFile(file, data, size, &written, nullptr) && written == size;
}

ULONG ReadLe32(const UCHAR* p) {
    return ULONG(p[0]) | ULONG(p[1]) << 8 | ULONG(p[2]) << 16 | ULONG(p[3]) << 24;
}

void WriteLe32(UCHAR* p, ULONG value) {
    for (int i = 0; i < 4; i++)
        p[i] = UCHAR(value >> (8 * i));
}

// The 128-bit product of two 64-bit numbers, in halves (i386 has no wider integer).
void Multiply(uint64_t a, uint64_t b, uint64_t* high, uint64_t* low) {
    uint64_t aLow = a & 0xFFFFFFFF, aHigh = a >> 32, bLow = b & 0xFFFFFFFF, bHigh = b >> 32;
    uint64_t ll = aLow * bLow, lh = aLow * bHigh, hl = aHigh * bLow, hh = aHigh * bHigh;
    uint64_t middle = (ll >> 32) + (lh & 0xFFFFFFFF) + (hl & 0xFFFFFFFF);
    *low = (middle << 32) | (ll & 0xFFFFFFFF);
    *high = hh + (lh >> 32) + (hl >> 32) + (middle >> 32);
}

} // namespace

void StandinFault(const char* what) {
    if (InterlockedIncrement(&g_faults) == 1)
        g_firstFault = what;
    DbgPrint("ndis.sys stand-in: %s\n", what);
}

LONG StandinFaults() {
    return g_faults;
}

const char* StandinFirstFault() {
    return g_firstFault;
}

void LineAppend(ReportLine* line, const char* text) {
    for (; *text && line->at + 1 < ReportLineBytes; text++)
        line->text[line->at++] = *text;
    line->text[line->at] = 0;
}

void LineAppendCount(ReportLine* line, LONG value, const char* what) {
    char digits[12];
    int n = 0;
    ULONG v = value < 0 ? ULONG(-value) : ULONG(value);
    do {
        digits[n++] = char('0' + v % 10);
        v /= 10;
    } while (v);
    if (value < 0)
        LineAppend(line, "-");
    char text[2] = {0, 0};
    while (n)
        text[0] = digits[--n], LineAppend(line, text);
    LineAppend(line, what);
}

void TwisterSeed(Twister* t, uint64_t seed) {
    t->state[0] = seed;
    for (int i = 1; i < TwisterWords; i++)
        t->state[i] = 6364136223846793005ULL * (t->state[i - 1] ^ (t->state[i - 1] >> 62)) + i;
    t->index = TwisterWords;
}

uint64_t TwisterNext(Twister* t) {
    if (t->index >= TwisterWords) {
        for (int i = 0; i < TwisterWords; i++) {
            uint64_t x = (t->state[i] & 0xFFFFFFFF80000000ULL) |
                         (t->state[(i + 1) % TwisterWords] & 0x7FFFFFFFULL);
            uint64_t shifted = x >> 1;
            if (x & 1)
                shifted ^= 0xB5026F5AA96619E9ULL;
            t->state[i] = t->state[(i + TwisterMiddle) % TwisterWords] ^ shifted;
        }
        t->index = 0;
    }
    uint64_t y = t->state[t->index++];
    y ^= (y >> 29) & 0x5555555555555555ULL;
    y ^= (y << 17) & 0x71D67FFFEDA60000ULL;
    y ^= (y << 37) & 0xFFF7EEE000000000ULL;
    y ^= y >> 43;
    return y;
}

uint64_t TwisterBelow(Twister* t, uint64_t range) {
    uint64_t high, low;
    Multiply(TwisterNext(t), range, &high, &low);
    if (low < range) {
        uint64_t threshold = (0 - range) % range;
        while (low < threshold)
            Multiply(TwisterNext(t), range, &high, &low);
    }
    return high;
}

ULONG TwisterPick(Twister* t, ULONG low, ULONG high) {
    return low + ULONG(TwisterBelow(t, uint64_t(high - low) + 1));
}

void TwisterShuffle(Twister* t, PVOID* items, ULONG count) {
    auto swap = [items](ULONG a, uint64_t b) {
        PVOID kept = items[a];
        items[a] = items[b];
        items[b] = kept;
    };
    if (count == 0)
        return;
    // Two positions from one draw while the square of the count fits the engine's range,
    // which it always does here.
    ULONG i = 1;
    if (count % 2 == 0) {
        swap(i, TwisterBelow(t, 2));
        i++;
    }
    while (i != count) {
        uint64_t range = uint64_t(i) + 1;
        uint64_t both = TwisterBelow(t, range * (range + 1));
        swap(i++, both / (range + 1));
        swap(i++, both % (range + 1));
    }
}

bool FrameFromServer(PUCHAR frame, ULONG length) {
    auto smb = [](uint16_t port) { return port == 445 || port == 139; };
    FrameView view{};
    ParseEthernet(frame, length, &view);
    return (view.flags & FrameHasTcp) && !smb(view.destinationPort) && smb(view.sourcePort);
}

bool CaptureOpen(CaptureFiles* files, PVOID module, const char* in, const char* out) {
    RtlZeroMemory(files, sizeof *files);
    files->out = InvalidHandle;
    HANDLE file = OpenBeside(module, in, false);
    if (file == InvalidHandle)
        return false;
    files->size = GetFileSize(file, nullptr);
    files->data =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, files->size + 1, FeedTag));
    ULONG read = 0;
    bool ok = files->data && ReadFile(file, files->data, files->size, &read, nullptr) &&
              read == files->size;
    CloseHandle(file);
    if (ok)
        files->out = OpenBeside(module, out, true);
    files->at = PcapHeaderBytes;
    return ok && files->out != InvalidHandle && files->size >= PcapHeaderBytes &&
           ReadLe32(files->data) == PcapMagic && Write(files->out, files->data, PcapHeaderBytes);
}

bool CaptureNext(CaptureFiles* files, UCHAR record[PcapRecordBytes], PUCHAR* frame, ULONG* length,
                 bool* bad) {
    *bad = false;
    if (files->at + PcapRecordBytes > files->size)
        return false;
    RtlCopyMemory(record, files->data + files->at, PcapRecordBytes);
    *length = ReadLe32(record + RecordCapturedLength);
    files->at += PcapRecordBytes;
    if (*length > files->size - files->at || *length > MaxFrameBytes) {
        *bad = true;
        return false;
    }
    *frame = files->data + files->at;
    files->at += *length;
    return true;
}

bool CaptureWrite(CaptureFiles* files, UCHAR record[PcapRecordBytes], const UCHAR* frame,
                  ULONG length) {
    WriteLe32(record + RecordCapturedLength, length);
    return Write(files->out, record, PcapRecordBytes) && Write(files->out, frame, length);
}

void CaptureClose(CaptureFiles* files) {
    if (files->out != InvalidHandle)
        CloseHandle(files->out);
    if (files->data)
        ExFreePoolWithTag(files->data, FeedTag);
    RtlZeroMemory(files, sizeof *files);
}

void RecordsInit() {
    KeInitializeSpinLock(&g_recordsLock);
}

PVOID RecordNew(SIZE_T bytes, ULONG kind) {
    auto* record =
        static_cast<StandinRecord*>(ExAllocatePoolWithTag(NonPagedPool, bytes, RecordTag));
    if (!record)
        return nullptr;
    RtlZeroMemory(record, bytes);
    record->mark = LiveMark;
    record->kind = kind;
    KIRQL irql;
    KeAcquireSpinLock(&g_recordsLock, &irql);
    record->nextRecord = g_records;
    g_records = record;
    KeReleaseSpinLock(&g_recordsLock, irql);
    return record;
}

bool RecordLive(const void* p, ULONG kind) {
    auto* record = static_cast<const StandinRecord*>(p);
    return p && record->mark == LiveMark && record->kind == kind;
}

bool RecordRetire(void* p, ULONG kind) {
    if (!RecordLive(p, kind))
        return false;
    static_cast<StandinRecord*>(p)->mark = DeadMark;
    return true;
}

void RecordsRelease() {
    KIRQL irql;
    KeAcquireSpinLock(&g_recordsLock, &irql);
    StandinRecord* records = g_records;
    g_records = nullptr;
    KeReleaseSpinLock(&g_recordsLock, irql);
    while (records) {
        StandinRecord* next = records->nextRecord;
        ExFreePoolWithTag(records, RecordTag);
        records = next;
    }
}

void ServeTriggers(PVOID module, const Trigger* triggers, ULONG count, volatile LONG* stopping) {
    while (!*stopping) {
        bool ran = false;
        for (ULONG i = 0; i < count && !*stopping; i++) {
            HANDLE go = OpenBeside(module, triggers[i].go, false);
            if (go == InvalidHandle)
                continue;
            CloseHandle(go);
            char path[512];
            ShimModulePath(module, triggers[i].go, path, sizeof path);
            DeleteFileA(path);
            ReportLine line{};
            triggers[i].run(&line);
            ShimWriteReport(module, triggers[i].done, line.text);
            ran = true;
        }
        if (!ran)
            Sleep(50);
    }
}
