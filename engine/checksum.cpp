#include "checksum.h"

#include "../platform/km.h"
#include "frame_view.h"
#include "wire.h"

namespace {
const uint32_t PseudoHeaderLength = 12;
const uint32_t Ipv6PseudoHeaderLength = 40;

uint32_t Fold(uint64_t sum) {
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return uint32_t(sum);
}
} // namespace

uint16_t OnesComplementSum(uint32_t initial, const uint8_t* bytes, uint32_t count) {
    uint64_t sum = initial;
    uint32_t i = 0;
    for (; i + 1 < count; i += 2) {
        sum += uint32_t(bytes[i]) << 8 | bytes[i + 1];
    }
    if (i < count) {
        sum += uint32_t(bytes[i]) << 8;
    }
    return uint16_t(Fold(sum));
}

void RecomputeTcpChecksumIpv6(const uint8_t* ipv6Header, uint8_t* tcpHeader,
                              uint32_t tcpSegmentLength) {
    // Source and destination, the upper-layer length as 32 bits, three zero bytes and
    // the next header (TCP), whatever extension headers stand between.
    uint8_t pseudo[Ipv6PseudoHeaderLength] = {};
    KmCopyMemory(pseudo, ipv6Header + Ipv6SourceAddress, 2 * Ipv6AddressLength);
    uint32_t lengthAt = 2 * Ipv6AddressLength;
    WriteU16Be(pseudo + lengthAt, uint16_t(tcpSegmentLength >> 16));
    WriteU16Be(pseudo + lengthAt + 2, uint16_t(tcpSegmentLength));
    pseudo[Ipv6PseudoHeaderLength - 1] = IpProtocolTcp;

    WriteU16Be(tcpHeader + TcpChecksum, 0);
    uint16_t sum = OnesComplementSum(0, pseudo, Ipv6PseudoHeaderLength);
    sum = OnesComplementSum(sum, tcpHeader, tcpSegmentLength);
    WriteU16Be(tcpHeader + TcpChecksum, uint16_t(~sum));
}

void RecomputeFrameChecksums(const FrameView* view) {
    if (view->ipv6Header != nullptr) {
        RecomputeTcpChecksumIpv6(view->ipv6Header, view->tcpHeader, view->tcpSegmentLength);
    } else {
        RecomputeChecksums(view->networkHeader, view->tcpHeader, view->tcpSegmentLength);
    }
}

void RecomputeChecksums(uint8_t* ipv4Header, uint8_t* tcpHeader, uint32_t tcpSegmentLength) {
    uint8_t pseudo[PseudoHeaderLength];
    KmCopyMemory(pseudo, ipv4Header + Ipv4SourceAddress, 4);
    KmCopyMemory(pseudo + 4, ipv4Header + Ipv4DestinationAddress, 4);
    pseudo[8] = 0;
    pseudo[9] = IpProtocolTcp;
    WriteU16Be(pseudo + 10, uint16_t(tcpSegmentLength));

    WriteU16Be(tcpHeader + TcpChecksum, 0);
    uint16_t sum = OnesComplementSum(0, pseudo, PseudoHeaderLength);
    sum = OnesComplementSum(sum, tcpHeader, tcpSegmentLength);
    WriteU16Be(tcpHeader + TcpChecksum, uint16_t(~sum));

    uint32_t headerLength = (ipv4Header[0] & 0x0F) * 4u;
    WriteU16Be(ipv4Header + Ipv4Checksum, 0);
    sum = OnesComplementSum(0, ipv4Header, headerLength);
    WriteU16Be(ipv4Header + Ipv4Checksum, uint16_t(~sum));
}
