#include "inspect.h"

#include "checksum.h"
#include "engine_state.h"
#include "frame_view.h"
#include "smb2_chain.h"
#include "smb_handlers.h"
#include "smb_message.h"
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

// Counts the frame and hands its SMB message(s) on; the per-direction rules are those
// of the callers below.
struct DirectionRules {
    SmbDirection direction;
    uint64_t SmbTrafficStats::*packets;
    uint64_t SmbTrafficStats::*bytes;
    uint64_t SmbTrafficStats::*intervalBytes;
    TrafficClock EngineState::*clock;
    SmbHandler smb2;
    SmbHandler smb1;
};

const DirectionRules InboundRules = {
    SmbDirection::Request,
    &SmbTrafficStats::InboundPackets,
    &SmbTrafficStats::InboundBytes,
    &SmbTrafficStats::InboundIntervalBytes,
    &EngineState::InboundClock,
    HandleSmb2Request,
    HandleSmb1Request,
};

const DirectionRules OutboundRules = {
    SmbDirection::Response,
    &SmbTrafficStats::OutboundPackets,
    &SmbTrafficStats::OutboundBytes,
    &SmbTrafficStats::OutboundIntervalBytes,
    &EngineState::OutboundClock,
    HandleSmb2Response,
    HandleSmb1Response,
};

bool IsSmbPort(uint16_t port) {
    return port == SmbPortDirect || port == SmbPortNetbios;
}

// Most frames a server handles are not SMB. Their verdict comes from a direct look at
// three header fields: a frame that is not IPv4, or IPv4 but not TCP, or TCP to (or from)
// another port is one the full classification would turn away too. Whatever the look
// cannot settle (a short frame, an odd header length) goes to the full classification.
bool PlainlyNotSmb(const uint8_t* frame, uint32_t length, bool inbound) {
    const uint32_t quickLookBytes = EthernetHeaderLength + Ipv4MinHeaderLength;
    if (length < quickLookBytes) {
        return false;
    }
    if (ReadU16Be(frame + EthType) != EtherTypeIpv4) {
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

bool DecodeSmbPayload(const DirectionRules& rules, FrameView* view, bool atDispatch, uint64_t now) {
    bool inbound = rules.direction == SmbDirection::Request;
    uint32_t payloadLength = view->payloadLength;
    if (payloadLength < NetbiosHeaderLength) {
        return false;
    }
    uint8_t* netbios = view->payload;
    if (netbios[NetbiosType] != NetbiosSessionMessage) {
        return false;
    }
    uint32_t length = ReadU24Be(netbios + NetbiosLength);
    uint32_t present = payloadLength - NetbiosHeaderLength;
    bool complete = length <= present;
    // Bytes of this message present in the segment.
    uint32_t available = complete ? length : present;
    if (available < SmbProtocolIdLength) {
        return false;
    }
    uint8_t* header = netbios + NetbiosHeaderLength;
    uint32_t protocol = ReadU32Le(header);
    if (protocol == Smb2ProtocolId || protocol == Smb1ProtocolId) {
        // Every SMB message pays for a few entries of the purge of requests whose
        // response never came; segments without a header pay nothing.
        PurgeStaleRequests(atDispatch, now);
    }

    if (protocol == Smb2ProtocolId) {
        if (available < Smb2HeaderLength) {
            return false;
        }
        bool response = (ReadU32Le(header + Smb2Flags) & Smb2FlagServerToRedir) != 0;
        if (response == inbound) {
            return false;
        }
        // A WRITE's data usually runs into later segments; only this first segment has
        // the header, so it is decoded alone, without the length test or a chain walk.
        if (inbound && ReadU16Le(header + Smb2Command) == Smb2Write) {
            return rules.smb2(netbios, header, available, view, atDispatch);
        }
        if (!complete) {
            return false;
        }
        return WalkSmb2Chain(netbios, length, view, atDispatch, rules.direction, rules.smb2);
    }
    if (protocol == Smb1ProtocolId) {
        if (available < Smb1HeaderLength) {
            return false;
        }
        bool reply = (header[Smb1Flags] & Smb1FlagReply) != 0;
        if (reply == inbound) {
            return false;
        }
        bool writeRequest = inbound && header[Smb1Command] == Smb1WriteAndX;
        if (!complete && !writeRequest) {
            return false;
        }
        return rules.smb1(netbios, header, available, view, atDispatch);
    }
    return false;
}

bool Inspect(const DirectionRules& rules, uint8_t* frame, uint32_t length, bool atDispatch) {
    EngineState& e = g_Engine;
    SmbTrafficStats* stats = e.TrafficStats;
    if (stats == nullptr) {
        return false; // engine not started
    }
    uint64_t now = KmQuerySystemTime();
    RefreshInterval(&(e.*rules.clock), &(stats->*rules.bytes), &(stats->*rules.intervalBytes), now);
    bool inbound = rules.direction == SmbDirection::Request;
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

    bool rewrote = DecodeSmbPayload(rules, &view, atDispatch, now);
    if (rewrote) {
        RecomputeChecksums(view.networkHeader, view.tcpHeader, view.tcpSegmentLength);
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
