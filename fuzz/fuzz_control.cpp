// Any control code, input and output lengths and bytes through the control device.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_engine_setup.h"
#include "kept_buffer.h"
#include "pool.h"
#include "sim.h"

namespace {
// Mostly the engine's own codes, so that the fuzzer gets past the dispatch.
uint32_t PickCode(uint8_t selector, uint32_t raw) {
    if (selector < 200) {
        return EngineControlCode(EngineDeviceType, 0x990 + selector % 13);
    }
    return raw;
}

// The system buffer: room for the largest output length (16 bits, in words) or input.
// Between requests it holds only zeros.
KeptBuffer<size_t(0xFFFF) * 4 + 4> g_system;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9 || !FuzzBeginInput(false)) {
        return 0;
    }
    size_t at = 0;
    // Several requests per input: selector, raw code (4), output length (2), input length
    // (2), then the input bytes.
    while (at + 9 <= size) {
        uint32_t raw;
        std::memcpy(&raw, data + at + 1, 4);
        uint32_t code = PickCode(data[at], raw);
        uint32_t outLength = uint32_t(data[at + 5] | data[at + 6] << 8) * 4;
        uint32_t inLength = uint32_t(data[at + 7] | data[at + 8] << 8);
        at += 9;
        if (inLength > size - at) {
            inLength = uint32_t(size - at);
        }
        // The system buffer is as large as the larger of the two lengths, as the I/O
        // manager makes it: only those bytes are addressable, the input is copied in and
        // the rest is zero.
        size_t room = inLength > outLength ? inLength : outLength;
        uint8_t* buffer = g_system.Open(room);
        if (inLength != 0) {
            std::memcpy(buffer, data + at, inLength);
        }
        at += inLength;
        ControlStatusBlock status{0, 0};
        EngineDeviceControl(room == 0 ? nullptr : buffer, inLength, outLength, code, &status);
        if (status.information > outLength) {
            std::abort(); // more returned than the caller has room for
        }
        // Back to zeros for the next request. The input and the reply are all that was
        // written: a request writes its reply only once it has passed every check, and
        // reports its length. Zeroing the whole room instead (up to 256 KB a request)
        // took most of the target's time.
        size_t written = inLength > status.information ? inLength : size_t(status.information);
        std::memset(buffer, 0, written);
    }
    FuzzEndInput();
    return 0;
}
