#include "port_pair.h"

namespace {
const uint32_t VlanTagLength = 4;
} // namespace

uint32_t ForwardBurst(PortPair* pair, FrameInspector* inspector, uint32_t budget, bool flush) {
    PortCounters& c = pair->counters;
    uint32_t moved = 0;
    ReceivedFrame rx;
    while (moved < budget && pair->from->Next(&rx)) {
        ++moved;
        if (rx.length < rx.wireLength || rx.length + VlanTagLength > pair->to->MaxFrame()) {
            ++c.oversize;
            pair->from->Release(rx);
            continue;
        }
        bool rewritten = inspector->Inspect(rx.data, rx.length, pair->fromNetwork);
        c.rewritten += rewritten;
        c.offloadedChecksums += (rx.offload.flags & VirtioNeedsChecksum) != 0;
        c.vlanTagged += rx.vlanPresent;
        c.frames += 1;
        c.bytes += rx.length + (rx.vlanPresent ? VlanTagLength : 0);
        pair->to->Queue(rx, rewritten, &c.lost);
    }
    if (flush && pair->to->Queued() > 0) {
        pair->to->Flush(&c.lost);
    }
    return moved;
}
