// The frame target's own copy and comparison of each frame, built without sanitizers,
// coverage or library calls (see CMakeLists.txt).
#include "frame_bytes.h"

void CopyFrameBytes(uint8_t* to, const uint8_t* from, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        to[i] = from[i];
    }
}

bool SameFrameBytes(const uint8_t* a, const uint8_t* b, size_t n) {
    uint8_t differ = 0;
    for (size_t i = 0; i < n; ++i) {
        differ |= uint8_t(a[i] ^ b[i]);
    }
    return differ == 0;
}
