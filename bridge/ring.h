// One interface's AF_PACKET socket: a memory-mapped receive ring (TPACKET_V2) the kernel
// fills, and a batch of outgoing frames sent with one sendmmsg call. Sending copies each
// frame into a buffer of the kernel's own: a transmit ring would lend its pages to the
// frames it sends, and a receiver on the same machine (a veth peer) may still hold those
// pages in a socket queue when the ring slot is reused.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ReceivedFrame {
    uint8_t* data;   // the frame as the kernel delivered it (a VLAN tag lifted out)
    uint32_t length; // bytes present
    uint32_t wireLength;
    bool checksumPending; // offloaded checksum not yet computed
    bool vlanPresent;
    uint16_t vlanTci;
    uint16_t vlanTpid;
    void* slot; // handed back through Release
};

class PacketRing {
  public:
    PacketRing() = default;
    PacketRing(const PacketRing&) = delete;
    PacketRing& operator=(const PacketRing&) = delete;
    ~PacketRing();

    // Binds to the interface with both rings; frames of up to `maxFrame` bytes fit a slot.
    bool Open(const std::string& interface, uint32_t maxFrame, std::string* error);
    int Descriptor() const { return fd_; }
    const std::string& Name() const { return name_; }
    uint32_t MaxFrame() const { return maxFrame_; }

    // The next frame the kernel delivered, or false when the receive ring is empty.
    bool Next(ReceivedFrame* frame);
    // Returns a receive slot to the kernel.
    void Release(const ReceivedFrame& frame);

    // The buffer (MaxFrame() bytes) for the next outgoing frame; sends the batch first
    // when it is full. `lost` counts frames the link refused.
    uint8_t* TransmitSlot(uint64_t* lost);
    // Adds the buffer last returned by TransmitSlot, with `length` bytes, to the batch.
    void Queue(uint32_t length);
    // Sends the batch in order. A frame the device has no room for is tried again; the
    // frames a link that is down refuses are counted in `lost`.
    void Flush(uint64_t* lost);
    // Clears a pending socket error (link went down); returns it, 0 if none.
    int TakeError();

  private:
    int fd_ = -1;
    std::string name_;
    uint8_t* map_ = nullptr;
    size_t mapLength_ = 0;
    uint32_t frameSize_ = 0;
    uint32_t frameCount_ = 0;
    uint32_t maxFrame_ = 0;
    uint32_t rxNext_ = 0;
    std::vector<uint8_t> batch_;
    std::vector<uint32_t> lengths_;
    uint32_t queued_ = 0;
    uint8_t* RxSlot(uint32_t i) const { return map_ + size_t(i) * frameSize_; }
};
