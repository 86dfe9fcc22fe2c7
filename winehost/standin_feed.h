// What both NDIS stand-ins use to feed a capture through a driver under Wine: lines of text
// for their reports, the replay's random generator, the capture files beside the stand-in,
// and the thread that waits for a test's trigger files.
#pragma once

#include <stdint.h>

#include "kernel_shim.h"

// ---- Ownership faults the stand-in found ----
// Counts the fault and names it to the debugger; the first one is kept for the books.
void StandinFault(const char* what);
LONG StandinFaults();
const char* StandinFirstFault(); // null when none

// ---- Lines of text for the books and the reports ----
const ULONG ReportLineBytes = 512;
struct ReportLine {
    char text[ReportLineBytes];
    ULONG at;
};
void LineAppend(ReportLine* line, const char* text);
// `value` in decimal, then `what`.
void LineAppendCount(ReportLine* line, LONG value, const char* what);

// ---- std::mt19937_64, and the integer draws the replay makes from it ----
const int TwisterWords = 312;
struct Twister {
    uint64_t state[TwisterWords];
    int index;
};
void TwisterSeed(Twister* t, uint64_t seed);
uint64_t TwisterNext(Twister* t);
// A draw in [0, range) as the C++ library's uniform_int_distribution makes it from a 64-bit
// engine (the multiply-and-shift downscaling, redrawn when it would be biased).
uint64_t TwisterBelow(Twister* t, uint64_t range);
// A draw in [low, high].
ULONG TwisterPick(Twister* t, ULONG low, ULONG high);

// Shuffles `count` pointers as std::shuffle does with the engine.
void TwisterShuffle(Twister* t, PVOID* items, ULONG count);

// True for a frame from the file server: TCP from port 445 or 139 to another port. The
// replay sends these from the protocol above and receives every other frame from below.
bool FrameFromServer(PUCHAR frame, ULONG length);

// ---- The capture fed, and the capture of what left the driver ----
// A classic little-endian capture: its header, then a record header before each frame.
const ULONG PcapRecordBytes = 16;
const ULONG MaxFrameBytes = 65536;

struct CaptureFiles {
    PUCHAR data; // feed.pcap, whole
    ULONG size;
    ULONG at; // the next record
    HANDLE out;
};
// Reads `in` and creates `out` (beside `module`) with the same file header; false when
// either fails or `in` is not a capture.
bool CaptureOpen(CaptureFiles* files, PVOID module, const char* in, const char* out);
// The next record of the capture: its header (copied to `record`) and its frame; false at
// the end, or (with *bad set) when the record runs past the file.
bool CaptureNext(CaptureFiles* files, UCHAR record[PcapRecordBytes], PUCHAR* frame, ULONG* length,
                 bool* bad);
// Appends one record: `record` with its captured length set to `length`, then the frame.
bool CaptureWrite(CaptureFiles* files, UCHAR record[PcapRecordBytes], const UCHAR* frame,
                  ULONG length);
void CaptureClose(CaptureFiles* files);

// ---- Records of the stand-in's own ----
// Objects a stand-in hands out and checks when they come back, outside the driver's pool
// books. A record starts with StandinRecord; freed records are kept until RecordsRelease,
// so that a second free of one is recognised without reading freed memory.
struct StandinRecord {
    StandinRecord* nextRecord; // every record, for the release
    ULONG mark;
    ULONG kind;
};
void RecordsInit();
// A zeroed record of `bytes` (StandinRecord included) and of the caller's `kind`.
PVOID RecordNew(SIZE_T bytes, ULONG kind);
bool RecordLive(const void* p, ULONG kind);
// Marks a live record dead; false when it was not live.
bool RecordRetire(void* p, ULONG kind);
void RecordsRelease();

// ---- Triggers ----
// A file a test creates beside the stand-in (`go`), the work it asks for, and the file the
// stand-in writes when the work is done (`done`, holding the line `run` made).
struct Trigger {
    const char* go;
    const char* done;
    void (*run)(ReportLine* line);
};
// Until *stopping is set: whenever one of the trigger files appears, deletes it, runs its
// work and writes its report.
void ServeTriggers(PVOID module, const Trigger* triggers, ULONG count, volatile LONG* stopping);

// The Win32 calls the stand-ins make beyond kernel_shim.h's.
extern "C" {
__declspec(dllimport) HANDLE WINAPI
    CreateThread(PVOID security, SIZE_T stack, ULONG(WINAPI* start)(PVOID), PVOID parameter,
                 ULONG flags, PULONG id);
__declspec(dllimport) void WINAPI Sleep(ULONG milliseconds);
}
