// A sequence of frames through both inspection entries, under a policy that denies,
// reports and learns. Each frame lies in a buffer of exactly its size, so any read or
// write outside it is caught.
//
// One engine serves every input: each input configures it, and an engine reset after the
// input brings it back to what a start leaves (a test checks that).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "frame_bytes.h"
#include "frame_sequence.h"
#include "frame_view.h"
#include "fuzz_engine_setup.h"
#include "inspect.h"
#include "kept_buffer.h"
#include "pool.h"
#include "sim.h"

namespace {

// Room for the largest frame a sequence can hold (16-bit length).
KeptBuffer<65536> g_frameBuffer;

bool IsSmbPort(uint16_t port) {
    return port == 445 || port == 139;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!FuzzBeginInput(size != 0 && (data[0] & SequenceAdmissionBit) != 0)) {
        return 0;
    }
    ForEachSequencedFrame(data, size, [](const SequencedFrame& f) {
        bool inbound = f.inbound;
        size_t n = f.length;
        // The frame at the start of a kept buffer whose bytes after it are poisoned.
        uint8_t* frame = g_frameBuffer.Open(n);
        CopyFrameBytes(frame, f.bytes, f.present, n);
        // Which frames the entry must count: TCP to (or from) an SMB port, as the full
        // classification finds it. The entry's quicker look must agree.
        FrameView view{};
        ParseEthernet(frame, uint32_t(n), &view);
        bool counted = (view.flags & FrameHasTcp) != 0 &&
                       IsSmbPort(inbound ? view.destinationPort : view.sourcePort);
        const uint64_t* packets = inbound ? &g_Engine.TrafficStats->InboundPackets
                                          : &g_Engine.TrafficStats->OutboundPackets;
        uint64_t before = *packets;

        bool atDispatch = n % 2 == 0;
        if (atDispatch) {
            SimRaiseIrql(KmDispatchLevel);
        }
        bool rewrote = inbound ? InspectInbound(frame, uint32_t(n), atDispatch)
                               : InspectOutbound(frame, uint32_t(n), atDispatch);
        if (atDispatch) {
            SimLowerIrql(KmPassiveLevel);
        }
        // A frame the engine says it left alone must be exactly as it came.
        if (!rewrote && !SameFrameBytes(frame, f.bytes, f.present, n)) {
            std::abort();
        }
        if ((*packets - before == 1) != counted) {
            std::abort();
        }
        FuzzDrainRings();
    });
    FuzzEndInput();
    return 0;
}
