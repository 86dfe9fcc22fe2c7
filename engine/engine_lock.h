// A spin lock with the IRQL to return to beside it.
//
// `atDispatch` says whether the caller already runs at DISPATCH_LEVEL: then the
// at-DPC-level variants are used and the IRQL stays as it is; otherwise the lock
// raises the IRQL and keeps the previous one in `savedIrql` until release.
#pragma once

#include "../platform/km.h"

struct EngineLock {
    KmSpinLock lock;
    KmIrql savedIrql; // written after acquiring, read before releasing
};

inline void EngineLockInit(EngineLock* l) {
    KmInitializeSpinLock(&l->lock);
    l->savedIrql = 0;
}

inline void EngineLockAcquire(EngineLock* l, bool atDispatch) {
    if (atDispatch) {
        KmAcquireSpinLockAtDpcLevel(&l->lock);
    } else {
        KmIrql previous;
        KmAcquireSpinLock(&l->lock, &previous);
        l->savedIrql = previous;
    }
}

inline void EngineLockRelease(EngineLock* l, bool atDispatch) {
    if (atDispatch) {
        KmReleaseSpinLockFromDpcLevel(&l->lock);
    } else {
        KmReleaseSpinLock(&l->lock, l->savedIrql);
    }
}
