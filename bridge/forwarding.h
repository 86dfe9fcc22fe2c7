// How the guard's forwarding loop spends the time between frames: it moves frames until
// its receive rings are empty, and may keep looking at them a while before it sleeps, and
// hold frames back a few microseconds so that more go out in one send.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "port_pair.h"

// Gathering is off by default: it holds a lone frame (a small request with nothing behind
// it) for the whole gather time, which every round trip of a chatty client would pay.
// Spinning costs only the guard's own processor time (bench/README.md).
struct ForwardingOptions {
    // How long the loop keeps polling empty rings before it sleeps in poll().
    uint32_t spinMicroseconds = 20;
    // How long a received frame may wait for more to be sent with it (0: each burst is
    // sent as soon as it is taken).
    uint32_t gatherMicroseconds = 0;
    // 1: one thread forwards both directions; 2: a thread for each.
    uint32_t threads = 1;
};

// Reads "--spin", "--gather" and "--threads" values; false with a message when invalid.
bool ParseForwardingOption(const std::string& name, const std::string& value,
                           ForwardingOptions* options, std::string* error);

// Frames moved from one ring before the other gets its turn.
const uint32_t ForwardingBurst = 256;
// Frames one call moves at most before it returns, so that a stream that never lets the
// rings run empty still leaves the caller its turn: signals, control requests and the
// service manager's watchdog are answered during a long copy too (a few milliseconds).
const uint32_t ForwardingPassFrames = 4096;

// Moves frames through the pairs until their rings stay empty: every frame taken is sent
// before it returns, none waits longer than the gather time (beyond a batch being sent),
// and it returns once no frame came for the spin time, once it has moved a pass's worth
// of frames, or as soon as `yield` is set.
void ForwardUntilIdle(PortPair* const* pairs, size_t count, FrameInspector* inspector,
                      const ForwardingOptions& options, const std::atomic<bool>* yield = nullptr);
