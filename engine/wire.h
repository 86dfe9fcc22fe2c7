// Reading and writing wire fields through byte pointers: packet bytes are never cast to
// wider types, so alignment and host byte order never matter.
#pragma once

#include <stdint.h>

inline uint16_t ReadU16Le(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}
inline uint32_t ReadU32Le(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t ReadU64Le(const uint8_t* p) {
    return uint64_t(ReadU32Le(p)) | uint64_t(ReadU32Le(p + 4)) << 32;
}
inline uint16_t ReadU16Be(const uint8_t* p) {
    return uint16_t(p[0] << 8 | p[1]);
}
inline uint32_t ReadU24Be(const uint8_t* p) {
    return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | uint32_t(p[2]);
}
inline uint32_t ReadU32Be(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

inline void WriteU16Le(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void WriteU32Le(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
inline void WriteU64Le(uint8_t* p, uint64_t v) {
    WriteU32Le(p, uint32_t(v));
    WriteU32Le(p + 4, uint32_t(v >> 32));
}
inline void WriteU16Be(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

// An IPv4 address as the 32-bit value that stands in the header, kept in header byte
// order: the first address byte is the lowest-addressed byte of the value in memory.
// Read as little-endian so the number is the same on every host the engine runs on.
inline uint32_t ReadIpv4Address(const uint8_t* p) {
    return ReadU32Le(p);
}
