// The engine as the replay tool runs it: started, configured through the control
// protocol, fed one frame at a time, and drained after every frame so nothing is lost.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "policy_file.h"
#include "records.h"

enum class FrameDirection { NotSmb, Inbound, Outbound };

struct FrameOutcome {
    FrameDirection direction = FrameDirection::NotSmb;
    bool rewritten = false;
    std::vector<FileEvent> events;
    // Beside each event: its client's IPv6 address, zeros for an IPv4 client.
    std::vector<std::array<uint8_t, ClientIpv6Bytes>> eventClients;
    std::vector<LearnedGrant> grants;
};

class ReplayEngine {
  public:
    ReplayEngine() = default;
    ReplayEngine(const ReplayEngine&) = delete;
    ReplayEngine& operator=(const ReplayEngine&) = delete;
    ~ReplayEngine();

    bool Start(const Policy& policy, std::string* error);
    // Inspects one frame in place (the bytes may be rewritten).
    FrameOutcome Feed(std::vector<uint8_t>& frame);
    SmbTrafficStats Stats();
    std::vector<SessionUser> Sessions();
    // Any control request, as the service would send it.
    ControlStatusBlock Control(uint32_t code, std::vector<uint8_t>& buffer, uint32_t inputLength,
                               uint32_t outputLength);

  private:
    bool started_ = false;
    Policy policy_;
};

// The traffic counters and the known sessions, read through any host's control call.
SmbTrafficStats ReadTrafficStats(const ControlCall& control);
std::vector<SessionUser> ReadSessionUsers(const ControlCall& control);
// The sessions with their clients' IPv6 addresses (IOCTL_ENGINE_READ_SESSION_CLIENTS).
std::vector<SessionClient> ReadSessionClients(const ControlCall& control);

// Which entry a frame goes to: TCP to port 445 or 139 inbound, from those ports outbound.
FrameDirection ClassifyDirection(std::vector<uint8_t>& frame);

// What the replay tool does after every inspection, whichever host made it: drains the
// events and grants the frame produced into *outcome and, after an outbound frame,
// applies the policy's user assignments again (trees are learned from responses).
void CollectAfterInspection(const Policy& policy, const ControlCall& engineControl,
                            FrameDirection direction, FrameOutcome* outcome);

// The engine's control protocol called directly.
ControlStatusBlock EngineControl(uint32_t code, std::vector<uint8_t>& buffer, uint32_t inputLength,
                                 uint32_t outputLength);
