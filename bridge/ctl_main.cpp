// merrowfaldine-ctl: talks to a running merrowfaldine-guard through its control socket.
#include <cerrno>
#include <cstring>
#include <functional>
#include <iomanip>
#include <iostream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "control_socket.h"
#include "metrics.h"
#include "policy_file.h"
#include "report_output.h"

namespace {

const char* const Usage =
    "usage: merrowfaldine-ctl [--control PATH] [--json] COMMAND\n"
    "\n"
    "  policy FILE        apply a JSON policy file (the old one stays if it is refused)\n"
    "  events [--follow]  the recent file events; with --follow, new ones as they come,\n"
    "                     reconnecting when the guard restarts\n"
    "  learned            the grants learned so far\n"
    "  sessions           the users the engine knows, by client\n"
    "  stats [--prometheus]  SMB traffic counters and the guard's frame counters; with\n"
    "                     --prometheus in the Prometheus text format\n"
    "\n"
    "  --control PATH     the guard's control socket (default /run/merrowfaldine/guard.sock)\n"
    "  --json             print the guard's JSON lines as they are\n";

using nlohmann::json;

int Fail(const std::string& message) {
    std::cerr << "merrowfaldine-ctl: " << message << "\n";
    return 1;
}

void PrintReadable(const json& j) {
    std::string type = j.value("type", "");
    if (type == "event") {
        uint8_t kind = j.value("kind", 0);
        std::cout << std::left << std::setw(28) << j.value("time", "") << std::setw(16)
                  << j.value("client", "") << std::setw(12) << j.value("user", "") << std::setw(15)
                  << EventKindName(kind) << std::setw(9)
                  << (j.value("blocked", 0) != 0 ? "DENIED" : "allowed") << j.value("path", "")
                  << "\n";
    } else if (type == "learned") {
        std::cout << std::left << std::setw(28) << j.value("time", "")
                  << "learned grant: " << j.value("user", "") << " on " << j.value("share", "")
                  << "\n";
    } else if (type == "session") {
        std::cout << std::left << std::setw(12) << j.value("user", "") << " workstation "
                  << std::setw(10) << j.value("workstation", "") << " domain " << std::setw(10)
                  << j.value("domain", "") << " client " << j.value("client", "") << " "
                  << j.value("mac", "") << "\n";
    } else if (type == "policy") {
        std::cout << "policy applied: " << j.value("rules", 0) << " rules, "
                  << j.value("templates", 0) << " templates, " << j.value("admission", 0)
                  << " admitted clients, inspection "
                  << (j.value("inspection", false) ? "on" : "off") << "\n";
    } else if (type == "stats") {
        std::cout << "SMB traffic: inbound " << j["smb_inbound_packets"] << " packets, "
                  << j["smb_inbound_bytes"] << " bytes; outbound " << j["smb_outbound_packets"]
                  << " packets, " << j["smb_outbound_bytes"] << " bytes\n";
        for (const char* side : {"from_network", "from_server"}) {
            const json& s = j[side];
            std::cout << (std::string(side) == "from_network" ? "network -> server: "
                                                              : "server -> network: ")
                      << s["frames"] << " frames, " << s["bytes"] << " bytes, " << s["rewritten"]
                      << " rewritten, " << s["offloaded_checksums"] << " with offloaded checksums, "
                      << s["vlan_tagged"] << " VLAN-tagged, " << s["oversize"] << " oversize, "
                      << s["lost"] << " lost (link down or full), " << s["ring_full"]
                      << " not received (receive ring full); " << s.value("passed_in_kernel", 0)
                      << " frames passed in the kernel\n";
        }
        std::cout << "policies applied: " << j["policy_loads"] << "\n";
        std::cout << "event lines: " << j.value("events_written", 0) << " written, "
                  << j.value("events_dropped", 0) << " dropped, "
                  << j.value("event_write_errors", 0) << " failed writes (tried again), "
                  << j.value("events_waiting", 0) << " waiting to be written\n";
    } else {
        std::cout << j.dump() << "\n";
    }
}

// How a conversation with the guard ended.
enum class Ended { Answered, Refused, Unreachable, Closed };

// Seconds between tries to reach a guard that a follower lost.
const unsigned ReconnectSeconds = 1;

// Sends one request and prints the answer. A follower skips lines no later than `seen`
// (the time of the last line it printed), so that what a reconnection shows again as
// history is not printed twice.
Ended Converse(const std::string& control, const json& request,
               const std::function<void(const json&)>& onLine, std::string* seen,
               std::string* why) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, control.c_str(), control.size());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        *why = "cannot reach the guard at " + control + ": " + std::strerror(errno);
        if (fd >= 0) {
            close(fd);
        }
        return Ended::Unreachable;
    }
    std::string line = request.dump() + "\n";
    for (size_t sent = 0; sent < line.size();) {
        ssize_t n = send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            // The guard may have refused the request before reading all of it; its
            // answer says why.
            *why = std::string("sending the request: ") + std::strerror(errno);
            break;
        }
        sent += size_t(n);
    }
    std::string pending;
    char buffer[65536];
    for (;;) {
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            json reply = json::parse(pending.substr(0, end), nullptr, false);
            pending.erase(0, end + 1);
            std::string type = reply.is_object() ? reply.value("type", "") : "";
            if (type == "end") {
                close(fd);
                return Ended::Answered;
            }
            if (type == "error") {
                close(fd);
                *why = reply.value("message", "the guard refused the request");
                return Ended::Refused;
            }
            std::string time = reply.is_object() ? reply.value("time", "") : "";
            if (seen != nullptr && !time.empty()) {
                if (time <= *seen) {
                    continue;
                }
                *seen = time;
            }
            onLine(reply);
        }
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            close(fd);
            if (why->empty()) {
                *why = n == 0 ? "the guard closed the connection"
                              : std::string("reading the answer: ") + std::strerror(errno);
            }
            return Ended::Closed;
        }
        pending.append(buffer, size_t(n));
    }
}

} // namespace

int main(int argc, char** argv) {
    std::string control = DefaultControlPath;
    bool jsonOutput = false;
    bool follow = false;
    bool prometheus = false;
    std::string command;
    std::string operand;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << Usage;
            return 0;
        } else if (arg == "--control" && i + 1 < argc) {
            control = argv[++i];
        } else if (arg == "--json") {
            jsonOutput = true;
        } else if (arg == "--follow") {
            follow = true;
        } else if (arg == "--prometheus") {
            prometheus = true;
        } else if (command.empty() && !arg.empty() && arg[0] != '-') {
            command = arg;
        } else if (command == "policy" && operand.empty() && !arg.empty() && arg[0] != '-') {
            operand = arg;
        } else {
            std::cerr << "merrowfaldine-ctl: unexpected argument " << arg << "\n\n" << Usage;
            return 2;
        }
    }
    bool known = command == "policy" || command == "events" || command == "learned" ||
                 command == "sessions" || command == "stats";
    if (!known || (command == "policy") != !operand.empty() || (follow && command != "events") ||
        (prometheus && command != "stats")) {
        std::cerr << Usage;
        return 2;
    }
    if (control.size() >= sizeof(sockaddr_un::sun_path)) {
        return Fail("control socket path too long");
    }
    json request;
    request["command"] = command;
    if (command == "policy") {
        // Checked here first, so that every fault is named with the file and the key.
        std::string text;
        std::string error;
        Policy policy;
        if (!ReadPolicyText(operand, &text, &error)) {
            return Fail(error);
        }
        if (!ParsePolicy(text, &policy, &error)) {
            return Fail(operand + ": " + error);
        }
        request["text"] = text;
    }
    if (follow) {
        request["follow"] = true;
    }
    std::string why;
    if (prometheus) {
        // A guard that does not answer is reported as down, and the exit status says so.
        json stats;
        Ended ended = Converse(
            control, request, [&](const json& line) { stats = line; }, nullptr, &why);
        std::cout << PrometheusText(stats, ended == Ended::Answered) << std::flush;
        return ended == Ended::Answered ? 0 : Fail(why);
    }
    auto print = [jsonOutput](const json& line) {
        if (jsonOutput) {
            std::cout << line.dump() << "\n";
        } else {
            PrintReadable(line);
        }
        std::cout.flush();
    };
    std::string seen;
    Ended ended = Converse(control, request, print, follow ? &seen : nullptr, &why);
    if (!follow) {
        if (ended == Ended::Answered) {
            return 0;
        }
        return Fail(ended == Ended::Closed ? why + " before answering" : why);
    }
    // A follower stays: when the guard goes away (a restart), it says so once and
    // reconnects as soon as the guard answers again.
    while (ended != Ended::Refused) {
        std::cerr << "merrowfaldine-ctl: " << why << "; reconnecting every " << ReconnectSeconds
                  << " s\n";
        do {
            sleep(ReconnectSeconds);
            why.clear();
            ended = Converse(control, request, print, &seen, &why);
        } while (ended == Ended::Unreachable);
        if (ended == Ended::Closed) {
            continue;
        }
    }
    return Fail(why);
}
