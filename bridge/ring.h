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

// The virtio-net header (the layout of the kernel's struct virtio_net_hdr, fields little-endian)
// that precedes each frame on a socket with PACKET_VNET_HDR.
struct VirtioNetHeader {
    uint8_t flags;
    uint8_t gsoType;
    uint16_t headerLength;
    uint16_t gsoSize;
    uint16_t checksumStart;  // from the start of the frame
    uint16_t checksumOffset; // of the checksum field, from checksumStart
};
static_assert(sizeof(VirtioNetHeader) == 10, "virtio-net header layout");
// The checksum from checksumStart to the end is left to be computed and stored.
const uint8_t VirtioNeedsChecksum = 1;
// The checksum was checked on receipt.
const uint8_t VirtioDataValid = 2;

struct ReceivedFrame {
    uint8_t* data;   // the frame as the kernel delivered it (a VLAN tag lifted out)
    uint32_t length; // bytes present
    uint32_t wireLength;
    bool vlanPresent;
    uint16_t vlanTci;
    uint16_t vlanTpid;
    VirtioNetHeader offload; // the sender's checksum request, as received
    void* slot;              // handed back through Release
};

// The header a frame is sent with: the received checksum request, moved past a VLAN tag
// the frame gets back, or none when the frame was rewritten (the engine then computed
// both checksums in full).
VirtioNetHeader OutgoingOffload(const ReceivedFrame& frame, bool rewritten);

class PacketRing {
  public:
    PacketRing() = default;
    PacketRing(const PacketRing&) = delete;
    PacketRing& operator=(const PacketRing&) = delete;
    ~PacketRing();

    // Binds to the interface; frames of up to `maxFrame` bytes fit a receive slot.
    bool Open(const std::string& interface, uint32_t maxFrame, std::string* error);
    // Lets go of the socket and the ring (the interface went away); Open may follow.
    void Close();
    bool IsOpen() const { return map_ != nullptr; }
    // The interface index the ring is bound to.
    unsigned Index() const { return index_; }
    int Descriptor() const { return fd_; }
    const std::string& Name() const { return name_; }
    uint32_t MaxFrame() const { return maxFrame_; }

    // The next frame the kernel delivered, or false when the receive ring is empty.
    bool Next(ReceivedFrame* frame);
    // Frames waiting in the batch for Flush.
    uint32_t Queued() const { return queued_; }
    // Returns a receive slot to the kernel (of whichever ring it belongs to).
    static void Release(const ReceivedFrame& frame);

    // Adds a frame received on any ring to the batch, sent from where it lies; its slot is
    // released once it has been sent. Sends the batch first when it is full.
    void Queue(const ReceivedFrame& frame, bool rewritten, uint64_t* lost);
    // Sends the batch in order and releases its slots. A frame the device has no room for
    // is tried again; the frames a link that is down refuses are counted in `lost`.
    void Flush(uint64_t* lost);
    // Clears a pending socket error (link went down); returns it, 0 if none.
    int TakeError();
    // Frames the kernel could not put in the receive ring because it was full, since the
    // ring was opened.
    uint64_t ReceiveDrops();

  private:
    // One queued frame: its header, the frame in up to three pieces (before a VLAN tag,
    // the tag, after it), and the slot to release.
    struct Outgoing {
        VirtioNetHeader header;
        uint8_t tag[4];
        iovec pieces[4];
        ReceivedFrame frame;
    };

    int fd_ = -1;
    unsigned index_ = 0;
    std::string name_;
    uint8_t* map_ = nullptr;
    size_t mapLength_ = 0;
    uint32_t frameSize_ = 0;
    uint32_t frameCount_ = 0;
    uint32_t maxFrame_ = 0;
    uint32_t rxNext_ = 0;
    std::vector<Outgoing> batch_;
    std::vector<mmsghdr> messages_;
    uint32_t queued_ = 0;
    uint64_t drops_ = 0;
    uint8_t* RxSlot(uint32_t i) const { return map_ + size_t(i) * frameSize_; }
};
