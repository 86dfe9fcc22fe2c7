#include "frame_view.h"

#include "wire.h"

namespace {
const uint16_t Ipv4ReservedBit = 0x8000;
const uint16_t Ipv4DontFragmentBit = 0x4000;
const uint16_t Ipv4MoreFragmentsBit = 0x2000;
const uint16_t Ipv4FragmentOffsetMask = 0x1FFF;

// An IPv6 extension header: its next-header byte, and (except for a fragment header,
// always 8 bytes) its length in 8-byte units beyond the first 8.
const uint32_t Ipv6ExtensionNext = 0;
const uint32_t Ipv6ExtensionLength = 1;
const uint32_t Ipv6ExtensionUnit = 8;
const uint32_t Ipv6FragmentHeaderLength = 8;
const uint32_t Ipv6FragmentOffsetField = 2;
const uint16_t Ipv6MoreFragmentsBit = 0x0001;

bool IsSkippedIpv6Extension(uint8_t next) {
    return next == Ipv6HopByHop || next == Ipv6Routing || next == Ipv6DestinationOptions;
}
} // namespace

uint64_t MacToU64(const uint8_t* mac) {
    return uint64_t(ReadU16Be(mac)) << 32 | ReadU32Be(mac + 2);
}

int ParseEthernet(uint8_t* frame, uint32_t length, FrameView* view) {
    if (length < EthernetHeaderLength) {
        view->networkHeader = nullptr;
        return -1;
    }
    view->frameStart = frame;
    view->ethernetHeader = frame;
    view->frameLength = length;
    // VLAN tags and every other type stay unclassified.
    uint16_t type = ReadU16Be(frame + EthType);
    if (type == EtherTypeIpv6) {
        return ParseIpv6(frame + EthernetHeaderLength, length - EthernetHeaderLength, view);
    }
    if (type != EtherTypeIpv4) {
        return 0;
    }
    return ParseIpv4(frame + EthernetHeaderLength, length - EthernetHeaderLength, view);
}

int ParseIpv4(uint8_t* header, uint32_t length, FrameView* view) {
    if (length < Ipv4MinHeaderLength) {
        view->networkHeader = nullptr;
        return -1;
    }
    view->networkHeader = header;
    view->ipv4Header = header;
    view->sourceAddress = header + Ipv4SourceAddress;
    view->destinationAddress = header + Ipv4DestinationAddress;
    view->addressLength = 4;
    uint8_t versionAndLength = header[Ipv4VersionAndLength];
    uint32_t headerLength = (versionAndLength & 0x0F) * 4u;
    uint32_t totalLength = ReadU16Be(header + Ipv4TotalLength);
    int failure = 0;
    if ((versionAndLength >> 4) != 4) {
        failure = -2;
    } else if (headerLength < Ipv4MinHeaderLength) {
        failure = -3;
    } else if (totalLength > length) {
        failure = -4;
    } else if (totalLength < headerLength) {
        failure = -5;
    }
    if (failure != 0) {
        view->networkHeader = nullptr;
        return failure;
    }
    view->ipv4OptionsLength = uint16_t(headerLength - Ipv4MinHeaderLength);
    if (view->ipv4OptionsLength != 0) {
        view->ipv4Options = header + Ipv4MinHeaderLength;
    }
    view->ipv4TotalLength = uint16_t(totalLength);
    uint16_t flagsAndOffset = ReadU16Be(header + Ipv4FlagsAndFragment);
    view->reservedFlag = (flagsAndOffset & Ipv4ReservedBit) != 0;
    view->dontFragment = (flagsAndOffset & Ipv4DontFragmentBit) != 0;
    view->moreFragments = (flagsAndOffset & Ipv4MoreFragmentsBit) != 0;
    view->fragmentOffset = flagsAndOffset & Ipv4FragmentOffsetMask;
    view->ipv4Payload = header + headerLength;
    view->ipv4PayloadLength = uint16_t(totalLength - headerLength);
    if (view->fragmentOffset != 0 || view->moreFragments) {
        view->fragmented = 1;
        view->fragmentPayload = view->ipv4Payload;
        view->fragmentLength = view->ipv4PayloadLength;
    }
    uint8_t protocol = header[Ipv4Protocol];
    bool whole = !view->fragmented || (view->fragmentOffset == 0 && protocol == IpProtocolUdp);
    if (whole && protocol == IpProtocolTcp) {
        return ParseTcp(view->ipv4Payload, view->ipv4PayloadLength, view);
    }
    if (whole && protocol == IpProtocolUdp) {
        return 0;
    }
    view->payload = view->ipv4Payload;
    view->payloadLength = view->ipv4PayloadLength;
    return 0;
}

// The fixed header, then hop-by-hop, routing and destination options headers (at most
// Ipv6MaxExtensionHeaders of them, each inside the payload) up to TCP. A fragment is
// treated as an IPv4 fragment is: its payload is noted and TCP is not classified, as a
// segment split over fragments cannot be framed from one of them.
int ParseIpv6(uint8_t* header, uint32_t length, FrameView* view) {
    if (length < Ipv6HeaderLength) {
        view->networkHeader = nullptr;
        return -1;
    }
    view->networkHeader = header;
    view->ipv6Header = header;
    uint32_t payloadLength = ReadU16Be(header + Ipv6PayloadLength);
    int failure = 0;
    if ((header[0] >> 4) != 6) {
        failure = -2;
    } else if (payloadLength == 0) {
        failure = -3; // a jumbogram, or nothing at all
    } else if (payloadLength > length - Ipv6HeaderLength) {
        failure = -4;
    }
    if (failure != 0) {
        view->networkHeader = nullptr;
        return failure;
    }
    view->sourceAddress = header + Ipv6SourceAddress;
    view->destinationAddress = header + Ipv6DestinationAddress;
    view->addressLength = uint8_t(Ipv6AddressLength);
    uint8_t next = header[Ipv6NextHeader];
    uint32_t at = Ipv6HeaderLength;
    uint32_t end = Ipv6HeaderLength + payloadLength;
    for (uint32_t seen = 0; IsSkippedIpv6Extension(next) || next == Ipv6Fragment; ++seen) {
        if (seen == Ipv6MaxExtensionHeaders || end - at < Ipv6ExtensionUnit) {
            view->networkHeader = nullptr;
            return -5;
        }
        uint8_t* extension = header + at;
        if (next == Ipv6Fragment) {
            uint16_t offsetAndFlags = ReadU16Be(extension + Ipv6FragmentOffsetField);
            view->fragmented = 1;
            view->fragmentOffset = uint16_t(offsetAndFlags >> 3);
            view->moreFragments = (offsetAndFlags & Ipv6MoreFragmentsBit) != 0;
            view->fragmentPayload = extension + Ipv6FragmentHeaderLength;
            view->fragmentLength = uint16_t(end - at - Ipv6FragmentHeaderLength);
            view->payload = view->fragmentPayload;
            view->payloadLength = view->fragmentLength;
            return 0;
        }
        uint32_t extensionLength = (extension[Ipv6ExtensionLength] + 1u) * Ipv6ExtensionUnit;
        if (extensionLength > end - at) {
            view->networkHeader = nullptr;
            return -6;
        }
        next = extension[Ipv6ExtensionNext];
        at += extensionLength;
    }
    if (next == IpProtocolTcp) {
        return ParseTcp(header + at, end - at, view);
    }
    view->payload = header + at;
    view->payloadLength = uint16_t(end - at);
    return 0;
}

int ParseTcp(uint8_t* header, uint32_t length, FrameView* view) {
    if (length < TcpMinHeaderLength) {
        view->tcpHeader = nullptr;
        return -1;
    }
    view->tcpHeader = header;
    view->tcpSegmentLength = length;
    uint32_t headerLength = (header[TcpDataOffset] >> 4) * 4u;
    if (headerLength < TcpMinHeaderLength) {
        view->tcpHeader = nullptr;
        return -2;
    }
    if (headerLength > length) {
        view->tcpHeader = nullptr;
        return -3;
    }
    view->sourcePort = ReadU16Be(header + TcpSourcePort);
    view->destinationPort = ReadU16Be(header + TcpDestinationPort);
    view->tcpOptionsLength = uint16_t(headerLength - TcpMinHeaderLength);
    if (view->tcpOptionsLength != 0) {
        view->tcpOptions = header + TcpMinHeaderLength;
    }
    view->payload = header + headerLength;
    view->flags |= FrameHasTcp;
    view->payloadLength = uint16_t(length - headerLength);
    return 0;
}
