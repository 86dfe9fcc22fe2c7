// Frames the guard has no use for go from one of its interfaces to the other inside the
// kernel, so that the rest of the server's traffic does not pay for a trip through the
// guard's rings: untagged IPv4 (unfragmented) and IPv6 TCP segments with neither port 445
// nor 139. Everything else, every SMB segment among it, still reaches the guard.
//
// Two programs per interface make the one decision: a socket filter on the guard's
// socket keeps such frames out of the ring, and a program on the interface's ingress
// sends them out of the other interface. Both look at the same frame and the same table
// of targets, so a frame goes one way or the other, never both or neither; a side whose
// target is 0 passes nothing in the kernel. The ingress programs are held by links that
// close with the guard, so a guard that dies leaves nothing behind.
#pragma once

#include <cstdint>
#include <linux/bpf.h>
#include <string>
#include <vector>

class FramePort;

// The two programs of one side, over the maps of targets (a u32 array of 2) and of frames
// passed (a per-processor u64 array of 2). The socket filter keeps a frame to pass out of
// the ring (returns 0) and every other whole; the ingress program sends that same frame
// out of the side's target (TC_ACT_REDIRECT) and lets every other on (TC_ACT_OK).
std::vector<bpf_insn> KernelPassSocketFilter(int targetsFd, int32_t side);
std::vector<bpf_insn> KernelPassIngress(int targetsFd, int passedFd, int32_t side);

class KernelPass {
  public:
    KernelPass() = default;
    KernelPass(const KernelPass&) = delete;
    KernelPass& operator=(const KernelPass&) = delete;
    ~KernelPass();

    // Loads the programs (needs CAP_BPF and CAP_NET_ADMIN); false, with why, when the
    // kernel or the guard's privileges refuse them.
    bool Load(std::string* error);
    bool Loaded() const { return targetsFd_ >= 0; }
    // Brings the pass in line with the two ports: on between them while both are open,
    // off for a side whose port is closed or whose program could not be attached there.
    // Called at start and whenever a port was closed or opened again; returns false,
    // with why, when a side that should pass could not.
    bool Follow(FramePort* ports[2], std::string* error);
    // Turns every side off and lets go of the links (the guard stops).
    void Stop();
    // Frames that arrived on port `side` and went out of the other port in the kernel.
    uint64_t Passed(int side) const;

  private:
    bool AttachSide(int side, FramePort* from, FramePort* to, std::string* error);
    void SetTarget(int side, uint32_t index);

    int targetsFd_ = -1; // per side: the index of the interface to send to, 0 for none
    int passedFd_ = -1;  // per side: frames passed, one counter per processor
    int filterFd_[2] = {-1, -1};
    int ingressFd_[2] = {-1, -1};
    int linkFd_[2] = {-1, -1};
    unsigned linkIndex_[2] = {0, 0}; // the interface each link is on
    int filteredSocket_[2] = {-1, -1};
    uint32_t target_[2] = {0, 0};
};
