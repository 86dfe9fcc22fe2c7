// The kernel services of km.h on the Windows kernel.
#include <ntddk.h>

#include "../km.h"

static_assert(sizeof(KmSpinLock) == sizeof(KSPIN_LOCK), "spin lock width");
static_assert(sizeof(KmIrql) == sizeof(KIRQL), "IRQL width");

void* KmAllocatePool(size_t bytes, uint32_t tag) {
    return ExAllocatePoolWithTag(NonPagedPool, bytes, tag);
}

void KmFreePool(void* block, uint32_t tag) {
    ExFreePoolWithTag(block, tag);
}

void KmInitializeSpinLock(KmSpinLock* lock) {
    KeInitializeSpinLock(reinterpret_cast<PKSPIN_LOCK>(lock));
}

void KmAcquireSpinLock(KmSpinLock* lock, KmIrql* oldIrql) {
    KIRQL previous;
    KeAcquireSpinLock(reinterpret_cast<PKSPIN_LOCK>(lock), &previous);
    *oldIrql = previous;
}

void KmReleaseSpinLock(KmSpinLock* lock, KmIrql oldIrql) {
    KeReleaseSpinLock(reinterpret_cast<PKSPIN_LOCK>(lock), oldIrql);
}

void KmAcquireSpinLockAtDpcLevel(KmSpinLock* lock) {
    KeAcquireSpinLockAtDpcLevel(reinterpret_cast<PKSPIN_LOCK>(lock));
}

void KmReleaseSpinLockFromDpcLevel(KmSpinLock* lock) {
    KeReleaseSpinLockFromDpcLevel(reinterpret_cast<PKSPIN_LOCK>(lock));
}

KmIrql KmGetCurrentIrql() {
    return KeGetCurrentIrql();
}

// The processor number is read from the processor control region through a segment
// register, which the compiler takes for an access to address 0.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
uint32_t KmGetCurrentProcessorNumber() {
    return KeGetCurrentProcessorNumber();
}
#pragma GCC diagnostic pop

uint64_t KmQuerySystemTime() {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return static_cast<uint64_t>(now.QuadPart);
}
