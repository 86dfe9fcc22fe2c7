// The fuzz input format of the frame target: frames one after another, each as a kind
// byte, a 16-bit little-endian length and the frame's bytes. Shared with the seed writer.
//
// In the kind byte, bit 0 gives the direction (clear: received by the server, set: sent
// by it), and in the first frame's, bit 1 asks the frame target for admission control.
// Bit 2 gives a long frame from few input bytes: a second 16-bit length follows, of the
// bytes the input holds, and the frame is those bytes and then zeros up to the first
// length. An input of a few kilobytes thus still reaches frames near 64 KB, where 16-bit
// lengths would wrap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

const uint8_t SequenceOutboundBit = 1;
const uint8_t SequenceAdmissionBit = 2;
const uint8_t SequenceZeroTailBit = 4;

struct SequencedFrame {
    bool inbound;
    const uint8_t* bytes; // the bytes the input holds
    size_t present;
    size_t length; // of the frame: `present` bytes, then zeros
};

inline size_t ReadSequenceLength(const uint8_t* at) {
    return size_t(at[0]) | size_t(at[1]) << 8;
}

// Calls visit(const SequencedFrame&) for each frame, in order, without copying. A frame
// the input ends inside is cut where the input ends.
template <typename Visit>
void ForEachSequencedFrame(const uint8_t* data, size_t size, Visit visit) {
    size_t at = 0;
    while (at + 3 <= size) {
        uint8_t kind = data[at];
        size_t length = ReadSequenceLength(data + at + 1);
        at += 3;
        bool zeroTail = (kind & SequenceZeroTailBit) != 0 && at + 2 <= size;
        size_t present = length;
        if (zeroTail) {
            present = ReadSequenceLength(data + at);
            at += 2;
            if (present > length) {
                present = length;
            }
        }
        if (present > size - at) {
            present = size - at;
        }
        if (!zeroTail) {
            length = present;
        }
        visit(SequencedFrame{(kind & SequenceOutboundBit) == 0, data + at, present, length});
        at += present;
    }
}

inline void AppendSequenceLength(std::vector<uint8_t>* out, size_t length) {
    out->push_back(uint8_t(length));
    out->push_back(uint8_t(length >> 8));
}

inline void AppendToFrameSequence(std::vector<uint8_t>* out, bool inbound,
                                  const std::vector<uint8_t>& frame) {
    out->push_back(inbound ? 0 : SequenceOutboundBit);
    AppendSequenceLength(out, frame.size());
    out->insert(out->end(), frame.begin(), frame.end());
}

// The frame with its trailing zeros left to the reader.
inline void AppendZeroTailFrame(std::vector<uint8_t>* out, bool inbound,
                                const std::vector<uint8_t>& frame) {
    size_t present = frame.size();
    while (present > 0 && frame[present - 1] == 0) {
        --present;
    }
    out->push_back(uint8_t((inbound ? 0 : SequenceOutboundBit) | SequenceZeroTailBit));
    AppendSequenceLength(out, frame.size());
    AppendSequenceLength(out, present);
    out->insert(out->end(), frame.begin(), frame.begin() + long(present));
}
