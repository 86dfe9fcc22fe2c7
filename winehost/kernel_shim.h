// What the stand-ins add to Wine's kernel for the shipped drivers: the kernel functions
// Wine's ntoskrnl leaves unimplemented (put into the driver's import table), pool with
// per-tag books, and a way to stop the driver host.
#pragma once

#include <ntddk.h>

// Replaces, in the import table of the driver image at `imageBase`, the ntoskrnl imports
// that Wine does not implement with the shim's own: on i386 KefAcquireSpinLockAtDpcLevel
// and KefReleaseSpinLockFromDpcLevel (Wine's are stubs that abort), and on both
// architectures MmMapLockedPagesSpecifyCache (Wine's always answers null; the shim answers
// the MDL's own address, as for the nonpaged buffers NDIS hands a driver).
void ShimPatchImports(PVOID imageBase);

// Pool by tag, counted: blocks still allocated under each tag.
PVOID ShimAllocate(SIZE_T bytes, ULONG tag);
void ShimFree(PVOID block);
// Blocks not yet freed, across all tags; the tag of one of them (0 when none).
ULONG ShimBlocksOutstanding(ULONG* someTag);

[[noreturn]] void ShimStopHost();
