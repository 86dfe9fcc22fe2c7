#include "port_pair.h"

#include <cstring>
#include <net/ethernet.h>

#include "checksum.h"

namespace {

const uint32_t EthTypeOffset = 12;
const uint32_t EthHeader = 14;
const uint32_t VlanTagLength = 4;
const uint16_t EtherTypeIp = 0x0800;
const uint8_t ProtocolTcp = 6;
const uint8_t ProtocolUdp = 17;
const uint32_t UdpChecksumOffset = 6;

uint16_t Be16(const uint8_t* p) {
    return uint16_t(p[0] << 8 | p[1]);
}

void PutBe16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

// Puts the tag the kernel lifted out back after the two MAC addresses.
uint32_t InsertVlanTag(uint8_t* frame, uint32_t length, uint16_t tpid, uint16_t tci) {
    std::memmove(frame + EthTypeOffset + VlanTagLength, frame + EthTypeOffset,
                 length - EthTypeOffset);
    PutBe16(frame + EthTypeOffset, tpid);
    PutBe16(frame + EthTypeOffset + 2, tci);
    return length + VlanTagLength;
}

} // namespace

bool CompleteChecksums(uint8_t* frame, uint32_t length) {
    if (length < EthHeader + 20 || Be16(frame + EthTypeOffset) != EtherTypeIp) {
        return false;
    }
    uint8_t* ip = frame + EthHeader;
    uint32_t headerLength = uint32_t(ip[0] & 0x0F) * 4;
    uint32_t totalLength = Be16(ip + 2);
    if ((ip[0] >> 4) != 4 || headerLength < 20 || totalLength < headerLength ||
        EthHeader + totalLength > length) {
        return false;
    }
    uint8_t* l4 = ip + headerLength;
    uint32_t l4Length = totalLength - headerLength;
    if (ip[9] == ProtocolTcp && l4Length >= 20) {
        RecomputeChecksums(ip, l4, l4Length);
        return true;
    }
    if (ip[9] == ProtocolUdp && l4Length >= 8) {
        PutBe16(l4 + UdpChecksumOffset, 0);
        uint32_t pseudo = OnesComplementSum(0, ip + 12, 8) + ProtocolUdp + l4Length;
        uint16_t sum = uint16_t(~OnesComplementSum(pseudo, l4, l4Length));
        PutBe16(l4 + UdpChecksumOffset, sum == 0 ? 0xFFFF : sum);
        PutBe16(ip + 10, 0);
        PutBe16(ip + 10, uint16_t(~OnesComplementSum(0, ip, headerLength)));
        return true;
    }
    return false;
}

uint32_t ForwardBurst(PortPair* pair, FrameInspector* inspector, uint32_t budget) {
    PortCounters& c = pair->counters;
    uint32_t moved = 0;
    ReceivedFrame rx;
    while (moved < budget && pair->from->Next(&rx)) {
        ++moved;
        uint32_t room = pair->to->MaxFrame();
        if (rx.length < rx.wireLength || rx.length + VlanTagLength > room) {
            ++c.oversize;
            pair->from->Release(rx);
            continue;
        }
        uint8_t* out = pair->to->TransmitSlot(&c.lost);
        std::memcpy(out, rx.data, rx.length);
        pair->from->Release(rx);
        uint32_t length = rx.length;
        if (rx.checksumPending && CompleteChecksums(out, length)) {
            ++c.checksumsCompleted;
        }
        if (inspector->Inspect(out, length, pair->fromNetwork)) {
            ++c.rewritten;
        }
        if (rx.vlanPresent) {
            length = InsertVlanTag(out, length, rx.vlanTpid, rx.vlanTci);
            ++c.vlanTagged;
        }
        pair->to->Queue(length);
        ++c.frames;
        c.bytes += length;
    }
    if (moved > 0) {
        pair->to->Flush(&c.lost);
    }
    return moved;
}
