// Spin locks with a per-thread IRQL that catches the mistakes a kernel would punish.
#include <atomic>
#include <thread>

#include "misuse.h"
#include "sim.h"

namespace {

thread_local KmIrql t_irql = KmPassiveLevel;
thread_local int t_locksHeld = 0;
thread_local uint32_t t_processor = 0;

// A lock word holds 0 when free, else a per-thread non-zero owner id.
uintptr_t OwnerId() {
    static thread_local char marker;
    return reinterpret_cast<uintptr_t>(&marker);
}

std::atomic<uintptr_t>* Word(KmSpinLock* lock) {
    static_assert(sizeof(std::atomic<uintptr_t>) == sizeof(KmSpinLock), "lock word width");
    return reinterpret_cast<std::atomic<uintptr_t>*>(lock);
}

void Take(KmSpinLock* lock) {
    uintptr_t self = OwnerId();
    if (Word(lock)->load(std::memory_order_relaxed) == self) {
        SimReportMisuse("spin lock acquired again by its holder (deadlock)");
        return;
    }
    for (;;) {
        uintptr_t expected = 0;
        if (Word(lock)->compare_exchange_weak(expected, self, std::memory_order_acquire)) {
            break;
        }
        std::this_thread::yield();
    }
    ++t_locksHeld;
}

// Only the holder writes a held lock's word, so a check of the owner followed by a plain
// releasing store is enough: one locked instruction per acquire-release pair, as in the
// kernel.
void Give(KmSpinLock* lock) {
    if (Word(lock)->load(std::memory_order_relaxed) != OwnerId()) {
        SimReportMisuse("spin lock released by a thread that does not hold it");
        return;
    }
    Word(lock)->store(0, std::memory_order_release);
    --t_locksHeld;
}

} // namespace

void KmInitializeSpinLock(KmSpinLock* lock) {
    Word(lock)->store(0);
}

void KmAcquireSpinLock(KmSpinLock* lock, KmIrql* oldIrql) {
    if (t_irql > KmDispatchLevel) {
        SimReportMisuse("spin lock acquired above DISPATCH_LEVEL");
    }
    *oldIrql = t_irql;
    t_irql = KmDispatchLevel;
    Take(lock);
}

void KmReleaseSpinLock(KmSpinLock* lock, KmIrql oldIrql) {
    if (t_irql != KmDispatchLevel) {
        SimReportMisuse("raising spin lock released below DISPATCH_LEVEL");
    }
    Give(lock);
    if (oldIrql > KmDispatchLevel) {
        SimReportMisuse("spin lock release restores an IRQL above DISPATCH_LEVEL");
        return;
    }
    t_irql = oldIrql;
}

void KmAcquireSpinLockAtDpcLevel(KmSpinLock* lock) {
    if (t_irql != KmDispatchLevel) {
        SimReportMisuse("at-DPC-level spin lock acquire below DISPATCH_LEVEL");
    }
    Take(lock);
}

void KmReleaseSpinLockFromDpcLevel(KmSpinLock* lock) {
    if (t_irql != KmDispatchLevel) {
        SimReportMisuse("at-DPC-level spin lock release below DISPATCH_LEVEL");
    }
    Give(lock);
}

KmIrql KmGetCurrentIrql() {
    return t_irql;
}

void SimRaiseIrql(KmIrql level) {
    if (level < t_irql) {
        SimReportMisuse("IRQL raised to a lower level");
    }
    t_irql = level;
}

void SimLowerIrql(KmIrql level) {
    if (level > t_irql) {
        SimReportMisuse("IRQL lowered to a higher level");
    }
    if (t_locksHeld != 0 && level < KmDispatchLevel) {
        SimReportMisuse("IRQL lowered below DISPATCH_LEVEL with spin locks held");
    }
    t_irql = level;
}

int SimLocksHeld() {
    return t_locksHeld;
}

uint32_t KmGetCurrentProcessorNumber() {
    return t_processor;
}

void SimSetCurrentProcessor(uint32_t number) {
    t_processor = number;
}
