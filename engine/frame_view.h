// Classification of one Ethernet frame: Ethernet II, IPv4, TCP.
//
// The view points into the host's contiguous copy of the frame; it is zeroed at the start
// of every inspection and never outlives the call.
#pragma once

#include <stdint.h>

const uint16_t FrameHasTcp = 4; // FrameView::flags: a TCP header was classified

struct FrameView {
    uint8_t* frameStart;
    uint8_t* ethernetHeader;
    uint8_t* networkHeader; // reset to null when IPv4 classification fails
    uint8_t* ipv4Header;    // not reset on failure
    uint8_t* tcpHeader;     // reset to null when TCP classification fails
    uint8_t* payload;       // TCP payload; IPv4 payload for non-TCP or fragments
    uint8_t* ipv4Payload;
    uint8_t* fragmentPayload; // only for a fragment
    uint8_t* ipv4Options;     // only when the IPv4 header is longer than 20 bytes
    uint8_t* tcpOptions;      // only when the TCP header is longer than 20 bytes
    uint16_t flags;
    uint32_t frameLength;
    uint16_t payloadLength;
    uint16_t ipv4PayloadLength;
    uint16_t ipv4TotalLength;
    uint32_t tcpSegmentLength; // TCP header to the end of the IPv4 datagram
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

// TCP offsets
const uint32_t TcpSourcePort = 0;
const uint32_t TcpDestinationPort = 2;
const uint32_t TcpDataOffset = 12;
const uint32_t TcpChecksum = 16;

// Each returns 0 on success or a negative code saying which check failed; the
// inspection entries look only at the view's TCP flag.
int ParseEthernet(uint8_t* frame, uint32_t length, FrameView* view);
int ParseIpv4(uint8_t* header, uint32_t length, FrameView* view);
int ParseTcp(uint8_t* header, uint32_t length, FrameView* view);

// The six MAC bytes as a number, first byte most significant.
uint64_t MacToU64(const uint8_t* mac);
