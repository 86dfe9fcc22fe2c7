// Classification of one Ethernet frame: Ethernet II, IPv4 or IPv6, TCP.
//
// The view points into the host's contiguous copy of the frame; it is zeroed at the start
// of every inspection and never outlives the call.
#pragma once

#include <stdint.h>

const uint16_t FrameHasTcp = 4; // FrameView::flags: a TCP header was classified

struct FrameView {
    uint8_t* frameStart;
    uint8_t* ethernetHeader;
    uint8_t* networkHeader; // reset to null when IP classification fails
    uint8_t* ipv4Header;    // not reset on failure; null for IPv6
    uint8_t* ipv6Header;    // not reset on failure; null for IPv4
    // Where the source and destination addresses stand in the network header: 4 bytes
    // each for IPv4, 16 for IPv6 (addressLength). The SMB layers read the client's
    // address through these and never look at which protocol carried the frame.
    uint8_t* sourceAddress;
    uint8_t* destinationAddress;
    uint8_t addressLength;
    uint8_t* tcpHeader; // reset to null when TCP classification fails
    uint8_t* payload;   // TCP payload; IPv4 payload for non-TCP or fragments
    uint8_t* ipv4Payload;
    uint8_t* fragmentPayload; // only for a fragment
    uint8_t* ipv4Options;     // only when the IPv4 header is longer than 20 bytes
    uint8_t* tcpOptions;      // only when the TCP header is longer than 20 bytes
    uint16_t flags;
    uint32_t frameLength;
    uint16_t payloadLength;
    uint16_t ipv4PayloadLength;
    uint16_t ipv4TotalLength;
    uint32_t tcpSegmentLength; // TCP header to the end of the IP datagram
    uint16_t fragmentOffset;   // in 8-byte units
    uint16_t fragmentLength;
    uint16_t ipv4OptionsLength;
    uint16_t tcpOptionsLength;
    uint16_t sourcePort;
    uint16_t destinationPort;
    uint8_t fragmented;
    uint8_t moreFragments;
    uint8_t dontFragment;
    uint8_t reservedFlag;
};

const uint32_t EthernetHeaderLength = 14;
const uint32_t Ipv4MinHeaderLength = 20;
const uint32_t TcpMinHeaderLength = 20;

// Ethernet offsets
const uint32_t EthDestinationMac = 0;
const uint32_t EthSourceMac = 6;
const uint32_t EthType = 12;
const uint16_t EtherTypeIpv4 = 0x0800;
const uint16_t EtherTypeIpv6 = 0x86DD;

// IPv4 offsets
const uint32_t Ipv4VersionAndLength = 0;
const uint32_t Ipv4TotalLength = 2;
const uint32_t Ipv4FlagsAndFragment = 6;
const uint32_t Ipv4Protocol = 9;
const uint32_t Ipv4Checksum = 10;
const uint32_t Ipv4SourceAddress = 12;
const uint32_t Ipv4DestinationAddress = 16;
const uint8_t IpProtocolTcp = 6;
const uint8_t IpProtocolUdp = 17;

// IPv6 offsets, and the extension headers skipped on the way to TCP
const uint32_t Ipv6HeaderLength = 40;
const uint32_t Ipv6PayloadLength = 4;
const uint32_t Ipv6NextHeader = 6;
const uint32_t Ipv6SourceAddress = 8;
const uint32_t Ipv6DestinationAddress = 24;
const uint32_t Ipv6AddressLength = 16;
const uint8_t Ipv6HopByHop = 0;
const uint8_t Ipv6Routing = 43;
const uint8_t Ipv6Fragment = 44;
const uint8_t Ipv6DestinationOptions = 60;
// Extension headers followed before the frame is left unclassified.
const uint32_t Ipv6MaxExtensionHeaders = 8;

// TCP offsets
const uint32_t TcpSourcePort = 0;
const uint32_t TcpDestinationPort = 2;
const uint32_t TcpDataOffset = 12;
const uint32_t TcpChecksum = 16;

// Each returns 0 on success or a negative code saying which check failed; the
// inspection entries look only at the view's TCP flag.
int ParseEthernet(uint8_t* frame, uint32_t length, FrameView* view);
int ParseIpv4(uint8_t* header, uint32_t length, FrameView* view);
int ParseIpv6(uint8_t* header, uint32_t length, FrameView* view);
int ParseTcp(uint8_t* header, uint32_t length, FrameView* view);

// The six MAC bytes as a number, first byte most significant.
uint64_t MacToU64(const uint8_t* mac);
