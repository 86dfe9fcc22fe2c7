#include "guard_engine.h"

#include <cstring>

#include "control_device.h"
#include "engine_state.h"
#include "frame_view.h"
#include "inspect.h"
#include "replay_engine.h"

namespace {

bool IsSmbPort(uint16_t port) {
    return port == 445 || port == 139;
}

} // namespace

bool IsSmbFrame(const uint8_t* f, uint32_t length) {
    // The engine's own classification (IPv4 or IPv6, extension headers and all); it only
    // reads the frame.
    FrameView view{};
    ParseEthernet(const_cast<uint8_t*>(f), length, &view);
    return (view.flags & FrameHasTcp) != 0 &&
           (IsSmbPort(view.sourcePort) || IsSmbPort(view.destinationPort));
}

GuardEngine::GuardEngine()
    : events_(EventClientsOutputBytes), grants_(sizeof(LearnedGrant) * LearnedGrantRingSlots) {}

GuardEngine::~GuardEngine() {
    if (started_) {
        EngineStop();
    }
}

bool GuardEngine::Start(std::string* error) {
    if (!EngineStart()) {
        *error = "the engine could not start (out of memory)";
        return false;
    }
    started_ = true;
    return true;
}

ControlStatusBlock GuardEngine::Control(uint32_t code, std::vector<uint8_t>& buffer,
                                        uint32_t inputLength, uint32_t outputLength) {
    if (buffer.size() < outputLength) {
        buffer.resize(outputLength);
    }
    ControlStatusBlock status{};
    EngineDeviceControl(buffer.data(), inputLength, outputLength, code, &status);
    return status;
}

bool GuardEngine::Apply(const Policy& policy, std::string* error) {
    ControlCall call = [this](uint32_t code, std::vector<uint8_t>& buffer, uint32_t in,
                              uint32_t out) { return Control(code, buffer, in, out); };
    int pushed = 0;
    if (ApplyPolicy(policy, call, error, &pushed)) {
        policy_ = policy;
        applied_ = true;
        return true;
    }
    if (!applied_) {
        return false;
    }
    std::string why;
    if (pushed == 0) {
        *error += "; the previous policy stays in force";
    } else if (RestorePolicyParts(policy_, pushed, call, &why)) {
        *error += "; the parts already replaced were put back, the previous policy is in force";
    } else {
        *error += "; putting the previous policy back failed too (" + why +
                  "), parts of both policies are in force";
    }
    return false;
}

bool GuardEngine::Inspect(uint8_t* frame, uint32_t length, bool fromNetwork) {
    bool rewritten =
        fromNetwork ? InspectInbound(frame, length, false) : InspectOutbound(frame, length, false);
    if (!IsSmbFrame(frame, length)) {
        return rewritten;
    }
    if (!fromNetwork && !policy_.assignments.empty()) {
        // Trees are learned from responses; assignments name the sessions of new trees.
        std::string ignored;
        ControlCall call = [this](uint32_t code, std::vector<uint8_t>& buffer, uint32_t in,
                                  uint32_t out) { return Control(code, buffer, in, out); };
        ApplyAssignments(policy_, call, &ignored);
    }
    Drain();
    return rewritten;
}

void GuardEngine::Drain() {
    ControlStatusBlock s =
        Control(IOCTL_ENGINE_READ_EVENT_CLIENTS, events_, 0, uint32_t(events_.size()));
    uintptr_t count = s.information / EventWithClientBytes;
    const uint8_t* addresses = events_.data() + count * sizeof(FileEvent);
    for (uintptr_t i = 0; i < count; ++i) {
        FileEvent e;
        std::memcpy(&e, events_.data() + i * sizeof(FileEvent), sizeof e);
        if (onEvent) {
            onEvent(e, addresses + i * ClientIpv6Bytes);
        }
    }
    s = Control(IOCTL_ENGINE_READ_LEARNED, grants_, 0, uint32_t(grants_.size()));
    for (uintptr_t at = 0; at + sizeof(LearnedGrant) <= s.information; at += sizeof(LearnedGrant)) {
        LearnedGrant g;
        std::memcpy(&g, grants_.data() + at, sizeof g);
        if (onLearned) {
            onLearned(g);
        }
    }
}

SmbTrafficStats GuardEngine::Stats() {
    return ReadTrafficStats([this](uint32_t code, std::vector<uint8_t>& buffer, uint32_t in,
                                   uint32_t out) { return Control(code, buffer, in, out); });
}

std::vector<SessionClient> GuardEngine::Sessions() {
    return ReadSessionClients([this](uint32_t code, std::vector<uint8_t>& buffer, uint32_t in,
                                     uint32_t out) { return Control(code, buffer, in, out); });
}
