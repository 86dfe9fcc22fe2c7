// The hosts the replay tool can feed a capture through.
#include <cstring>

#include "replay_engine.h"
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

SmbTrafficStats ReplayHost::Stats() {
    return ReadTrafficStats([this](uint32_t code, std::vector<uint8_t>& buffer, uint32_t in,
                                   uint32_t out) { return Control(code, buffer, in, out); });
}

std::vector<SessionUser> ReplayHost::Sessions() {
    return ReadSessionUsers([this](uint32_t code, std::vector<uint8_t>& buffer, uint32_t in,
                                   uint32_t out) { return Control(code, buffer, in, out); });
}
