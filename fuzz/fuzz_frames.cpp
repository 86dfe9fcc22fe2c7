// A sequence of frames through both inspection entries, under a policy that denies,
// reports and learns. Each frame lies in a buffer of exactly its size, so any read or
// write outside it is caught.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "frame_sequence.h"
#include "fuzz_engine_setup.h"
#include "inspect.h"
#include "pool.h"
#include "sim.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!FuzzStartEngine()) {
        return 0;
    }
    for (SequencedFrame& frame : SplitFrameSequence(data, size)) {
        size_t n = frame.bytes.size();
        std::unique_ptr<uint8_t[]> exact(new uint8_t[n == 0 ? 1 : n]);
        if (n != 0) {
            std::memcpy(exact.get(), frame.bytes.data(), n);
        }
        bool atDispatch = n % 2 == 0;
        if (atDispatch) {
            SimRaiseIrql(KmDispatchLevel);
        }
        bool rewrote = frame.inbound ? InspectInbound(exact.get(), uint32_t(n), atDispatch)
                                     : InspectOutbound(exact.get(), uint32_t(n), atDispatch);
        if (atDispatch) {
            SimLowerIrql(KmPassiveLevel);
        }
        // A frame the engine says it left alone must be exactly as it came.
        if (!rewrote && n != 0 && std::memcmp(exact.get(), frame.bytes.data(), n) != 0) {
            std::abort();
        }
        FuzzDrainRings();
    }
    EngineStop();
    if (SimPoolUsageForTag(EnginePoolTag).blocks != 0) {
        std::abort(); // the engine leaked
    }
    return 0;
}
