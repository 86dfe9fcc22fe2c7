// One interface's memory-mapped AF_PACKET rings (TPACKET_V2): a receive ring the kernel
// fills and a transmit ring the guard fills. Frames are read and written in place, so a
// forwarded frame is copied once, from one interface's receive slot to the other's
// transmit slot.
#pragma once

#include <cstdint>
#include <string>

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

    // A free transmit slot of MaxFrame() bytes, or null while every slot is queued.
    uint8_t* TransmitSlot();
    // Queues the slot last returned by TransmitSlot with `length` bytes.
    void Queue(uint32_t length);
    // Asks the kernel to send every queued slot. False with errno when it refused (for
    // example while the link is down); the slots stay queued.
    bool Flush();
    // Blocks until the kernel has taken at least one queued slot, or the link failed.
    bool WaitForTransmitRoom();
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
    uint32_t txNext_ = 0;
    uint32_t queued_ = 0;
    uint8_t* RxSlot(uint32_t i) const { return map_ + size_t(i) * frameSize_; }
    uint8_t* TxFrame(uint32_t i) const { return map_ + size_t(frameCount_ + i) * frameSize_; }
};
