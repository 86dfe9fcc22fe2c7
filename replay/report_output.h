// What the replay tool prints: one JSON object per line, or a readable table.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "capture.h"
#include "records.h"
#include "replay_engine.h"

const char* EventKindName(uint8_t kind);

class ReplayPrinter {
  public:
    ReplayPrinter(std::ostream& out, bool json) : out_(out), json_(json) {}
    void Begin(const std::string& capture);
    void Frame(const CaptureFrame& frame, const FrameOutcome& outcome);
    void End(uint64_t frames, const SmbTrafficStats& stats,
             const std::vector<SessionUser>& sessions);

  private:
    std::ostream& out_;
    bool json_;
    bool tableHeaderShown_ = false;
};

std::string EventPath(const FileEvent& event);

// The JSON lines of a file event and of a learned grant. `stampKey` and `stamp` follow
// "type": the frame number in a replay, the time of day in a live guard.
// `clientIpv6`: the event's IPv6 client address (16 bytes), or null or zeros for IPv4.
nlohmann::ordered_json EventJson(const FileEvent& event, const char* stampKey,
                                 const nlohmann::ordered_json& stamp,
                                 const uint8_t* clientIpv6 = nullptr);
nlohmann::ordered_json LearnedJson(const LearnedGrant& grant, const char* stampKey,
                                   const nlohmann::ordered_json& stamp);
// The "stats" JSON object of the SMB traffic counters, as the guard and the Windows
// control tool answer `stats`.
nlohmann::ordered_json TrafficStatsJson(const SmbTrafficStats& stats);
// The "session" JSON object of one session the engine knows, with its client's IPv6
// address when it has one, as the guard and the Windows control tool answer `sessions`.
nlohmann::ordered_json SessionJson(const SessionClient& client);
