// One interface's AF_XDP socket in copy mode: a small XDP program on the interface hands
// every frame to the socket, the kernel copies it into memory shared with the guard (the
// UMEM), and frames go out through the socket's transmit ring, from which the kernel
// copies each into a buffer of its own when the guard asks it to send.
//
// The UMEM holds the receive buffers (all of them given to the kernel through the fill
// ring, each given back once its frame has been copied on) and the transmit buffers (each
// back through the completion ring once sent). A frame received on one interface is copied
// into a transmit buffer of the other; its receive buffer goes back at once.
//
// A frame comes with no word from the sender about its checksums: a driver hands XDP the
// frame as it came off the wire, checksums complete. A sender on the same machine (a veth
// peer) may have left its TCP or UDP checksum to the "hardware": the field then holds
// only the sum of the pseudo-header, and the guard completes it. A VLAN tag still in
// the frame is lifted out here, as the kernel does for the rings, and put back on the way
// out; the guard turns the interfaces' receive VLAN offload off, so that a driver leaves
// the tag in the frame.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "frame_port.h"

struct xsk_umem;
struct xsk_socket;

// Lifts an 802.1Q or 802.1ad tag out of a frame that starts at `frame->data`: the MAC
// addresses move up over it, and the frame then starts 4 bytes later. Leaves an untagged
// frame (or one too short to hold a tag and a type) as it is.
void LiftVlanTag(ReceivedFrame* frame);
// Completes a TCP or UDP checksum (IPv4, or IPv6 with no extension header) whose field
// holds only the sum of the pseudo-header, as a sender that leaves the checksum to the
// hardware writes it; true when it did. A complete checksum that equals that sum by chance
// (about one in 65,536) is computed again to the same value.
bool CompleteLeftChecksum(uint8_t* frame, uint32_t length);
// Writes the frame into `out` (room for frame.length + 4 bytes), with its tag back after
// the MAC addresses if it had one; returns the bytes written.
uint32_t PutFrame(const ReceivedFrame& frame, uint8_t* out);

class XdpPort : public FramePort {
  public:
    XdpPort();
    ~XdpPort() override;

    bool Open(const std::string& interface, uint32_t maxFrame, std::string* error) override;
    void Close() override;
    bool IsOpen() const override { return socket_ != nullptr; }

    bool Next(ReceivedFrame* frame) override;
    void Release(const ReceivedFrame& frame) override;
    uint32_t Queued() const override { return queued_; }
    // The frame is copied into a transmit buffer; the other port's buffer goes back at once.
    void Queue(const ReceivedFrame& frame, bool rewritten, uint64_t* lost) override;
    void Flush(uint64_t* lost) override;
    int TakeError() override;
    uint64_t ReceiveDrops() override;

  private:
    struct Rings; // the four rings, as libxdp lays them out
    bool TakeTxBuffer(uint64_t* address);
    void Reclaim();
    bool LoadProgram(std::string* error);

    uint32_t chunk_ = 0;
    uint8_t* area_ = nullptr;
    size_t areaLength_ = 0;
    xsk_umem* umem_ = nullptr;
    xsk_socket* socket_ = nullptr;
    std::unique_ptr<Rings> rings_;
    std::vector<uint64_t> freeTx_;
    uint32_t queued_ = 0;
    uint64_t dropsBefore_ = 0; // counted by sockets closed since
    // The program and its socket map live as long as the port: they are made while the
    // guard still has the privileges to load a program, and attached again on each Open.
    int programFd_ = -1;
    int mapFd_ = -1;
};
