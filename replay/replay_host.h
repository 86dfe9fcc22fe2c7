// What the replay tool feeds a capture through: a host. The engine host calls the engine
// entries directly; a driver host runs a driver on its NDIS model, which calls them from
// inside the driver, many frames at a time. Every host gives the same output for the same
// capture and policy.
//
// A new host is one file defining its factory and one entry in ReplayHosts
// (replay_hosts.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture.h"
#include "control_codes.h"
#include "policy_file.h"
#include "records.h"
#include "replay_engine.h"

// A frame after its way through a host: the bytes as they left it, and what the engine
// made of it.
struct HostFrame {
    CaptureFrame frame;
    FrameOutcome outcome;
};

class ReplayHost {
  public:
    virtual ~ReplayHost() = default;
    // Starts the engine (inside the driver, for a driver host) and applies the policy
    // through the control protocol. `seed` drives whatever the host varies at random.
    virtual bool Start(const Policy& policy, uint64_t seed, std::string* error) = 0;
    // Takes the next frame of the capture. Frames whose way through the host has ended
    // are appended to *done, in capture order.
    virtual void Feed(CaptureFrame frame, std::vector<HostFrame>* done) = 0;
    // Ends the way of every frame still held, and appends them to *done.
    virtual void Finish(std::vector<HostFrame>* done) = 0;
    // Any control request, as the service would send it.
    virtual ControlStatusBlock Control(uint32_t code, std::vector<uint8_t>& buffer,
                                       uint32_t inputLength, uint32_t outputLength) = 0;

    SmbTrafficStats Stats();
    std::vector<SessionUser> Sessions();
};

struct ReplayHostEntry {
    const char* name;
    std::unique_ptr<ReplayHost> (*make)();
};
// The hosts by name, ending with a null name.
extern const ReplayHostEntry ReplayHosts[];
// Null when no host has that name.
std::unique_ptr<ReplayHost> MakeReplayHost(const std::string& name);
// "engine|ndis6|..." for the usage text.
std::string ReplayHostNames();

std::unique_ptr<ReplayHost> MakeEngineHost();
std::unique_ptr<ReplayHost> MakeNdis5Host();
std::unique_ptr<ReplayHost> MakeNdis6Host();
