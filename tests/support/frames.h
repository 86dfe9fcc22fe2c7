// Builders for the frames the engine sees: Ethernet II, IPv4, TCP, NetBIOS session
// messages, SMB1 and SMB2 headers and compound chains. Checksums are computed by an
// implementation of their own, independent of the engine's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct Endpoint {
    uint8_t mac[6];
    uint8_t ip[4];
    uint16_t port;
};

// A client and the file server it talks to.
Endpoint TestClient(uint8_t lastAddressByte = 10, uint16_t port = 50000);
Endpoint TestServer(uint16_t port = 445);

struct TcpFrameOptions {
    uint16_t etherType = 0x0800;
    uint8_t ipHeaderWords = 5; // IPv4 header length in 32-bit words (options are zero)
    uint8_t tcpHeaderWords = 5;
    uint16_t flagsAndFragment = 0x4000; // don't fragment
    uint8_t protocol = 6;
    // By default each pair of endpoints carries one TCP stream: a frame's sequence number
    // follows the previous frame's payload, as a real sender's does.
    bool nextInStream = true;
    uint32_t sequence = 1000;     // used when nextInStream is false
    uint32_t ethernetPadding = 0; // trailing bytes after the IPv4 datagram
};

Bytes BuildTcpFrame(const Endpoint& from, const Endpoint& to, const Bytes& payload,
                    const TcpFrameOptions& options = {});

// The same frame over IPv6: the frame of BuildTcpFrame (default IPv4 header length)
// rebuilt with a 40-byte IPv6 header from 2001:db8::a.b.c.d to 2001:db8::e.f.g.h (the IPv4
// addresses as the last four bytes), then `extensions` (a chain of extension headers
// whose first type is `firstNext`; each names the next, the last TCP), then the TCP
// segment, with the TCP checksum over the IPv6 pseudo-header.
Bytes ToIpv6Frame(const Bytes& ipv4Frame, const Bytes& extensions = {}, uint8_t firstNext = 6);
// Bytes the IPv6 header adds before the TCP header of a frame built as above without
// extensions, compared with its IPv4 form.
const size_t Ipv6ExtraBytes = 20;

// Offsets into frames built with default options.
const size_t FrameIpv4 = 14;
const size_t FrameTcp = 34;
const size_t FramePayload = 54;

// A NetBIOS session message around `message`; `lengthField` overrides the length.
Bytes NetbiosWrap(const Bytes& message, int64_t lengthField = -1, uint8_t type = 0);

struct Smb2Fields {
    uint16_t command = 0;
    uint32_t flags = 0;
    uint32_t nextCommand = 0;
    uint64_t messageId = 1;
    uint32_t treeId = 0;
    uint64_t sessionId = 0;
    uint32_t status = 0;
    uint16_t creditCharge = 1;
};
Bytes Smb2Header(const Smb2Fields& fields);
// Header followed by `body`.
Bytes Smb2Message(const Smb2Fields& fields, const Bytes& body);
// A body of the given fixed size (StructureSize written at its start), zero elsewhere.
Bytes Smb2Body(uint16_t structureSize, size_t bytes);
// Members padded to 8 bytes and linked by NextCommand (the last one 0).
Bytes Smb2Compound(const std::vector<Bytes>& members);

struct Smb1Fields {
    uint8_t command = 0;
    uint8_t flags = 0x18;
    uint16_t flags2 = 0xC807;
    uint32_t status = 0;
    uint16_t tid = 0;
    uint16_t pid = 0;
    uint16_t uid = 0;
    uint16_t mid = 0;
};
// Header, word count and words, byte count and bytes.
Bytes Smb1Message(const Smb1Fields& fields, const std::vector<uint16_t>& words, const Bytes& bytes);

Bytes Concat(std::initializer_list<Bytes> parts);

// Independent checksum computation, for checking the engine's.
uint16_t InternetChecksum(const uint8_t* data, size_t length, uint32_t initial = 0);
bool Ipv4ChecksumValid(const Bytes& frame);
// Also for IPv6 frames (extension headers followed); an IPv6 frame has no header checksum,
// so Ipv4ChecksumValid is true for it.
bool TcpChecksumValid(const Bytes& frame);
// Writes correct checksums into a frame built with any header lengths.
void FillChecksums(Bytes& frame);
