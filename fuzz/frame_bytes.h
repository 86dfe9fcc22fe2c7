// Copying a frame into the target's buffer, and checking it came back unchanged, without
// the sanitizers' range checks. The target knows both ranges hold the bytes (the input
// and the buffer it opened to that length); ASan's memcpy and memcmp would check the shadow
// of every byte of both ranges again, which for frames of tens of kilobytes cost more than
// the copy.
#pragma once

#include <cstddef>
#include <cstdint>

// Copies `present` bytes and zeros the frame's rest, up to `length`.
void CopyFrameBytes(uint8_t* frame, const uint8_t* from, size_t present, size_t length);
// Whether the frame is still those `present` bytes followed by zeros.
bool SameFrameBytes(const uint8_t* frame, const uint8_t* from, size_t present, size_t length);
