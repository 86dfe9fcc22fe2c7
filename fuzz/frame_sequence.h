// The fuzz input format of the frame target: frames one after another, each as a
// direction byte (even: received by the server, odd: sent by it), a 16-bit little-endian
// length, and that many bytes. Shared with the seed writer. In the first direction byte,
// bit 1 asks the frame target for admission control.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

const uint8_t SequenceAdmissionBit = 2;

// Calls visit(inbound, bytes, length) for each frame, in order, without copying.
template <typename Visit>
void ForEachSequencedFrame(const uint8_t* data, size_t size, Visit visit) {
    size_t at = 0;
    while (at + 3 <= size) {
        bool inbound = (data[at] & 1) == 0;
        size_t length = size_t(data[at + 1]) | size_t(data[at + 2]) << 8;
        at += 3;
        if (length > size - at) {
            length = size - at;
        }
        visit(inbound, data + at, length);
        at += length;
    }
}

inline void AppendToFrameSequence(std::vector<uint8_t>* out, bool inbound,
                                  const std::vector<uint8_t>& frame) {
    out->push_back(inbound ? 0 : 1);
    out->push_back(uint8_t(frame.size()));
    out->push_back(uint8_t(frame.size() >> 8));
    out->insert(out->end(), frame.begin(), frame.end());
}
