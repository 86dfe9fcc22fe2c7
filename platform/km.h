// Kernel services used by the engine and its hosts.
//
// This header is the only place where the engine meets the operating system.
// platform/win/ maps these calls onto the Windows kernel; platform/sim/ implements
// them in user mode with checks that a real kernel would only show as a crash
// (IRQL misuse, double release, leaked pool).
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef uint8_t KmIrql;
// Same width as the kernel's KSPIN_LOCK (ULONG_PTR).
typedef uintptr_t KmSpinLock;

const KmIrql KmPassiveLevel = 0;
const KmIrql KmDispatchLevel = 2;

// Pool tags are given as their four bytes in memory order: "IFlg" stays readable in a
// pool dump.
constexpr uint32_t KmPoolTag(const char (&bytes)[5]) {
    return uint32_t(uint8_t(bytes[0])) | uint32_t(uint8_t(bytes[1])) << 8 |
           uint32_t(uint8_t(bytes[2])) << 16 | uint32_t(uint8_t(bytes[3])) << 24;
}

// Non-paged pool. The returned memory is not initialised; null on failure.
void* KmAllocatePool(size_t bytes, uint32_t tag);
void KmFreePool(void* block, uint32_t tag);

// Spin locks. The raising variant returns the previous IRQL through `oldIrql`;
// the at-DPC-level variants require the caller to run at DISPATCH_LEVEL already.
void KmInitializeSpinLock(KmSpinLock* lock);
void KmAcquireSpinLock(KmSpinLock* lock, KmIrql* oldIrql);
void KmReleaseSpinLock(KmSpinLock* lock, KmIrql oldIrql);
void KmAcquireSpinLockAtDpcLevel(KmSpinLock* lock);
void KmReleaseSpinLockFromDpcLevel(KmSpinLock* lock);
KmIrql KmGetCurrentIrql();
// Number of the processor the caller runs on.
uint32_t KmGetCurrentProcessorNumber();

// System time: UTC in 100-nanosecond units since 1 January 1601.
uint64_t KmQuerySystemTime();

// Memory helpers. The compiler lowers these to memset/memcpy/memmove/memcmp, which the
// kernel exports as well.
inline void KmZeroMemory(void* block, size_t bytes) {
    __builtin_memset(block, 0, bytes);
}
inline void KmCopyMemory(void* to, const void* from, size_t bytes) {
    __builtin_memcpy(to, from, bytes);
}
// The ranges may overlap.
inline void KmMoveMemory(void* to, const void* from, size_t bytes) {
    __builtin_memmove(to, from, bytes);
}
inline bool KmEqualMemory(const void* a, const void* b, size_t bytes) {
    return __builtin_memcmp(a, b, bytes) == 0;
}

// Relaxed atomics for the unlocked counters and switches: each access is whole,
// and no ordering with other memory is implied.
inline uint8_t KmAtomicLoad8(const volatile uint8_t* value) {
    return __atomic_load_n(value, __ATOMIC_RELAXED);
}
inline void KmAtomicStore8(volatile uint8_t* value, uint8_t newValue) {
    __atomic_store_n(value, newValue, __ATOMIC_RELAXED);
}
inline uint64_t KmAtomicLoad64(const volatile uint64_t* value) {
    return __atomic_load_n(value, __ATOMIC_RELAXED);
}
inline void KmAtomicStore64(volatile uint64_t* value, uint64_t newValue) {
    __atomic_store_n(value, newValue, __ATOMIC_RELAXED);
}
inline void KmAtomicAdd64(volatile uint64_t* value, uint64_t delta) {
    __atomic_fetch_add(value, delta, __ATOMIC_RELAXED);
}
