// System time: the host's clock, or a pinned value that tests move by hand.
//
// The kernel's system time is a value in memory that the clock interrupt moves on every
// tick, so reading it costs one load. Here a ticker thread plays the clock interrupt: it
// stores the host's real time every millisecond, and a read is a load of that value.
// The ticker starts with the first read of the real clock (again in a forked child,
// which inherits no threads).
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "sim.h"

namespace {
// 100-ns intervals between 1601-01-01 and 1970-01-01.
const uint64_t UnixEpochIn1601Units = 116444736000000000ull;
const uint64_t UnitsPerSecond = 10000000;
const uint64_t NanosecondsPerUnit = 100;
const std::chrono::milliseconds TickInterval(1);

std::atomic<bool> g_pinned{false};
std::atomic<uint64_t> g_time{0};

std::atomic<uint64_t> g_tick{0};
std::atomic<bool> g_ticking{false};
std::mutex g_tickerStart;
// A ticker runs while the generation it was started in is the current one.
std::atomic<uint64_t> g_tickerGeneration{0};
std::atomic<int> g_tickersRunning{0};

uint64_t ReadHostClock() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return UnixEpochIn1601Units + uint64_t(now.tv_sec) * UnitsPerSecond +
           uint64_t(now.tv_nsec) / NanosecondsPerUnit;
}

void ForgetTickerInChild() {
    g_ticking.store(false);
    g_tickersRunning.store(0);
}

uint64_t StartTicker() {
    std::lock_guard<std::mutex> hold(g_tickerStart);
    if (!g_ticking.load()) {
        static bool registered = false;
        if (!registered) {
            pthread_atfork(nullptr, nullptr, ForgetTickerInChild);
            registered = true;
        }
        g_tick.store(ReadHostClock());
        uint64_t generation = g_tickerGeneration.load();
        g_tickersRunning.fetch_add(1);
        std::thread([generation] {
            while (g_tickerGeneration.load(std::memory_order_relaxed) == generation) {
                std::this_thread::sleep_for(TickInterval);
                g_tick.store(ReadHostClock(), std::memory_order_relaxed);
            }
            g_tickersRunning.fetch_sub(1);
        }).detach();
        g_ticking.store(true);
    }
    return g_tick.load();
}
} // namespace

void SimStopTicker() {
    {
        std::lock_guard<std::mutex> hold(g_tickerStart);
        g_ticking.store(false);
        g_tickerGeneration.fetch_add(1);
    }
    // The next read starts a new one; the old one ends within a tick.
    while (g_tickersRunning.load() > (g_ticking.load() ? 1 : 0)) {
        std::this_thread::sleep_for(TickInterval);
    }
}

uint64_t KmQuerySystemTime() {
    if (g_pinned.load(std::memory_order_relaxed)) {
        return g_time.load(std::memory_order_relaxed);
    }
    if (!g_ticking.load(std::memory_order_relaxed)) {
        return StartTicker();
    }
    return g_tick.load(std::memory_order_relaxed);
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
