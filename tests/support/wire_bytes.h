// Little- and big-endian stores into test byte vectors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

inline void PutLe16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
inline void PutLe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    PutLe16(b, at, uint16_t(v));
    PutLe16(b, at + 2, uint16_t(v >> 16));
}
inline void PutLe64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
    PutLe32(b, at, uint32_t(v));
    PutLe32(b, at + 4, uint32_t(v >> 32));
}
inline void PutBe16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    b[at] = uint8_t(v >> 8);
    b[at + 1] = uint8_t(v);
}
inline void PutBe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    PutBe16(b, at, uint16_t(v >> 16));
    PutBe16(b, at + 2, uint16_t(v));
}
