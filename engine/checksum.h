// Internet checksums (RFC 1071) for frames the engine rewrote.
#pragma once

#include <stdint.h>

struct FrameView;

// One's-complement sum of `count` bytes taken as big-endian 16-bit words (a trailing odd
// byte is the high half of a last word), added to `initial` and folded to 16 bits. Its
// complement, stored big-endian, is the checksum field.
uint16_t OnesComplementSum(uint32_t initial, const uint8_t* bytes, uint32_t count);

// Recomputes the TCP checksum (with its IPv4 pseudo-header) over `tcpSegmentLength`
// bytes, then the IPv4 header checksum.
void RecomputeChecksums(uint8_t* ipv4Header, uint8_t* tcpHeader, uint32_t tcpSegmentLength);

// Recomputes the TCP checksum with the IPv6 pseudo-header (RFC 8200 section 8.1).
void RecomputeTcpChecksumIpv6(const uint8_t* ipv6Header, uint8_t* tcpHeader,
                              uint32_t tcpSegmentLength);

// The checksums of a classified TCP frame, for whichever IP version carried it.
void RecomputeFrameChecksums(const FrameView* view);
