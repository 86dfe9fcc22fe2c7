// The bump in the wire: frames move from one interface's receive ring to the other
// interface in arrival order, each inspected on the way, none dropped.
#pragma once

#include <cstdint>

#include "frame_port.h"

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
    uint64_t offloadedChecksums = 0; // the sender left the checksum to the hardware
    uint64_t vlanTagged = 0;
    uint64_t oversize = 0; // larger than a slot: cannot be passed on whole
    uint64_t lost = 0;     // the outgoing link was down, or stayed full
};

struct PortPair {
    FramePort* from;
    FramePort* to;
    bool fromNetwork;
    PortCounters counters;
};

// Moves up to `budget` frames; returns how many it moved. With `flush` false the frames
// taken may stay in the outgoing batch (sent when it fills, or by the next Flush), so
// that a stream of frames goes out in fewer, larger sends.
uint32_t ForwardBurst(PortPair* pair, FrameInspector* inspector, uint32_t budget,
                      bool flush = true);
