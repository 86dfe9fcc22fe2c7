#include "inspect.h"

#include "checksum.h"
#include "engine_state.h"
#include "frame_view.h"
#include "smb_framing.h"
#include "smb_handlers.h"
#include "smb_protocol.h"
#include "wire.h"

namespace {

const uint64_t OneSecond = 10000000; // in 100-ns units

// The last-interval counter of a direction holds the bytes counted between two refreshes
// at least one second apart.
void RefreshInterval(TrafficClock* clock, const uint64_t* byteTotal, uint64_t* intervalBytes,
                     uint64_t now) {
    uint64_t total = KmAtomicLoad64(byteTotal);
    uint64_t snapshot = KmAtomicLoad64(&clock->snapshot);
    if (snapshot == 0) {
        KmAtomicStore64(&clock->snapshot, total);
        KmAtomicStore64(&clock->lastRefresh, now);
        return;
    }
    if (now - KmAtomicLoad64(&clock->lastRefresh) >= OneSecond) {
        KmAtomicStore64(intervalBytes, total - snapshot);
        KmAtomicStore64(&clock->snapshot, total);
        KmAtomicStore64(&clock->lastRefresh, now);
    }
}

// Counts the frame and hands its TCP payload to the framing; the per-direction rules are
// those of the callers below.
struct DirectionRules {
    MessageDecoding decoding;
    uint64_t SmbTrafficStats::*packets;
    uint64_t SmbTrafficStats::*bytes;
    uint64_t SmbTrafficStats::*intervalBytes;
    TrafficClock EngineState::*clock;
};

const DirectionRules InboundRules = {
    {SmbDirection::Request, HandleSmb2Request, HandleSmb1Request},
    &SmbTrafficStats::InboundPackets,
    &SmbTrafficStats::InboundBytes,
    &SmbTrafficStats::InboundIntervalBytes,
    &EngineState::InboundClock,
};

const DirectionRules OutboundRules = {
    {SmbDirection::Response, HandleSmb2Response, HandleSmb1Response},
    &SmbTrafficStats::OutboundPackets,
    &SmbTrafficStats::OutboundBytes,
    &SmbTrafficStats::OutboundIntervalBytes,
    &EngineState::OutboundClock,
};

bool IsSmbPort(uint16_t port) {
    return port == SmbPortDirect || port == SmbPortNetbios;
}

// Most frames a server handles are not SMB. Their verdict comes from a direct look at
// three header fields: a frame that is neither IPv4 nor IPv6, or IPv4 but not TCP, or TCP
// to (or from) another port is one the full classification would turn away too. Whatever
// the look cannot settle (a short frame, an odd header length, IPv6) goes to the full
// classification.
bool PlainlyNotSmb(const uint8_t* frame, uint32_t length, bool inbound) {
    const uint32_t quickLookBytes = EthernetHeaderLength + Ipv4MinHeaderLength;
    if (length < quickLookBytes) {
        return false;
    }
    uint16_t type = ReadU16Be(frame + EthType);
    if (type == EtherTypeIpv6) {
        return false; // its extension headers are for the full classification
    }
    if (type != EtherTypeIpv4) {
        return true;
    }
    const uint8_t* ip = frame + EthernetHeaderLength;
    if (ip[Ipv4Protocol] != IpProtocolTcp) {
        return true;
    }
    uint32_t ipHeaderLength = (ip[Ipv4VersionAndLength] & 0x0F) * 4u;
    uint32_t portOffset = inbound ? TcpDestinationPort : TcpSourcePort;
    if (ipHeaderLength < Ipv4MinHeaderLength ||
        EthernetHeaderLength + ipHeaderLength + portOffset + 2 > length) {
        return false;
    }
    return !IsSmbPort(ReadU16Be(ip + ipHeaderLength + portOffset));
}

bool Inspect(const DirectionRules& rules, uint8_t* frame, uint32_t length, bool atDispatch) {
    EngineState& e = g_Engine;
    SmbTrafficStats* stats = e.TrafficStats;
    if (stats == nullptr) {
        return false; // engine not started
    }
    uint64_t now = KmQuerySystemTime();
    RefreshInterval(&(e.*rules.clock), &(stats->*rules.bytes), &(stats->*rules.intervalBytes), now);
    bool inbound = rules.decoding.direction == SmbDirection::Request;
    if (!InspectionEnabled() || PlainlyNotSmb(frame, length, inbound)) {
        return false; // classification alone changes nothing
    }

    FrameView view{};
    ParseEthernet(frame, length, &view);
    if ((view.flags & FrameHasTcp) == 0) {
        return false;
    }
    uint16_t port = inbound ? view.destinationPort : view.sourcePort;
    if (!IsSmbPort(port) || !InspectionEnabled()) {
        return false;
    }
    KmAtomicAdd64(&(stats->*rules.packets), 1);
    KmAtomicAdd64(&(stats->*rules.bytes), length);

    bool rewrote = FrameSmbSegment(rules.decoding, &view, atDispatch, now);
    if (rewrote) {
        RecomputeFrameChecksums(&view);
    }
    return rewrote;
}

} // namespace

bool InspectInbound(uint8_t* frame, uint32_t length, bool atDispatch) {
    return Inspect(InboundRules, frame, length, atDispatch);
}

bool InspectOutbound(uint8_t* frame, uint32_t length, bool atDispatch) {
    return Inspect(OutboundRules, frame, length, atDispatch);
}
