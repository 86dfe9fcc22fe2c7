// One interface's AF_PACKET socket: a memory-mapped receive ring (TPACKET_V2) the kernel
// fills, and a batch of outgoing frames sent with one sendmmsg call.
//
// A frame is inspected where it lies in the receive ring and sent from there: the kernel
// copies it into a buffer of its own while sending, so the slot can go back to the kernel
// as soon as sendmmsg returns. (A transmit ring would lend its pages to the frames it
// sends, and a receiver on the same machine, a veth peer, may still hold those pages in a
// socket queue when the slot is reused.)
//
// Both sockets carry a virtio-net header before each frame. On receipt it says whether
// the sender left the TCP or UDP checksum to the hardware, and where that checksum lies;
// an unchanged frame is passed on with the same request, so the outgoing device (or, on a
// veth, the receiving stack) completes it as it would have without the guard.
#pragma once

#include <cstdint>
#include <string>
#include <sys/socket.h>
#include <sys/uio.h>
#include <vector>

#include "frame_port.h"

// The header a frame is sent with: the received checksum request, moved past a VLAN tag
// the frame gets back, or none when the frame was rewritten (the engine then computed
// both checksums in full).
VirtioNetHeader OutgoingOffload(const ReceivedFrame& frame, bool rewritten);

class PacketRing : public FramePort {
  public:
    PacketRing() = default;
    ~PacketRing() override;

    bool Open(const std::string& interface, uint32_t maxFrame, std::string* error) override;
    void Close() override;
    bool IsOpen() const override { return map_ != nullptr; }

    bool Next(ReceivedFrame* frame) override;
    // Any ring's slot goes back the same way: its status word is the kernel's again.
    void Release(const ReceivedFrame& frame) override;
    uint32_t Queued() const override { return queued_; }
    // The frame is sent from where it lies; its slot is released once it has been sent.
    void Queue(const ReceivedFrame& frame, bool rewritten, uint64_t* lost) override;
    void Flush(uint64_t* lost) override;
    int TakeError() override;
    uint64_t ReceiveDrops() override;

  private:
    // One queued frame: its header, the frame in up to three pieces (before a VLAN tag,
    // the tag, after it), and the slot to release.
    struct Outgoing {
        VirtioNetHeader header;
        uint8_t tag[4];
        iovec pieces[4];
        ReceivedFrame frame;
    };

    uint8_t* map_ = nullptr;
    size_t mapLength_ = 0;
    uint32_t frameSize_ = 0;
    uint32_t frameCount_ = 0;
    uint32_t rxNext_ = 0;
    std::vector<Outgoing> batch_;
    std::vector<mmsghdr> messages_;
    uint32_t queued_ = 0;
    uint64_t drops_ = 0;
    uint8_t* RxSlot(uint32_t i) const { return map_ + size_t(i) * frameSize_; }
};
