#include "forwarding.h"

#include <ctime>

namespace {

// Longest spin or gather time accepted: beyond it the loop only burns a processor.
const uint32_t MaxMicroseconds = 10000;
const uint32_t MaxThreads = 2;

int64_t MonotonicMicroseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

bool ParseCount(const std::string& text, uint32_t low, uint32_t high, uint32_t* value) {
    if (text.empty() || text.size() > 6 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    unsigned long v = std::stoul(text);
    if (v < low || v > high) {
        return false;
    }
    *value = uint32_t(v);
    return true;
}

} // namespace

bool ParseForwardingOption(const std::string& name, const std::string& value,
                           ForwardingOptions* options, std::string* error) {
    uint32_t* into = name == "--spin"      ? &options->spinMicroseconds
                     : name == "--gather"  ? &options->gatherMicroseconds
                     : name == "--threads" ? &options->threads
                                           : nullptr;
    uint32_t low = into == &options->threads ? 1 : 0;
    uint32_t high = into == &options->threads ? MaxThreads : MaxMicroseconds;
    if (into == nullptr || !ParseCount(value, low, high, into)) {
        *error = name + " takes a whole number from " + std::to_string(low) + " to " +
                 std::to_string(high) + ", not \"" + value + "\"";
        return false;
    }
    return true;
}

void ForwardUntilIdle(PortPair* const* pairs, size_t count, FrameInspector* inspector,
                      const ForwardingOptions& options, const std::atomic<bool>* yield) {
    const bool gather = options.gatherMicroseconds > 0;
    int64_t heldSince = -1; // when the frames held back now were first seen held
    int64_t idleSince = -1; // when the rings were first seen empty
    uint32_t passed = 0;    // frames moved by this call
    for (;;) {
        uint32_t moved = 0;
        uint32_t held = 0;
        for (size_t i = 0; i < count; ++i) {
            moved += ForwardBurst(pairs[i], inspector, ForwardingBurst, !gather);
            held += pairs[i]->to->Queued();
        }
        passed += moved;
        if (passed >= ForwardingPassFrames) {
            for (size_t i = 0; i < count; ++i) {
                pairs[i]->to->Flush(&pairs[i]->counters.lost);
            }
            return;
        }
        if (held == 0 && moved == 0 && options.spinMicroseconds == 0) {
            return; // neither waits: no clock is read
        }
        int64_t now = MonotonicMicroseconds();
        if (held > 0) {
            if (heldSince < 0) {
                heldSince = now;
            }
            bool yielding = yield != nullptr && yield->load(std::memory_order_relaxed);
            if (yielding || now - heldSince >= int64_t(options.gatherMicroseconds)) {
                for (size_t i = 0; i < count; ++i) {
                    pairs[i]->to->Flush(&pairs[i]->counters.lost);
                }
                held = 0;
                heldSince = -1;
            }
        }
        if (held == 0 && yield != nullptr && yield->load(std::memory_order_relaxed)) {
            return;
        }
        if (moved > 0) {
            idleSince = -1;
            continue;
        }
        if (idleSince < 0) {
            idleSince = now;
        }
        if (held == 0 && now - idleSince >= int64_t(options.spinMicroseconds)) {
            return;
        }
        CpuRelax();
    }
}
