// System time: the host's clock, or a pinned value that tests move by hand.
#include <atomic>
#include <chrono>

#include "sim.h"

namespace {
// 100-ns intervals between 1601-01-01 and 1970-01-01.
const uint64_t UnixEpochIn1601Units = 116444736000000000ull;
std::atomic<bool> g_pinned{false};
std::atomic<uint64_t> g_time{0};
} // namespace

uint64_t KmQuerySystemTime() {
    if (g_pinned.load(std::memory_order_relaxed)) {
        return g_time.load(std::memory_order_relaxed);
    }
    auto sinceUnix = std::chrono::system_clock::now().time_since_epoch();
    auto units = std::chrono::duration_cast<std::chrono::nanoseconds>(sinceUnix).count() / 100;
    return UnixEpochIn1601Units + static_cast<uint64_t>(units);
}

void SimSetSystemTime(uint64_t time) {
    g_time.store(time);
    g_pinned.store(true);
}

void SimAdvanceSystemTime(uint64_t delta) {
    g_time.fetch_add(delta);
}

void SimUseRealClock() {
    g_pinned.store(false);
}
