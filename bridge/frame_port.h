// One of the guard's two interfaces as the forwarding loop sees it: frames come in in
// arrival order, are inspected where they lie, and go out through the other interface's
// port in the same order. Two kinds exist: a memory-mapped AF_PACKET ring (ring.h) and an
// AF_XDP socket in copy mode (xdp_port.h).
#pragma once

#include <cstdint>
#include <string>

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

class FramePort;

struct ReceivedFrame {
    uint8_t* data;   // the frame as the kernel delivered it (a VLAN tag lifted out)
    uint32_t length; // bytes present
    uint32_t wireLength;
    bool vlanPresent;
    uint16_t vlanTci;
    uint16_t vlanTpid;
    VirtioNetHeader offload; // the sender's checksum request, as received
    void* slot;              // where the frame's buffer lies, for its port's Release
    FramePort* port;         // the port that received it
};

class FramePort {
  public:
    FramePort() = default;
    FramePort(const FramePort&) = delete;
    FramePort& operator=(const FramePort&) = delete;
    virtual ~FramePort() = default;

    // Binds to the interface; frames of up to `maxFrame` bytes fit a receive buffer.
    virtual bool Open(const std::string& interface, uint32_t maxFrame, std::string* error) = 0;
    // Lets go of the socket and its memory (the interface went away); Open may follow.
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    // The interface index the port is bound to.
    unsigned Index() const { return index_; }
    // Readable when a frame has come in; -1 while closed.
    int Descriptor() const { return fd_; }
    const std::string& Name() const { return name_; }
    uint32_t MaxFrame() const { return maxFrame_; }

    // The next frame that came in, or false when none is waiting.
    virtual bool Next(ReceivedFrame* frame) = 0;
    // Gives a frame this port delivered back to the kernel's receive buffers.
    virtual void Release(const ReceivedFrame& frame) = 0;
    // Frames waiting in the batch for Flush.
    virtual uint32_t Queued() const = 0;
    // Adds a frame received on the other port to the outgoing batch; its buffer goes back
    // to that port once the frame needs it no more. Sends the batch first when it is full.
    virtual void Queue(const ReceivedFrame& frame, bool rewritten, uint64_t* lost) = 0;
    // Sends the batch in order. A frame the device has no room for is tried again; the
    // frames a link that is down refuses are counted in `lost`.
    virtual void Flush(uint64_t* lost) = 0;
    // Clears a pending socket error (link went down); returns it, 0 if none.
    virtual int TakeError() = 0;
    // Frames the kernel could not hand to the guard because its receive buffers were full,
    // since the port was opened.
    virtual uint64_t ReceiveDrops() = 0;

  protected:
    int fd_ = -1;
    unsigned index_ = 0;
    std::string name_;
    uint32_t maxFrame_ = 0;
};
