// The frame target's own copy and comparison of each frame, built without sanitizers,
// coverage or library calls (see CMakeLists.txt).
#include "frame_bytes.h"

void CopyFrameBytes(uint8_t* frame, const uint8_t* from, size_t present, size_t length) {
    for (size_t i = 0; i < present; ++i) {
        frame[i] = from[i];
    }
    for (size_t i = present; i < length; ++i) {
        frame[i] = 0;
    }
}

bool SameFrameBytes(const uint8_t* frame, const uint8_t* from, size_t present, size_t length) {
    uint8_t differ = 0;
    for (size_t i = 0; i < present; ++i) {
        differ |= uint8_t(frame[i] ^ from[i]);
    }
    for (size_t i = present; i < length; ++i) {
        differ |= frame[i];
    }
    return differ == 0;
}
