#include "frame_view.h"

#include "wire.h"

namespace {
const uint16_t Ipv4ReservedBit = 0x8000;
const uint16_t Ipv4DontFragmentBit = 0x4000;
const uint16_t Ipv4MoreFragmentsBit = 0x2000;
const uint16_t Ipv4FragmentOffsetMask = 0x1FFF;
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
    // VLAN tags, IPv6 and every other type stay unclassified.
    if (ReadU16Be(frame + EthType) != EtherTypeIpv4) {
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
