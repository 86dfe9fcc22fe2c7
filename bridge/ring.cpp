#include "ring.h"

#include <algorithm>
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

// Receive ring size: room for a fast sender's whole TCP window (several MB), plus bursts
// of others, while the guard waits for a core. TCP windows count bytes, so the ring does
// too: 8192 slots at an MTU of 1500, fewer and larger ones for jumbo frames.
const size_t RingBytes = size_t(16) << 20;
const uint32_t MinRingFrames = 1024;
// Slots per block of the ring (a block must be a whole number of pages).
const uint32_t FramesPerBlock = 16;
// Outgoing frames sent with one call.
const uint32_t BatchFrames = 64;
// Tries for a frame the device has no room for, each after waiting up to a millisecond.
const int BusyRetries = 1000;
// Room a receive slot needs before the frame: its header, the link address, the
// virtio-net header and the alignment the kernel applies.
const uint32_t RxHeadroom = TPACKET_ALIGN(TPACKET2_HDRLEN) + 16 + 64;
const uint32_t MacAddresses = 12;
const uint32_t VlanTagLength = 4;

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

VirtioNetHeader OutgoingOffload(const ReceivedFrame& frame, bool rewritten) {
    VirtioNetHeader header{};
    if (!rewritten && (frame.offload.flags & VirtioNeedsChecksum) != 0) {
        header.flags = VirtioNeedsChecksum;
        header.checksumStart =
            uint16_t(frame.offload.checksumStart + (frame.vlanPresent ? VlanTagLength : 0));
        header.checksumOffset = frame.offload.checksumOffset;
    }
    return header;
}

PacketRing::~PacketRing() {
    Close();
}

void PacketRing::Close() {
    // Nothing is queued between bursts; should anything be, its slots go back unsent.
    for (uint32_t i = 0; i < queued_; ++i) {
        batch_[i].frame.port->Release(batch_[i].frame);
    }
    queued_ = 0;
    if (map_ != nullptr) {
        munmap(map_, mapLength_);
        map_ = nullptr;
    }
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    rxNext_ = 0;
    index_ = 0;
}

bool PacketRing::Open(const std::string& interface, uint32_t maxFrame, std::string* error) {
    Close();
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
    int one = 1;
    if (setsockopt(fd_, SOL_PACKET, PACKET_VNET_HDR, &one, sizeof one) != 0) {
        *error = Errno("virtio-net headers on " + interface);
        return false;
    }
    // The guard must never read back what it sends itself.
#ifdef PACKET_IGNORE_OUTGOING
    setsockopt(fd_, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
#endif
    // Frames go straight to the device: no queueing discipline drops them; a full device
    // queue is reported to us and the frame tried again.
    setsockopt(fd_, SOL_PACKET, PACKET_QDISC_BYPASS, &one, sizeof one);
    maxFrame_ = maxFrame;
    frameSize_ = SlotSize(maxFrame);
    frameCount_ = std::max(MinRingFrames, uint32_t(RingBytes / frameSize_));
    frameCount_ -= frameCount_ % FramesPerBlock;
    tpacket_req req{};
    req.tp_block_size = frameSize_ * FramesPerBlock;
    req.tp_frame_size = frameSize_;
    req.tp_block_nr = frameCount_ / FramesPerBlock;
    req.tp_frame_nr = frameCount_;
    if (setsockopt(fd_, SOL_PACKET, PACKET_RX_RING, &req, sizeof req) != 0) {
        *error = Errno("packet ring on " + interface);
        return false;
    }
    mapLength_ = size_t(frameCount_) * frameSize_;
    batch_.resize(BatchFrames);
    messages_.resize(BatchFrames);
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
    index_ = index;
    return true;
}

bool PacketRing::Next(ReceivedFrame* frame) {
    if (map_ == nullptr) {
        return false; // closed: the interface is gone
    }
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
        std::memcpy(&frame->offload, frame->data - sizeof(VirtioNetHeader), sizeof frame->offload);
        frame->vlanPresent = (h->tp_status & TP_STATUS_VLAN_VALID) != 0 || h->tp_vlan_tci != 0;
        frame->vlanTci = h->tp_vlan_tci;
        frame->vlanTpid =
            (h->tp_status & TP_STATUS_VLAN_TPID_VALID) != 0 ? h->tp_vlan_tpid : ETH_P_8021Q;
        frame->slot = slot;
        frame->port = this;
        return true;
    }
}

void PacketRing::Release(const ReceivedFrame& frame) {
    __atomic_store_n(&Header(frame.slot)->tp_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
}

void PacketRing::Queue(const ReceivedFrame& frame, bool rewritten, uint64_t* lost) {
    if (queued_ == BatchFrames) {
        Flush(lost);
    }
    Outgoing& o = batch_[queued_];
    mmsghdr& m = messages_[queued_];
    ++queued_;
    o.frame = frame;
    o.header = OutgoingOffload(frame, rewritten);
    o.pieces[0] = {&o.header, sizeof o.header};
    size_t pieces = 1;
    if (frame.vlanPresent && frame.length >= MacAddresses) {
        // The tag the kernel lifted out goes back after the two MAC addresses.
        o.tag[0] = uint8_t(frame.vlanTpid >> 8);
        o.tag[1] = uint8_t(frame.vlanTpid);
        o.tag[2] = uint8_t(frame.vlanTci >> 8);
        o.tag[3] = uint8_t(frame.vlanTci);
        o.pieces[pieces++] = {frame.data, MacAddresses};
        o.pieces[pieces++] = {o.tag, VlanTagLength};
        o.pieces[pieces++] = {frame.data + MacAddresses, frame.length - MacAddresses};
    } else {
        o.pieces[pieces++] = {frame.data, frame.length};
    }
    m = {};
    m.msg_hdr.msg_iov = o.pieces;
    m.msg_hdr.msg_iovlen = pieces;
}

void PacketRing::Flush(uint64_t* lost) {
    uint32_t sent = 0;
    int busy = 0;
    while (sent < queued_) {
        int n = sendmmsg(fd_, messages_.data() + sent, queued_ - sent, 0);
        if (n > 0) {
            sent += uint32_t(n);
            busy = 0;
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == ENOBUFS || errno == EAGAIN) && ++busy < BusyRetries) {
            pollfd p{fd_, POLLOUT, 0};
            poll(&p, 1, 1);
            continue;
        }
        // The link is down (or stayed busy): this frame is lost, the next ones are tried.
        ++*lost;
        ++sent;
        busy = 0;
    }
    for (uint32_t i = 0; i < queued_; ++i) {
        batch_[i].frame.port->Release(batch_[i].frame);
    }
    queued_ = 0;
}

uint64_t PacketRing::ReceiveDrops() {
    // The kernel resets its counters on every read, so they are summed here.
    tpacket_stats stats{};
    socklen_t len = sizeof stats;
    if (fd_ >= 0 && getsockopt(fd_, SOL_PACKET, PACKET_STATISTICS, &stats, &len) == 0) {
        drops_ += stats.tp_drops;
    }
    return drops_;
}

int PacketRing::TakeError() {
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
    return err;
}
