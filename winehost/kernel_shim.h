// What the stand-ins add to Wine's kernel for the shipped drivers: the kernel functions
// Wine's ntoskrnl leaves unimplemented (put into the driver's import table), pool with
// per-tag books, and a way to stop the driver host.
#pragma once

#include <ntddk.h>

// The Win32 file calls the stand-ins make from the driver host (kernel32).
extern "C" {
__declspec(dllimport) HANDLE WINAPI
    CreateFileA(const char* name, ULONG access, ULONG share, PVOID security, ULONG disposition,
                ULONG flags, HANDLE templateFile);
__declspec(dllimport) BOOLEAN WINAPI
    WriteFile(HANDLE file, const void* data, ULONG size, PULONG written, PVOID overlapped);
__declspec(dllimport) BOOLEAN WINAPI CloseHandle(HANDLE handle);
}

// Replaces, in the import table of the driver image at `imageBase`, the ntoskrnl imports
// that Wine does not implement with the shim's own: on i386 KefAcquireSpinLockAtDpcLevel
// and KefReleaseSpinLockFromDpcLevel (Wine's are stubs that abort), and on both
// architectures MmMapLockedPagesSpecifyCache (Wine's always answers null; the shim answers
// the MDL's own address, as for the nonpaged buffers NDIS hands a driver).
void ShimPatchImports(PVOID imageBase);
// ShimPatchImports on every module of the process that imports `dll` (named without case),
// so that a driver's imports are replaced before its DriverEntry runs: called from the
// stand-in's DllMain, which runs once the driver's imports are bound and before the driver
// is started.
void ShimPatchImportersOf(const char* dll);

// Pool by tag, counted: blocks still allocated under each tag.
PVOID ShimAllocate(SIZE_T bytes, ULONG tag);
// Frees a block from ShimAllocate. A block that is not one (or no longer one), or that is
// freed under another tag than its own (`tag` 0 takes any), is left alone and counted as a
// fault in the books.
void ShimFreeTagged(PVOID block, ULONG tag);
// Faults counted by ShimFreeTagged.
ULONG ShimPoolFaults();
// Blocks not yet freed, across all tags; the tag of one of them (0 when none).
ULONG ShimBlocksOutstanding(ULONG* someTag);
// Blocks handed out since load.
ULONG ShimBlocksAllocated();

// The path of the file `name` in the folder of the module `module`, in `path` (`size` bytes).
void ShimModulePath(PVOID module, const char* name, char* path, ULONG size);
// Writes `line` (and a line end) to the file `name` in the folder of the module `module`,
// replacing what it held; the stand-in's books are read from there by the tests.
void ShimWriteReport(PVOID module, const char* name, const char* line);

[[noreturn]] void ShimStopHost();
