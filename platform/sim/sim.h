// Controls of the user-mode kernel simulation, for tests, tools and benchmarks.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "../km.h"

// ---- Pool ----
struct SimPoolUsage {
    uint64_t blocks; // allocations not yet freed
    uint64_t bytes;  // bytes requested by those allocations
};
SimPoolUsage SimPoolUsageForTag(uint32_t tag);
// Allocations attempted since start (failed ones included), across all tags.
uint64_t SimPoolAllocationCount();
// Make the Nth allocation from now fail (1 = the next one); 0 switches injection off.
void SimPoolFailAllocation(uint64_t nth);
// Counts one allocation attempt that is not pool (an object of an NDIS model: an MDL, a
// NET_BUFFER, a pool, a cloned request) and says whether it may succeed. Pool and these
// share one counter, so the fail-the-Nth switch reaches every kind of allocation.
bool SimAllocationAllowed();

// ---- IRQL and spin locks ----
// Misuse (an at-DPC-level acquire below DISPATCH_LEVEL, a release of a lock that is not
// held, a recursive acquire, lowering the IRQL with locks held, freeing with the wrong
// tag) aborts the process by default, so every test runs with the checks on. A test
// that wants to see a misuse switches to recording.
enum class SimMisuseMode { Abort, Record };
void SimSetMisuseMode(SimMisuseMode mode);
uint64_t SimMisuseCount();
// Text of the last recorded misuse ("" when none).
const char* SimLastMisuse();
// Text of the first misuse recorded since the last clear ("" when none).
const char* SimFirstMisuse();
void SimClearMisuse();

// The calling thread's IRQL, as an NDIS host would run at it.
void SimRaiseIrql(KmIrql level);
void SimLowerIrql(KmIrql level);
// The processor number the calling thread reports (0 unless set).
void SimSetCurrentProcessor(uint32_t number);
// Spin locks the calling thread holds now.
int SimLocksHeld();

// ---- Clock ----
// Pin the system time (100-ns units since 1601); the clock then moves only when told.
void SimSetSystemTime(uint64_t time);
void SimAdvanceSystemTime(uint64_t delta);
// Back to the host's real clock.
void SimUseRealClock();
// Stops the thread that plays the clock interrupt; the next read of the real clock starts
// it again, from the reading thread. For a process about to drop privileges: a thread keeps
// the capabilities it was started with.
void SimStopTicker();
