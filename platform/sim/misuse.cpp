#include "misuse.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "sim.h"

namespace {
std::atomic<SimMisuseMode> g_mode{SimMisuseMode::Abort};
std::atomic<uint64_t> g_count{0};
std::mutex g_lastLock;
char g_last[256];
char g_first[256];
} // namespace

void SimReportMisuse(const char* what) {
    if (g_mode.load() == SimMisuseMode::Abort) {
        std::fprintf(stderr, "kernel interface misuse: %s\n", what);
        std::abort();
    }
    g_count.fetch_add(1);
    std::lock_guard<std::mutex> hold(g_lastLock);
    std::snprintf(g_last, sizeof g_last, "%s", what);
    if (g_first[0] == 0) {
        std::snprintf(g_first, sizeof g_first, "%s", what);
    }
}

void SimSetMisuseMode(SimMisuseMode mode) {
    g_mode.store(mode);
}

uint64_t SimMisuseCount() {
    return g_count.load();
}

const char* SimLastMisuse() {
    return g_last;
}

const char* SimFirstMisuse() {
    return g_first;
}

void SimClearMisuse() {
    g_count.store(0);
    std::lock_guard<std::mutex> hold(g_lastLock);
    g_last[0] = 0;
    g_first[0] = 0;
}
