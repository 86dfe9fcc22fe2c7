// merrowfaldine-ctl.exe: gives the Merrowfaldine driver on a Windows server a policy and
// reads what it reports, through its control device \\.\Merrowfaldine. The policy file
// and the event lines are those of the Linux tools (same loader, same formatting).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "control_codes.h"
#include "policy_file.h"
#include "records.h"
#include "report_output.h"

namespace {

const char* const Usage =
    "usage: merrowfaldine-ctl.exe [--json] COMMAND\n"
    "\n"
    "  policy FILE        apply a JSON policy file\n"
    "  events [--follow]  drain the driver's file events; with --follow, keep polling\n"
    "  learned            drain the grants learned so far\n"
    "  sessions           the users the driver knows, by client\n"
    "  stats              SMB traffic counters\n"
    "  version            the driver's engine version\n"
    "  inspection on|off  switch inspection\n"
    "  modules            the attached filter modules (NDIS 6 filter)\n"
    "  restart MODULE     restart one attached module by name (NDIS 6 filter)\n"
    "\n"
    "  --json             print JSON lines\n";

// The filter's own control codes (beside the engine's).
const uint32_t IoctlRestartModule = 0x00170004;
const uint32_t IoctlListModules = 0x00170008;
const DWORD FollowPollMilliseconds = 500;
// Sessions read in one request: more than a server has clients at a time.
const uint32_t SessionSlots = 1024;

HANDLE Device = INVALID_HANDLE_VALUE;

ControlStatusBlock Call(uint32_t code, std::vector<uint8_t>& buffer, uint32_t inputLength,
                        uint32_t outputLength) {
    if (buffer.size() < inputLength || buffer.size() < outputLength)
        buffer.resize(inputLength > outputLength ? inputLength : outputLength);
    DWORD returned = 0;
    BOOL ok =
        DeviceIoControl(Device, code, inputLength ? buffer.data() : nullptr, inputLength,
                        outputLength ? buffer.data() : nullptr, outputLength, &returned, nullptr);
    ControlStatusBlock status{};
    status.status = ok ? 0 : 0xC0000001u;
    status.information = ok ? returned : 0;
    return status;
}

int Fail(const std::string& message) {
    std::cerr << "merrowfaldine-ctl: " << message << "\n";
    return 1;
}

template <typename T> std::vector<T> Drain(uint32_t code, uint32_t slots) {
    std::vector<uint8_t> buffer;
    ControlStatusBlock status = Call(code, buffer, 0, uint32_t(sizeof(T) * slots));
    std::vector<T> out(status.information / sizeof(T));
    if (!out.empty())
        std::memcpy(out.data(), buffer.data(), out.size() * sizeof(T));
    return out;
}

std::string TimeNow() {
    SYSTEMTIME t;
    GetSystemTime(&t);
    char text[32];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u.%03u", t.wHour, t.wMinute, t.wSecond,
                  t.wMilliseconds);
    return text;
}

// Prints what one drain of the event ring returned; the number of events.
size_t PrintEvents(bool json) {
    // The events with their clients' addresses: an IPv6 client's follows the records.
    std::vector<uint8_t> ring;
    ControlStatusBlock status =
        Call(IOCTL_ENGINE_READ_EVENT_CLIENTS, ring, 0, EventClientsOutputBytes);
    size_t count = status.information / EventWithClientBytes;
    std::vector<FileEvent> events(count);
    if (count)
        std::memcpy(events.data(), ring.data(), count * sizeof(FileEvent));
    const uint8_t* clients = ring.data() + count * sizeof(FileEvent);
    for (size_t i = 0; i < count; ++i) {
        const FileEvent& e = events[i];
        if (json)
            std::cout << EventJson(e, "time", TimeNow(), clients + i * ClientIpv6Bytes).dump()
                      << "\n";
        else
            std::cout << EventKindName(e.Kind) << (e.Blocked ? " DENIED " : " allowed ")
                      << EventPath(e) << "\n";
    }
    std::cout.flush();
    return events.size();
}

int Sessions(bool json) {
    // The sessions with their clients' addresses: an IPv6 client's follows each record.
    for (const SessionClient& c :
         Drain<SessionClient>(IOCTL_ENGINE_READ_SESSION_CLIENTS, SessionSlots)) {
        nlohmann::ordered_json j = SessionJson(c);
        if (json)
            std::cout << j.dump() << "\n";
        else
            std::cout << j["user"].get<std::string>() << " workstation "
                      << j["workstation"].get<std::string>() << " domain "
                      << j["domain"].get<std::string>() << " client "
                      << j["client"].get<std::string>() << " " << j["mac"].get<std::string>()
                      << "\n";
    }
    return 0;
}

int Stats(bool json) {
    std::vector<uint8_t> buffer;
    ControlStatusBlock status = Call(IOCTL_ENGINE_READ_STATS, buffer, 0, sizeof(SmbTrafficStats));
    if (status.information != sizeof(SmbTrafficStats))
        return Fail("the driver did not answer the statistics request");
    SmbTrafficStats s;
    std::memcpy(&s, buffer.data(), sizeof s);
    nlohmann::ordered_json j = TrafficStatsJson(s);
    if (json)
        std::cout << j.dump() << "\n";
    else
        std::cout << "SMB traffic: inbound " << s.InboundPackets << " packets, " << s.InboundBytes
                  << " bytes; outbound " << s.OutboundPackets << " packets, " << s.OutboundBytes
                  << " bytes\n";
    return 0;
}

int Modules() {
    std::vector<uint8_t> buffer;
    ControlStatusBlock status = Call(IoctlListModules, buffer, 0, 65536);
    if (status.status != 0)
        return Fail("the driver did not answer the module list request");
    // Each entry: a 16-bit byte length, then that many bytes of UTF-16 name.
    for (size_t at = 0; at + 2 <= status.information;) {
        size_t length = size_t(buffer[at]) | size_t(buffer[at + 1]) << 8;
        if (at + 2 + length > status.information)
            break;
        std::cout << Utf16ToUtf8(reinterpret_cast<const Utf16Unit*>(&buffer[at + 2]), length / 2)
                  << "\n";
        at += 2 + length;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    bool json = false;
    bool follow = false;
    std::vector<std::string> words;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--json")
            json = true;
        else if (arg == "--follow")
            follow = true;
        else
            words.push_back(arg);
    }
    if (words.empty() || (follow && words[0] != "events"))
        return std::cerr << Usage, 2;
    const std::string& command = words[0];
    bool withOperand = command == "policy" || command == "inspection" || command == "restart";
    if (words.size() != (withOperand ? 2u : 1u))
        return std::cerr << Usage, 2;

    Device = CreateFileW(L"\\\\.\\Merrowfaldine", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (Device == INVALID_HANDLE_VALUE)
        return Fail("cannot open \\\\.\\Merrowfaldine (is the driver running?), error " +
                    std::to_string(GetLastError()));

    if (command == "policy") {
        Policy policy;
        std::string error;
        if (!LoadPolicyFile(words[1], &policy, &error) || !ApplyPolicy(policy, Call, &error) ||
            !ApplyAssignments(policy, Call, &error))
            return Fail(error);
        std::cout << "policy applied: " << policy.rules.size() << " rules\n";
        return 0;
    }
    if (command == "events") {
        PrintEvents(json);
        while (follow) {
            Sleep(FollowPollMilliseconds);
            PrintEvents(json);
        }
        return 0;
    }
    if (command == "learned") {
        for (const LearnedGrant& g :
             Drain<LearnedGrant>(IOCTL_ENGINE_READ_LEARNED, LearnedGrantRingSlots)) {
            nlohmann::ordered_json j = LearnedJson(g, "time", TimeNow());
            std::cout << (json ? j.dump() : j.value("user", "") + " on " + j.value("share", ""))
                      << "\n";
        }
        return 0;
    }
    if (command == "sessions")
        return Sessions(json);
    if (command == "stats")
        return Stats(json);
    if (command == "version") {
        std::vector<uint8_t> buffer;
        ControlStatusBlock status = Call(IOCTL_ENGINE_GET_VERSION, buffer, 0, 4);
        if (status.information < 4)
            return Fail("the driver did not answer the version request");
        uint32_t version;
        std::memcpy(&version, buffer.data(), 4);
        std::cout << version << "\n";
        return 0;
    }
    if (command == "inspection") {
        if (words[1] != "on" && words[1] != "off")
            return std::cerr << Usage, 2;
        // The engine answers a set code with a result word; only a written zero is a yes.
        std::vector<uint8_t> buffer{uint8_t(words[1] == "on" ? 1 : 0)};
        ControlStatusBlock status = Call(IOCTL_ENGINE_SET_INSPECTION, buffer, 1, 4);
        bool accepted = status.status == 0 && status.information >= 4 && buffer[0] == 0 &&
                        buffer[1] == 0 && buffer[2] == 0 && buffer[3] == 0;
        return accepted ? 0 : Fail("the driver refused the inspection switch");
    }
    if (command == "modules")
        return Modules();
    if (command == "restart") {
        std::vector<uint8_t> buffer;
        for (char c : words[1]) {
            buffer.push_back(uint8_t(c));
            buffer.push_back(0);
        }
        return Call(IoctlRestartModule, buffer, uint32_t(buffer.size()), 0).status == 0
                   ? 0
                   : Fail("the driver refused the restart");
    }
    return std::cerr << Usage, 2;
}
