#include "frames.h"

#include "wire_bytes.h"

#include <algorithm>
#include <array>
#include <map>
#include <mutex>
#include <cstring>

namespace {

size_t IpHeaderLength(const Bytes& frame) {
    return (frame[FrameIpv4] & 0x0F) * 4u;
}
size_t IpTotalLength(const Bytes& frame) {
    return size_t(frame[FrameIpv4 + 2]) << 8 | frame[FrameIpv4 + 3];
}

bool IsIpv6(const Bytes& frame) {
    return frame.size() >= FrameIpv4 && frame[12] == 0x86 && frame[13] == 0xDD;
}

// The IPv6 pseudo-header sum, walking hop-by-hop, routing and destination options.
uint16_t Tcp6ChecksumOf(const Bytes& frame) {
    size_t ip = FrameIpv4;
    size_t end = ip + 40 + (size_t(frame[ip + 4]) << 8 | frame[ip + 5]);
    uint8_t next = frame[ip + 6];
    size_t at = ip + 40;
    while (next == 0 || next == 43 || next == 60) {
        next = frame[at];
        at += (frame[at + 1] + 1u) * 8;
    }
    Bytes covered(frame.begin() + ip + 8, frame.begin() + ip + 40);
    Bytes tail(8, 0);
    PutBe32(tail, 0, uint32_t(end - at));
    tail[7] = 6;
    covered.insert(covered.end(), tail.begin(), tail.end());
    covered.insert(covered.end(), frame.begin() + at, frame.begin() + end);
    return InternetChecksum(covered.data(), covered.size());
}

uint16_t TcpChecksumOf(const Bytes& frame) {
    if (IsIpv6(frame)) {
        return Tcp6ChecksumOf(frame);
    }
    size_t ipLength = IpHeaderLength(frame);
    size_t tcpAt = FrameIpv4 + ipLength;
    size_t segment = IpTotalLength(frame) - ipLength;
    Bytes pseudo(12);
    std::memcpy(&pseudo[0], &frame[FrameIpv4 + 12], 8);
    pseudo[9] = 6;
    PutBe16(pseudo, 10, uint16_t(segment));
    Bytes covered(pseudo);
    covered.insert(covered.end(), frame.begin() + tcpAt, frame.begin() + tcpAt + segment);
    return InternetChecksum(covered.data(), covered.size());
}

} // namespace

Endpoint TestClient(uint8_t lastAddressByte, uint16_t port) {
    return Endpoint{
        {0x02, 0x00, 0x00, 0x00, 0x00, lastAddressByte}, {192, 0, 2, lastAddressByte}, port};
}

Endpoint TestServer(uint16_t port) {
    return Endpoint{{0x02, 0x00, 0x00, 0x00, 0x01, 0x01}, {192, 0, 2, 1}, port};
}

// Sums little-endian machine words and swaps at the end: a different route to the
// same RFC 1071 result than the engine's big-endian word sum.
uint16_t InternetChecksum(const uint8_t* data, size_t length, uint32_t initial) {
    uint64_t sum = initial;
    size_t i = 0;
    for (; i + 1 < length; i += 2) {
        uint16_t word;
        std::memcpy(&word, data + i, 2);
        sum += word;
    }
    if (i < length) {
        sum += data[i];
    }
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    uint16_t littleEndianResult = uint16_t(~sum);
    return uint16_t(littleEndianResult >> 8 | littleEndianResult << 8);
}

namespace {

// Where each stream built so far stands, by sender and receiver address and port. Tests
// build frames from several threads at once.
uint32_t NextSequence(const Endpoint& from, const Endpoint& to, size_t payloadBytes) {
    static std::mutex guard;
    static std::map<std::array<uint8_t, 12>, uint32_t> streams;
    std::lock_guard<std::mutex> hold(guard);
    std::array<uint8_t, 12> key{};
    std::memcpy(&key[0], from.ip, 4);
    std::memcpy(&key[4], to.ip, 4);
    key[8] = uint8_t(from.port >> 8);
    key[9] = uint8_t(from.port);
    key[10] = uint8_t(to.port >> 8);
    key[11] = uint8_t(to.port);
    auto found = streams.emplace(key, 1000u).first;
    uint32_t sequence = found->second;
    found->second += uint32_t(payloadBytes);
    return sequence;
}

} // namespace

Bytes BuildTcpFrame(const Endpoint& from, const Endpoint& to, const Bytes& payload,
                    const TcpFrameOptions& options) {
    size_t ipLength = options.ipHeaderWords * 4u;
    size_t tcpLength = options.tcpHeaderWords * 4u;
    size_t total = ipLength + tcpLength + payload.size();
    Bytes frame(14 + total + options.ethernetPadding, 0);
    std::memcpy(&frame[0], to.mac, 6);
    std::memcpy(&frame[6], from.mac, 6);
    PutBe16(frame, 12, options.etherType);
    size_t ip = 14;
    frame[ip] = uint8_t(0x40 | (options.ipHeaderWords & 0x0F));
    PutBe16(frame, ip + 2, uint16_t(total));
    PutBe16(frame, ip + 4, 0x1234);
    PutBe16(frame, ip + 6, options.flagsAndFragment);
    frame[ip + 8] = 128;
    frame[ip + 9] = options.protocol;
    std::memcpy(&frame[ip + 12], from.ip, 4);
    std::memcpy(&frame[ip + 16], to.ip, 4);
    size_t tcp = ip + ipLength;
    PutBe16(frame, tcp, from.port);
    PutBe16(frame, tcp + 2, to.port);
    PutBe32(frame, tcp + 4,
            options.nextInStream ? NextSequence(from, to, payload.size()) : options.sequence);
    PutBe32(frame, tcp + 8, 1);
    frame[tcp + 12] = uint8_t(options.tcpHeaderWords << 4);
    frame[tcp + 13] = 0x18; // PSH, ACK
    PutBe16(frame, tcp + 14, 8192);
    std::copy(payload.begin(), payload.end(), frame.begin() + tcp + tcpLength);
    if (options.etherType == 0x0800 && options.protocol == 6 && options.ipHeaderWords >= 5 &&
        options.tcpHeaderWords >= 5) {
        FillChecksums(frame);
    }
    return frame;
}

void FillChecksums(Bytes& frame) {
    size_t ipLength = IpHeaderLength(frame);
    size_t tcpAt = FrameIpv4 + ipLength;
    PutBe16(frame, tcpAt + 16, 0);
    PutBe16(frame, tcpAt + 16, TcpChecksumOf(frame));
    PutBe16(frame, FrameIpv4 + 10, 0);
    PutBe16(frame, FrameIpv4 + 10, InternetChecksum(&frame[FrameIpv4], ipLength));
}

bool Ipv4ChecksumValid(const Bytes& frame) {
    return IsIpv6(frame) || InternetChecksum(&frame[FrameIpv4], IpHeaderLength(frame)) == 0;
}

bool TcpChecksumValid(const Bytes& frame) {
    return TcpChecksumOf(frame) == 0;
}

Bytes ToIpv6Frame(const Bytes& v4, const Bytes& extensions, uint8_t firstNext) {
    size_t ipLength = IpHeaderLength(v4);
    size_t segment = IpTotalLength(v4) - ipLength;
    Bytes frame(v4.begin(), v4.begin() + FrameIpv4);
    PutBe16(frame, 12, 0x86DD);
    Bytes ip(40, 0);
    ip[0] = 0x60;
    PutBe16(ip, 4, uint16_t(extensions.size() + segment));
    ip[6] = firstNext;
    ip[7] = 64;
    for (size_t side = 0; side < 2; ++side) {
        size_t at = 8 + 16 * side;
        ip[at] = 0x20;
        ip[at + 1] = 0x01;
        ip[at + 2] = 0x0d;
        ip[at + 3] = 0xb8;
        std::memcpy(&ip[at + 12], &v4[FrameIpv4 + 12 + 4 * side], 4);
    }
    frame.insert(frame.end(), ip.begin(), ip.end());
    frame.insert(frame.end(), extensions.begin(), extensions.end());
    size_t tcpAt = frame.size();
    frame.insert(frame.end(), v4.begin() + FrameIpv4 + ipLength,
                 v4.begin() + FrameIpv4 + ipLength + segment);
    PutBe16(frame, tcpAt + 16, 0);
    PutBe16(frame, tcpAt + 16, Tcp6ChecksumOf(frame));
    return frame;
}

Bytes NetbiosWrap(const Bytes& message, int64_t lengthField, uint8_t type) {
    uint32_t length = lengthField < 0 ? uint32_t(message.size()) : uint32_t(lengthField);
    Bytes out{type, uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length)};
    out.insert(out.end(), message.begin(), message.end());
    return out;
}

Bytes Smb2Header(const Smb2Fields& f) {
    Bytes h(64, 0);
    PutLe32(h, 0, 0x424D53FE);
    PutLe16(h, 4, 64);
    PutLe16(h, 6, f.creditCharge);
    PutLe32(h, 8, f.status);
    PutLe16(h, 12, f.command);
    PutLe16(h, 14, 1);
    PutLe32(h, 16, f.flags);
    PutLe32(h, 20, f.nextCommand);
    PutLe64(h, 24, f.messageId);
    PutLe32(h, 36, f.treeId);
    PutLe64(h, 40, f.sessionId);
    return h;
}

Bytes Smb2Body(uint16_t structureSize, size_t bytes) {
    Bytes body(bytes, 0);
    if (bytes >= 2) {
        PutLe16(body, 0, structureSize);
    }
    return body;
}

Bytes Smb2Message(const Smb2Fields& fields, const Bytes& body) {
    return Concat({Smb2Header(fields), body});
}

Bytes Smb2Compound(const std::vector<Bytes>& members) {
    Bytes out;
    for (size_t i = 0; i < members.size(); ++i) {
        Bytes member = members[i];
        bool last = i + 1 == members.size();
        if (!last) {
            member.resize((member.size() + 7) / 8 * 8, 0);
        }
        PutLe32(member, 20, last ? 0 : uint32_t(member.size()));
        out.insert(out.end(), member.begin(), member.end());
    }
    return out;
}

Bytes Smb1Message(const Smb1Fields& f, const std::vector<uint16_t>& words, const Bytes& bytes) {
    Bytes m(32, 0);
    PutLe32(m, 0, 0x424D53FF);
    m[4] = f.command;
    PutLe32(m, 5, f.status);
    m[9] = f.flags;
    PutLe16(m, 10, f.flags2);
    PutLe16(m, 24, f.tid);
    PutLe16(m, 26, f.pid);
    PutLe16(m, 28, f.uid);
    PutLe16(m, 30, f.mid);
    m.push_back(uint8_t(words.size()));
    for (uint16_t w : words) {
        m.push_back(uint8_t(w));
        m.push_back(uint8_t(w >> 8));
    }
    m.push_back(uint8_t(bytes.size()));
    m.push_back(uint8_t(bytes.size() >> 8));
    m.insert(m.end(), bytes.begin(), bytes.end());
    return m;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}
