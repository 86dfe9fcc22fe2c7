// The engine as the live guard hosts it: started once, configured only through the
// control protocol, fed every forwarded frame, and drained after each SMB frame so that
// no event or learned grant waits behind the twenty-record rings.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "policy_file.h"
#include "port_pair.h"
#include "records.h"

class GuardEngine : public FrameInspector {
  public:
    GuardEngine();
    GuardEngine(const GuardEngine&) = delete;
    GuardEngine& operator=(const GuardEngine&) = delete;
    ~GuardEngine() override;

    bool Start(std::string* error);
    // Pushes a whole policy, or none of it: a policy past the engine's limits is refused
    // before anything is pushed, and when a request is refused part way the parts already
    // replaced are pushed again from the policy in force before. The message says which
    // request failed and, once a policy has been applied, which policy is in force now.
    bool Apply(const Policy& policy, std::string* error);
    // True once a policy has been applied.
    bool HasPolicy() const { return applied_; }
    bool Inspect(uint8_t* frame, uint32_t length, bool fromNetwork) override;

    // The event and its client's IPv6 address (16 bytes; zeros for an IPv4 client).
    std::function<void(const FileEvent&, const uint8_t*)> onEvent;
    std::function<void(const LearnedGrant&)> onLearned;

    SmbTrafficStats Stats();
    std::vector<SessionClient> Sessions();
    ControlStatusBlock Control(uint32_t code, std::vector<uint8_t>& buffer, uint32_t inputLength,
                               uint32_t outputLength);

  private:
    void Drain();
    bool started_ = false;
    bool applied_ = false;
    Policy policy_;
    std::vector<uint8_t> events_;
    std::vector<uint8_t> grants_;
};

// True for a frame that the engine may act on: TCP to or from port 445 or 139.
bool IsSmbFrame(const uint8_t* frame, uint32_t length);
