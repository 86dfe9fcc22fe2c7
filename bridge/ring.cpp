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

// Receive slots: enough for a burst of a few hundred full-size frames.
const uint32_t RingFrames = 1024;
// Outgoing frames sent with one call.
const uint32_t BatchFrames = 64;
// Tries for a frame the device has no room for, each after waiting up to a millisecond.
const int BusyRetries = 1000;
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
    // Frames go straight to the device: no queueing discipline drops them; a full device
    // queue is reported to us and the frame tried again.
    setsockopt(fd_, SOL_PACKET, PACKET_QDISC_BYPASS, &one, sizeof one);
    maxFrame_ = maxFrame;
    frameSize_ = SlotSize(maxFrame);
    frameCount_ = RingFrames;
    tpacket_req req{};
    req.tp_block_size = frameSize_ * 16;
    req.tp_frame_size = frameSize_;
    req.tp_block_nr = frameCount_ / 16;
    req.tp_frame_nr = frameCount_;
    if (setsockopt(fd_, SOL_PACKET, PACKET_RX_RING, &req, sizeof req) != 0) {
        *error = Errno("packet ring on " + interface);
        return false;
    }
    mapLength_ = size_t(frameCount_) * frameSize_;
    batch_.resize(size_t(BatchFrames) * maxFrame_);
    lengths_.resize(BatchFrames);
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

uint8_t* PacketRing::TransmitSlot(uint64_t* lost) {
    if (queued_ == BatchFrames) {
        Flush(lost);
    }
    return batch_.data() + size_t(queued_) * maxFrame_;
}

void PacketRing::Queue(uint32_t length) {
    lengths_[queued_++] = length;
}

void PacketRing::Flush(uint64_t* lost) {
    iovec iov[BatchFrames];
    mmsghdr messages[BatchFrames];
    for (uint32_t i = 0; i < queued_; ++i) {
        iov[i] = {batch_.data() + size_t(i) * maxFrame_, lengths_[i]};
        messages[i] = {};
        messages[i].msg_hdr.msg_iov = &iov[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    uint32_t sent = 0;
    int busy = 0;
    while (sent < queued_) {
        int n = sendmmsg(fd_, messages + sent, queued_ - sent, 0);
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
    queued_ = 0;
}

int PacketRing::TakeError() {
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
    return err;
}
