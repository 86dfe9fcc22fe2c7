#include "client_address.h"

#include "wire.h"

namespace {

uint64_t g_FlowFoldSeed;

const uint64_t LaneMultiplier[2] = {0x9E3779B97F4A7C15ull, 0xC2B2AE3D27D4EB4Full};
const uint64_t LaneStart[2] = {0x243F6A8885A308D3ull, 0x13198A2E03707344ull};
const uint32_t KeyLowPortBits = 32;
const uint64_t Ipv6KeyMark = 0x80000000ull;
const uint64_t Ipv6KeyFoldMask = 0x7FFFFFFFull;

uint64_t ReadU64Be(const uint8_t* p) {
    return uint64_t(ReadU32Be(p)) << 32 | ReadU32Be(p + 4);
}

uint64_t FoldLane(const FrameView* view, int lane) {
    uint64_t h = LaneStart[lane] ^ (lane == 0 ? g_FlowFoldSeed : ~g_FlowFoldSeed);
    const uint8_t* sides[2] = {view->sourceAddress, view->destinationAddress};
    for (const uint8_t* side : sides) {
        for (uint32_t word = 0; word < Ipv6AddressLength; word += 8) {
            h = (h ^ ReadU64Be(side + word)) * LaneMultiplier[lane];
            h ^= h >> 29;
        }
    }
    h *= LaneMultiplier[lane];
    return h ^ (h >> 32);
}

} // namespace

uint32_t ClientIpv4Of(const FrameView* view, bool request) {
    if (view->addressLength != 4) {
        return 0;
    }
    return ReadIpv4Address(request ? view->sourceAddress : view->destinationAddress);
}

const uint8_t* ClientIpv6Of(const FrameView* view, bool request) {
    if (view->addressLength != Ipv6AddressLength) {
        return nullptr;
    }
    return request ? view->sourceAddress : view->destinationAddress;
}

TableKey FlowKeyOf(const FrameView* view) {
    uint64_t ports = uint64_t(view->sourcePort) | uint64_t(view->destinationPort) << 16;
    if (view->addressLength == Ipv6AddressLength) {
        uint64_t mark = Ipv6KeyMark | (FoldLane(view, 1) & Ipv6KeyFoldMask);
        return TableKey{FoldLane(view, 0), ports | mark << KeyLowPortBits};
    }
    return TableKey{uint64_t(ReadU32Le(view->sourceAddress)) |
                        uint64_t(ReadU32Le(view->destinationAddress)) << 32,
                    ports};
}

uint64_t ConnectionWord(uint32_t clientAddress, const uint8_t* clientAddress6,
                        uint32_t clientPorts) {
    uint64_t h = g_FlowFoldSeed;
    uint64_t word = clientPorts;
    if (clientAddress6 != nullptr) {
        h = (h ^ ReadU64Be(clientAddress6)) * LaneMultiplier[1];
        h ^= h >> 29;
        h = (h ^ ReadU64Be(clientAddress6 + 8)) * LaneMultiplier[1];
        h ^= h >> 29;
    } else {
        word |= uint64_t(clientAddress) << KeyLowPortBits;
    }
    // Each step (xor, an odd multiplier, a right xor-shift) is a bijection of 64 bits.
    h = (h ^ word) * LaneMultiplier[0];
    return h ^ (h >> 32);
}

uint64_t ConnectionOf(const FrameView* view, bool request) {
    uint16_t clientPort = request ? view->sourcePort : view->destinationPort;
    uint16_t serverPort = request ? view->destinationPort : view->sourcePort;
    return ConnectionWord(ClientIpv4Of(view, request), ClientIpv6Of(view, request),
                          uint32_t(clientPort) << 16 | serverPort);
}

void SetFlowFoldSeed(uint64_t seed) {
    g_FlowFoldSeed = seed;
}
