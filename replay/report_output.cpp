#include "report_output.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <iomanip>

#include "policy_file.h"

namespace {

std::string TimeOfDay(const CaptureFrame& frame) {
    std::time_t seconds = std::time_t(frame.seconds);
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%06lld", utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<long long>(frame.microseconds));
    return text;
}

std::string Name(const Utf16Unit* field) {
    return Utf16ToUtf8(field, NameUnits);
}

const uint8_t* ClientOf(const FrameOutcome& outcome, size_t event) {
    return event < outcome.eventClients.size() ? outcome.eventClients[event].data() : nullptr;
}

} // namespace

const char* EventKindName(uint8_t kind) {
    switch (kind) {
    case 1:
        return "delete";
    case 2:
        return "modify";
    case 3:
        return "rename";
    case 4:
        return "read";
    case 5:
        return "create";
    case 10:
        return "unknown client";
    case 12:
        return "deny all";
    case 20:
        return "encrypted session";
    case 21:
        return "compressed session";
    case 22:
        return "signed session";
    default:
        return "other";
    }
}

std::string EventPath(const FileEvent& event) {
    Utf16Unit units[sizeof event.Path / 2 + 1] = {};
    std::memcpy(units, event.Path, sizeof event.Path);
    return Utf16ToUtf8(units, sizeof event.Path / 2);
}

nlohmann::ordered_json EventJson(const FileEvent& e, const char* stampKey,
                                 const nlohmann::ordered_json& stamp, const uint8_t* clientIpv6) {
    nlohmann::ordered_json line;
    line["type"] = "event";
    line[stampKey] = stamp;
    line["kind"] = e.Kind;
    line["blocked"] = e.Blocked;
    line["user"] = Name(e.UserName);
    line["workstation"] = Name(e.WorkstationName);
    line["domain"] = Name(e.DomainName);
    line["client"] = FormatClient(e.ClientAddress, clientIpv6);
    line["path"] = EventPath(e);
    return line;
}

nlohmann::ordered_json LearnedJson(const LearnedGrant& g, const char* stampKey,
                                   const nlohmann::ordered_json& stamp) {
    nlohmann::ordered_json line;
    line["type"] = "learned";
    line[stampKey] = stamp;
    line["user"] = Name(g.UserName);
    line["share"] = Utf16ToUtf8(g.ShareName, SharePathUnits);
    return line;
}

nlohmann::ordered_json TrafficStatsJson(const SmbTrafficStats& s) {
    nlohmann::ordered_json j;
    j["type"] = "stats";
    j["smb_inbound_packets"] = s.InboundPackets;
    j["smb_inbound_bytes"] = s.InboundBytes;
    j["smb_outbound_packets"] = s.OutboundPackets;
    j["smb_outbound_bytes"] = s.OutboundBytes;
    return j;
}

nlohmann::ordered_json SessionJson(const SessionClient& client) {
    const SessionUser& s = client.User;
    char mac[18];
    std::snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x",
                  unsigned(s.ClientMac >> 40 & 0xFF), unsigned(s.ClientMac >> 32 & 0xFF),
                  unsigned(s.ClientMac >> 24 & 0xFF), unsigned(s.ClientMac >> 16 & 0xFF),
                  unsigned(s.ClientMac >> 8 & 0xFF), unsigned(s.ClientMac & 0xFF));
    nlohmann::ordered_json j;
    j["type"] = "session";
    j["user"] = Utf16ToUtf8(s.UserName, NameUnits);
    j["workstation"] = Utf16ToUtf8(s.WorkstationName, NameUnits);
    j["domain"] = Utf16ToUtf8(s.DomainName, NameUnits);
    j["client"] = FormatClient(s.ClientAddress, client.ClientIpv6);
    j["mac"] = mac;
    return j;
}

void ReplayPrinter::Begin(const std::string& capture) {
    if (!json_) {
        out_ << "Replaying " << capture << "\n\n";
    }
}

void ReplayPrinter::Frame(const CaptureFrame& frame, const FrameOutcome& outcome) {
    const char* direction = outcome.direction == FrameDirection::Inbound ? "inbound" : "outbound";
    if (json_) {
        for (size_t i = 0; i < outcome.events.size(); ++i) {
            out_ << EventJson(outcome.events[i], "frame", frame.number, ClientOf(outcome, i)).dump()
                 << "\n";
        }
        for (const LearnedGrant& g : outcome.grants) {
            out_ << LearnedJson(g, "frame", frame.number).dump() << "\n";
        }
        if (outcome.rewritten) {
            nlohmann::ordered_json line;
            line["type"] = "rewrite";
            line["frame"] = frame.number;
            line["direction"] = direction;
            out_ << line.dump() << "\n";
        }
        return;
    }
    if (!tableHeaderShown_ &&
        (!outcome.events.empty() || !outcome.grants.empty() || outcome.rewritten)) {
        out_ << std::left << std::setw(16) << "time" << std::setw(7) << "frame" << std::setw(16)
             << "client" << std::setw(12) << "user" << std::setw(15) << "operation" << std::setw(9)
             << "outcome"
             << "path\n";
        tableHeaderShown_ = true;
    }
    for (size_t i = 0; i < outcome.events.size(); ++i) {
        const FileEvent& e = outcome.events[i];
        out_ << std::left << std::setw(16) << TimeOfDay(frame) << std::setw(7) << frame.number
             << std::setw(16) << FormatClient(e.ClientAddress, ClientOf(outcome, i))
             << std::setw(12) << Name(e.UserName) << std::setw(15) << EventKindName(e.Kind)
             << std::setw(9) << (e.Blocked ? "DENIED" : "allowed") << EventPath(e) << "\n";
    }
    for (const LearnedGrant& g : outcome.grants) {
        out_ << std::left << std::setw(16) << TimeOfDay(frame) << std::setw(7) << frame.number
             << std::setw(16) << "" << std::setw(12) << Name(g.UserName) << std::setw(15)
             << "learned grant" << std::setw(9) << "" << Utf16ToUtf8(g.ShareName, SharePathUnits)
             << "\n";
    }
    if (outcome.rewritten) {
        out_ << std::left << std::setw(16) << TimeOfDay(frame) << std::setw(7) << frame.number
             << std::setw(16) << "" << std::setw(12) << "" << std::setw(15) << "rewrite"
             << std::setw(9) << ""
             << (outcome.direction == FrameDirection::Inbound ? "request spoiled"
                                                              : "response status set to denied")
             << "\n";
    }
}

void ReplayPrinter::End(uint64_t frames, const SmbTrafficStats& stats,
                        const std::vector<SessionUser>& sessions) {
    if (json_) {
        return;
    }
    if (!tableHeaderShown_) {
        out_ << "No file operation was reported or denied.\n";
    }
    out_ << "\nFrames read: " << frames << "\n";
    out_ << "SMB traffic:  inbound " << stats.InboundPackets << " packets, " << stats.InboundBytes
         << " bytes; outbound " << stats.OutboundPackets << " packets, " << stats.OutboundBytes
         << " bytes\n";
    out_ << "\nSessions (" << sessions.size() << "):\n";
    for (const SessionUser& s : sessions) {
        char mac[18];
        std::snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x",
                      unsigned(s.ClientMac >> 40 & 0xFF), unsigned(s.ClientMac >> 32 & 0xFF),
                      unsigned(s.ClientMac >> 24 & 0xFF), unsigned(s.ClientMac >> 16 & 0xFF),
                      unsigned(s.ClientMac >> 8 & 0xFF), unsigned(s.ClientMac & 0xFF));
        out_ << "  " << std::left << std::setw(12) << Name(s.UserName) << " workstation "
             << std::setw(10) << Name(s.WorkstationName) << " domain " << std::setw(10)
             << Name(s.DomainName) << " client " << FormatIpv4(s.ClientAddress) << " " << mac
             << "\n";
    }
}
