// The hosts the replay tool can feed a capture through.
#include <cstring>

#include "replay_host.h"

const ReplayHostEntry ReplayHosts[] = {
    {"engine", MakeEngineHost},
    {"ndis5", MakeNdis5Host},
    {"ndis6", MakeNdis6Host},
    {nullptr, nullptr},
};

std::unique_ptr<ReplayHost> MakeReplayHost(const std::string& name) {
    for (const ReplayHostEntry* entry = ReplayHosts; entry->name != nullptr; ++entry) {
        if (name == entry->name) {
            return entry->make();
        }
    }
    return nullptr;
}

std::string ReplayHostNames() {
    std::string names;
    for (const ReplayHostEntry* entry = ReplayHosts; entry->name != nullptr; ++entry) {
        names += (names.empty() ? "" : "|") + std::string(entry->name);
    }
    return names;
}

namespace {

template <typename T> std::vector<T> Records(const std::vector<uint8_t>& bytes, uintptr_t count) {
    std::vector<T> out(count / sizeof(T));
    if (!out.empty()) {
        std::memcpy(out.data(), bytes.data(), out.size() * sizeof(T));
    }
    return out;
}

} // namespace

SmbTrafficStats ReplayHost::Stats() {
    std::vector<uint8_t> buffer;
    Control(IOCTL_ENGINE_READ_STATS, buffer, 0, sizeof(SmbTrafficStats));
    SmbTrafficStats stats;
    std::memcpy(&stats, buffer.data(), sizeof stats);
    return stats;
}

std::vector<SessionUser> ReplayHost::Sessions() {
    const uint32_t room = 1024;
    std::vector<uint8_t> buffer;
    ControlStatusBlock status =
        Control(IOCTL_ENGINE_READ_SESSIONS, buffer, 0, room * sizeof(SessionUser));
    return Records<SessionUser>(buffer, status.information);
}
