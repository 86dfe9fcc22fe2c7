#include "ring.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Slots per ring: enough for a burst of a few hundred full-size frames in each direction.
const uint32_t RingFrames = 1024;
// Where the frame bytes of a transmit slot begin (TPACKET_V2 without PACKET_TX_HAS_OFF).
const uint32_t TxDataOffset = TPACKET_ALIGN(sizeof(tpacket2_hdr));
// Room a receive slot needs before the frame: its header, the link address and the
// alignment the kernel applies.
const uint32_t RxHeadroom = TPACKET_ALIGN(TPACKET2_HDRLEN) + 16 + 64;

std::string Errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

uint32_t SlotSize(uint32_t maxFrame) {
    uint32_t size = 2048;
    while (size < maxFrame + RxHeadroom) {
        size *= 2;
    }
    return size;
}

tpacket2_hdr* Header(void* slot) {
    return static_cast<tpacket2_hdr*>(slot);
}

} // namespace

PacketRing::~PacketRing() {
    if (map_ != nullptr) {
        munmap(map_, mapLength_);
    }
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool PacketRing::Open(const std::string& interface, uint32_t maxFrame, std::string* error) {
    name_ = interface;
    unsigned index = if_nametoindex(interface.c_str());
    if (index == 0) {
        *error = Errno("interface " + interface);
        return false;
    }
    fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (fd_ < 0) {
        *error = Errno("AF_PACKET socket on " + interface);
        return false;
    }
    int version = TPACKET_V2;
    if (setsockopt(fd_, SOL_PACKET, PACKET_VERSION, &version, sizeof version) != 0) {
        *error = Errno("TPACKET_V2 on " + interface);
        return false;
    }
    // The guard must never read back what it sends itself.
    int one = 1;
#ifdef PACKET_IGNORE_OUTGOING
    setsockopt(fd_, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
#endif
    // Frames leave exactly as written: no queueing discipline reorders or drops them.
    setsockopt(fd_, SOL_PACKET, PACKET_QDISC_BYPASS, &one, sizeof one);
    maxFrame_ = maxFrame;
    frameSize_ = SlotSize(maxFrame);
    frameCount_ = RingFrames;
    tpacket_req req{};
    req.tp_block_size = frameSize_ * 16;
    req.tp_frame_size = frameSize_;
    req.tp_block_nr = frameCount_ / 16;
    req.tp_frame_nr = frameCount_;
    if (setsockopt(fd_, SOL_PACKET, PACKET_RX_RING, &req, sizeof req) != 0 ||
        setsockopt(fd_, SOL_PACKET, PACKET_TX_RING, &req, sizeof req) != 0) {
        *error = Errno("packet rings on " + interface);
        return false;
    }
    mapLength_ = size_t(2) * frameCount_ * frameSize_;
    void* map = mmap(nullptr, mapLength_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (map == MAP_FAILED) {
        *error = Errno("mapping the rings of " + interface);
        return false;
    }
    map_ = static_cast<uint8_t*>(map);
    packet_mreq promisc{};
    promisc.mr_ifindex = int(index);
    promisc.mr_type = PACKET_MR_PROMISC;
    if (setsockopt(fd_, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &promisc, sizeof promisc) != 0) {
        *error = Errno("promiscuous mode on " + interface);
        return false;
    }
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = int(index);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        *error = Errno("binding to " + interface);
        return false;
    }
    return true;
}

bool PacketRing::Next(ReceivedFrame* frame) {
    for (;;) {
        uint8_t* slot = RxSlot(rxNext_);
        tpacket2_hdr* h = Header(slot);
        if ((__atomic_load_n(&h->tp_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER) == 0) {
            return false;
        }
        rxNext_ = (rxNext_ + 1) % frameCount_;
        // Without PACKET_IGNORE_OUTGOING the kernel also shows our own sends here.
        auto* link = reinterpret_cast<sockaddr_ll*>(slot + TPACKET_ALIGN(sizeof(tpacket2_hdr)));
        if (link->sll_pkttype == PACKET_OUTGOING) {
            __atomic_store_n(&h->tp_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
            continue;
        }
        frame->data = slot + h->tp_mac;
        frame->length = h->tp_snaplen;
        frame->wireLength = h->tp_len;
        frame->checksumPending = (h->tp_status & TP_STATUS_CSUMNOTREADY) != 0;
        frame->vlanPresent = (h->tp_status & TP_STATUS_VLAN_VALID) != 0 || h->tp_vlan_tci != 0;
        frame->vlanTci = h->tp_vlan_tci;
        frame->vlanTpid =
            (h->tp_status & TP_STATUS_VLAN_TPID_VALID) != 0 ? h->tp_vlan_tpid : ETH_P_8021Q;
        frame->slot = slot;
        return true;
    }
}

void PacketRing::Release(const ReceivedFrame& frame) {
    __atomic_store_n(&Header(frame.slot)->tp_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
}

uint8_t* PacketRing::TransmitSlot() {
    tpacket2_hdr* h = Header(TxFrame(txNext_));
    uint32_t status = __atomic_load_n(&h->tp_status, __ATOMIC_ACQUIRE);
    if (status == TP_STATUS_WRONG_FORMAT) {
        // The kernel refused the frame in this slot; the slot is free again.
        status = TP_STATUS_AVAILABLE;
    }
    if (status != TP_STATUS_AVAILABLE) {
        return nullptr;
    }
    return TxFrame(txNext_) + TxDataOffset;
}

void PacketRing::Queue(uint32_t length) {
    tpacket2_hdr* h = Header(TxFrame(txNext_));
    h->tp_len = length;
    __atomic_store_n(&h->tp_status, TP_STATUS_SEND_REQUEST, __ATOMIC_RELEASE);
    txNext_ = (txNext_ + 1) % frameCount_;
    ++queued_;
}

bool PacketRing::Flush() {
    if (queued_ == 0) {
        return true;
    }
    if (send(fd_, nullptr, 0, MSG_DONTWAIT) < 0 && errno != EAGAIN && errno != ENOBUFS) {
        return false;
    }
    queued_ = 0;
    return true;
}

bool PacketRing::WaitForTransmitRoom() {
    // A blocking send returns once the kernel has handed every queued frame to the device.
    if (send(fd_, nullptr, 0, 0) < 0 && errno != EAGAIN && errno != ENOBUFS) {
        return false;
    }
    queued_ = 0;
    return TransmitSlot() != nullptr;
}

int PacketRing::TakeError() {
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
    return err;
}
