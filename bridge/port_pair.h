// The bump in the wire: frames move from one interface's receive ring to the other's
// transmit ring in arrival order, each inspected on the way, none dropped.
#pragma once

#include <cstdint>

#include "ring.h"

// What happens to each frame between the rings: the engine entry for its direction.
class FrameInspector {
  public:
    virtual ~FrameInspector() = default;
    // Inspects (and may rewrite) one untagged frame; true when it rewrote bytes.
    virtual bool Inspect(uint8_t* frame, uint32_t length, bool fromNetwork) = 0;
};

struct PortCounters {
    uint64_t frames = 0;
    uint64_t bytes = 0;
    uint64_t rewritten = 0;
    uint64_t checksumsCompleted = 0;
    uint64_t vlanTagged = 0;
    uint64_t oversize = 0; // larger than a slot: cannot be passed on whole
    uint64_t lost = 0;     // the outgoing link was down, or stayed full
};

struct PortPair {
    PacketRing* from;
    PacketRing* to;
    bool fromNetwork;
    PortCounters counters;
};

// Moves up to `budget` frames; returns how many it moved.
uint32_t ForwardBurst(PortPair* pair, FrameInspector* inspector, uint32_t budget);

// Computes the IPv4 header and TCP or UDP checksums of a frame whose sender left them to
// the hardware. False when the frame is not IPv4 TCP/UDP or is cut short.
bool CompleteChecksums(uint8_t* frame, uint32_t length);
