#include "replay_engine.h"

#include <cstring>

#include "control_device.h"
#include "engine_state.h"
#include "frame_view.h"
#include "inspect.h"

namespace {

template <typename T> std::vector<T> Records(const std::vector<uint8_t>& bytes, uintptr_t count) {
    std::vector<T> out(count / sizeof(T));
    if (!out.empty()) {
        std::memcpy(out.data(), bytes.data(), out.size() * sizeof(T));
    }
    return out;
}

bool IsSmbPort(uint16_t port) {
    return port == 445 || port == 139;
}

} // namespace

FrameDirection ClassifyDirection(std::vector<uint8_t>& frame) {
    FrameView view{};
    ParseEthernet(frame.data(), uint32_t(frame.size()), &view);
    if ((view.flags & FrameHasTcp) == 0) {
        return FrameDirection::NotSmb;
    }
    if (IsSmbPort(view.destinationPort)) {
        return FrameDirection::Inbound;
    }
    if (IsSmbPort(view.sourcePort)) {
        return FrameDirection::Outbound;
    }
    return FrameDirection::NotSmb;
}

ReplayEngine::~ReplayEngine() {
    if (started_) {
        EngineStop();
    }
}

ControlStatusBlock EngineControl(uint32_t code, std::vector<uint8_t>& buffer, uint32_t inputLength,
                                 uint32_t outputLength) {
    if (buffer.size() < outputLength) {
        buffer.resize(outputLength);
    }
    ControlStatusBlock status{};
    EngineDeviceControl(buffer.data(), inputLength, outputLength, code, &status);
    return status;
}

void CollectAfterInspection(const Policy& policy, const ControlCall& engineControl,
                            FrameDirection direction, FrameOutcome* outcome) {
    if (direction == FrameDirection::Outbound) {
        std::string ignored;
        ApplyAssignments(policy, engineControl, &ignored);
    }
    std::vector<uint8_t> ring;
    ControlStatusBlock events =
        engineControl(IOCTL_ENGINE_READ_EVENT_CLIENTS, ring, 0, EventClientsOutputBytes);
    size_t count = events.information / EventWithClientBytes;
    std::vector<FileEvent> newEvents = Records<FileEvent>(ring, count * sizeof(FileEvent));
    outcome->events.insert(outcome->events.end(), newEvents.begin(), newEvents.end());
    const uint8_t* addresses = ring.data() + count * sizeof(FileEvent);
    for (size_t i = 0; i < count; ++i) {
        std::array<uint8_t, ClientIpv6Bytes> client;
        std::memcpy(client.data(), addresses + i * ClientIpv6Bytes, ClientIpv6Bytes);
        outcome->eventClients.push_back(client);
    }
    ControlStatusBlock grants = engineControl(IOCTL_ENGINE_READ_LEARNED, ring, 0,
                                              sizeof(LearnedGrant) * LearnedGrantRingSlots);
    std::vector<LearnedGrant> newGrants = Records<LearnedGrant>(ring, grants.information);
    outcome->grants.insert(outcome->grants.end(), newGrants.begin(), newGrants.end());
}

ControlStatusBlock ReplayEngine::Control(uint32_t code, std::vector<uint8_t>& buffer,
                                         uint32_t inputLength, uint32_t outputLength) {
    return EngineControl(code, buffer, inputLength, outputLength);
}

bool ReplayEngine::Start(const Policy& policy, std::string* error) {
    if (!EngineStart()) {
        *error = "the engine could not start (out of memory)";
        return false;
    }
    started_ = true;
    policy_ = policy;
    ControlCall call = [this](uint32_t code, std::vector<uint8_t>& buffer, uint32_t in,
                              uint32_t out) { return Control(code, buffer, in, out); };
    return ApplyPolicy(policy, call, error);
}

FrameOutcome ReplayEngine::Feed(std::vector<uint8_t>& frame) {
    FrameOutcome outcome;
    outcome.direction = ClassifyDirection(frame);
    uint32_t length = uint32_t(frame.size());
    if (outcome.direction == FrameDirection::Inbound) {
        outcome.rewritten = InspectInbound(frame.data(), length, false);
    } else if (outcome.direction == FrameDirection::Outbound) {
        outcome.rewritten = InspectOutbound(frame.data(), length, false);
    }
    CollectAfterInspection(policy_, EngineControl, outcome.direction, &outcome);
    return outcome;
}

SmbTrafficStats ReadTrafficStats(const ControlCall& control) {
    std::vector<uint8_t> buffer;
    control(IOCTL_ENGINE_READ_STATS, buffer, 0, sizeof(SmbTrafficStats));
    SmbTrafficStats stats;
    std::memcpy(&stats, buffer.data(), sizeof stats);
    return stats;
}

// Up to 1024 records of a session listing code.
template <typename T> std::vector<T> ReadSessionRecords(const ControlCall& control, uint32_t code) {
    const uint32_t room = 1024;
    std::vector<uint8_t> buffer;
    ControlStatusBlock status = control(code, buffer, 0, room * sizeof(T));
    return Records<T>(buffer, status.information);
}

std::vector<SessionUser> ReadSessionUsers(const ControlCall& control) {
    return ReadSessionRecords<SessionUser>(control, IOCTL_ENGINE_READ_SESSIONS);
}

std::vector<SessionClient> ReadSessionClients(const ControlCall& control) {
    return ReadSessionRecords<SessionClient>(control, IOCTL_ENGINE_READ_SESSION_CLIENTS);
}

SmbTrafficStats ReplayEngine::Stats() {
    return ReadTrafficStats(EngineControl);
}

std::vector<SessionUser> ReplayEngine::Sessions() {
    return ReadSessionUsers(EngineControl);
}
