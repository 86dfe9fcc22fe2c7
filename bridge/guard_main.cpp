// merrowfaldine-guard: the inspection engine as a bump in the wire between two Ethernet
// interfaces, in front of a file server.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <deque>
#include <iostream>
#include <mutex>
#include <net/if.h>
#include <string>
#include <sys/signalfd.h>
#include <atomic>
#include <thread>
#include <syslog.h>
#include <unistd.h>

#include "control_codes.h"
#include "control_socket.h"
#include "event_sink.h"
#include "forwarding.h"
#include "guard_engine.h"
#include "guard_lock.h"
#include "link_setup.h"
#include "policy_file.h"
#include "port_pair.h"
#include "privileges.h"
#include "report_output.h"
#include "ring.h"
#include "kept_state_file.h"
#include "kernel_pass.h"
#include "xdp_port.h"
#include "service_notify.h"
#include "sim.h"

namespace {

const char* const Usage =
    "usage: merrowfaldine-guard --network IFACE --server IFACE [--policy FILE]\n"
    "                           [--control PATH] [--events FILE|-|syslog] [--user USER]\n"
    "                           [--state FILE|none] [--threads 1|2] [--spin USEC]\n"
    "                           [--gather USEC] [--xdp] [--all-through-guard]\n"
    "\n"
    "Forwards every frame between IFACE on the network side and IFACE on the file server's\n"
    "side, each that may carry SMB through the inspection engine, and applies the policy's\n"
    "access rules.\n"
    "\n"
    "  --network IFACE  interface toward the clients\n"
    "  --server IFACE   interface toward the file server\n"
    "  --policy FILE    JSON policy (default: inspection on, no rules); SIGHUP reloads it\n"
    "  --control PATH   control socket for merrowfaldine-ctl (default "
    "/run/merrowfaldine/guard.sock)\n"
    "  --events FILE    append events and learned grants as JSON lines (- for stdout,\n"
    "                   syslog for the system log, syslog:PATH for a log socket at PATH);\n"
    "                   SIGHUP and SIGUSR1 reopen the file (after rotation)\n"
    "\n"
    "  --user USER      run as USER once the interfaces and the control socket are open\n"
    "  --state FILE     keep the sessions, trees and open files the engine knows in FILE,\n"
    "                   and load them at start, so that a restarted guard keeps guarding\n"
    "                   the sessions begun before it (default: a file named by the\n"
    "                   interfaces in /run/merrowfaldine; none: keep nothing)\n"
    "  --threads N      1 (default): one thread forwards both directions; 2: a thread each\n"
    "  --spin USEC      keep polling the rings for USEC microseconds before sleeping\n"
    "                   (default 20)\n"
    "  --gather USEC    let a frame wait up to USEC microseconds for others to be sent with\n"
    "                   (default 0: each burst is sent at once)\n"
    "  --xdp            forward through AF_XDP sockets in copy mode (an XDP program on each\n"
    "                   interface, native mode) instead of AF_PACKET rings\n"
    "  --all-through-guard\n"
    "                   bring every frame through the guard's rings; by default TCP\n"
    "                   segments of neither port 445 nor 139 (untagged, IPv4 unfragmented\n"
    "                   or IPv6) go from one interface to the other in the kernel\n"
    "\n"
    "Once they are open the guard keeps only cap_net_raw and cap_net_admin (and with --xdp\n"
    "cap_ipc_lock, for the AF_XDP buffers of an interface that comes back).\n"
    "One guard per interface: a second one on the same interfaces refuses to start.\n";

// Event and learned-grant lines the control socket can show afterwards.
const size_t HistoryLines = 4096;
// Room for a VLAN tag beyond the MTU and the Ethernet header.
const uint32_t FrameOverhead = 14 + 4;
// How often the guard looks whether its interfaces are still the ones it opened.
const int64_t WatchMilliseconds = 1000;
// How often the guard looks whether the state it keeps changed (and writes it if so).
const uint32_t KeptStateMilliseconds = 20;
// How long the second forwarding thread sleeps at most before it looks whether to stop.
const int ThreadWaitMilliseconds = 100;
// How long the events still queued at a stop may take to be written.
const int StopWriteMilliseconds = 2000;

struct Options {
    std::string network;
    std::string server;
    std::string policy;
    std::string control = DefaultControlPath;
    std::string events;
    std::string user;
    std::string state;
    ForwardingOptions forwarding;
    bool xdp = false;
    bool allThroughGuard = false;
};

// One write per message: the events writer thread says things too.
void Say(const std::string& message) {
    std::string line = "merrowfaldine-guard: " + message + "\n";
    ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
}

int64_t MonotonicMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The event line: the kind and the outcome also as words, beside their numbers.
nlohmann::ordered_json EventLine(const FileEvent& e, const uint8_t* clientIpv6,
                                 const std::string& time) {
    nlohmann::ordered_json plain = EventJson(e, "time", time, clientIpv6);
    nlohmann::ordered_json line;
    for (auto it = plain.begin(); it != plain.end(); ++it) {
        line[it.key()] = it.value();
        if (it.key() == "kind") {
            std::string action = EventKindName(e.Kind);
            std::replace(action.begin(), action.end(), ' ', '-');
            line["action"] = action;
        } else if (it.key() == "blocked") {
            line["outcome"] = e.Blocked != 0 ? "denied" : "allowed";
        }
    }
    return line;
}

bool ParseArguments(int argc, char** argv, Options* o, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--xdp") {
            o->xdp = true;
            continue;
        }
        if (arg == "--all-through-guard") {
            o->allThroughGuard = true;
            continue;
        }
        if (arg == "--threads" || arg == "--spin" || arg == "--gather") {
            if (i + 1 >= argc) {
                *error = arg + " needs a value";
                return false;
            }
            if (!ParseForwardingOption(arg, argv[++i], &o->forwarding, error)) {
                return false;
            }
            continue;
        }
        std::string* into = arg == "--network"   ? &o->network
                            : arg == "--server"  ? &o->server
                            : arg == "--policy"  ? &o->policy
                            : arg == "--control" ? &o->control
                            : arg == "--events"  ? &o->events
                            : arg == "--user"    ? &o->user
                            : arg == "--state"   ? &o->state
                                                 : nullptr;
        if (into == nullptr) {
            *error = "unknown argument " + arg;
            return false;
        }
        if (i + 1 >= argc) {
            *error = arg + " needs a value";
            return false;
        }
        *into = argv[++i];
    }
    if (o->network.empty() || o->server.empty()) {
        *error = "--network and --server are required";
        return false;
    }
    if (o->network == o->server) {
        *error = "--network and --server must be different interfaces";
        return false;
    }
    if (o->state.empty()) {
        o->state = std::string(DefaultLockFolder) + "/netns-" + NetworkNamespaceId() + "-" +
                   o->network + "-" + o->server + ".state";
    }
    return true;
}

std::string Timestamp() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  now.tv_nsec / 1000);
    return text;
}

// The engine for a second forwarding thread: one frame at a time, its calls (and the
// events they record) serialised with the other thread's and the control requests'.
class SerialInspector : public FrameInspector {
  public:
    SerialInspector(FrameInspector* inner, std::mutex* lock) : inner_(inner), lock_(lock) {}
    bool Inspect(uint8_t* frame, uint32_t length, bool fromNetwork) override {
        std::lock_guard<std::mutex> hold(*lock_);
        return inner_->Inspect(frame, length, fromNetwork);
    }

  private:
    FrameInspector* inner_;
    std::mutex* lock_;
};

class Guard {
  public:
    explicit Guard(const Options& options) : options_(options) {}
    int Run();

  private:
    bool LoadPolicy(const std::string& path, std::string* error);
    bool OpenInterface(FramePort& port, const std::string& name, std::string* error);
    void WatchInterfaces();
    void Record(const std::string& line, int priority, std::deque<std::string>* history);
    ControlReply Handle(const nlohmann::json& request);
    nlohmann::ordered_json StatsJson();
    void CheckLink(FramePort& port, short revents);
    void ForwardFromServer();
    bool FollowKernelPass();

    Options options_;
    GuardEngine engine_;
    ControlServer control_;
    // Each interface's port: an AF_PACKET ring, or with --xdp an AF_XDP socket.
    PacketRing rings_[2];
    XdpPort xdpPorts_[2];
    FramePort* network_ = nullptr;
    FramePort* server_ = nullptr;
    // Passes the frames the guard has no use for between the rings' interfaces.
    KernelPass kernelPass_;
    PortPair inbound_{};
    PortPair outbound_{};
    InterfaceLocks locks_;
    EventSink sink_;
    KeptStateFile kept_;
    ServiceNotifier notifier_;
    uint32_t maxFrame_ = 0;
    int64_t lastWatch_ = 0;
    std::deque<std::string> events_;
    std::deque<std::string> learned_;
    uint64_t policyLoads_ = 0;
    // With a thread per direction: the engine and what its events touch (the histories,
    // the sink, the control clients) are used under engineLock_; the server-to-network
    // direction under outboundLock_, which the main thread also takes to read its counters
    // or to open an interface again. Taken in that order: outboundLock_, then engineLock_.
    std::mutex engineLock_;
    std::mutex outboundLock_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> mainWaits_{false}; // the main thread wants outboundLock_
};

bool Guard::LoadPolicy(const std::string& path, std::string* error) {
    Policy policy;
    if (!LoadPolicyFile(path, &policy, error)) {
        if (engine_.HasPolicy()) {
            *error += "; the previous policy stays in force";
        }
        return false;
    }
    if (!engine_.Apply(policy, error)) {
        return false;
    }
    ++policyLoads_;
    return true;
}

void Guard::Record(const std::string& line, int priority, std::deque<std::string>* history) {
    history->push_back(line);
    if (history->size() > HistoryLines) {
        history->pop_front();
    }
    sink_.Push(line, priority);
    control_.Broadcast(line);
}

// Offloads off, then the ring: at start, and when an interface of the name comes back.
bool Guard::OpenInterface(FramePort& port, const std::string& name, std::string* error) {
    std::vector<std::string> off;
    if (!TurnOffOffloads(name, options_.xdp, &off, error)) {
        return false;
    }
    std::string list;
    for (const std::string& o : off) {
        list += (list.empty() ? "" : ", ") + o;
    }
    Say(name + ": " +
        (off.empty() ? "no receive or segmentation offload was on" : "turned off " + list));
    if (!port.Open(name, maxFrame_, error)) {
        port.Close();
        return false;
    }
    return true;
}

// An interface that was deleted (or deleted and made again) is found by its name again.
void Guard::WatchInterfaces() {
    int64_t now = MonotonicMilliseconds();
    if (now - lastWatch_ < WatchMilliseconds) {
        return;
    }
    lastWatch_ = now;
    for (FramePort* ring : {network_, server_}) {
        unsigned index = if_nametoindex(ring->Name().c_str());
        if (ring->IsOpen() && index == ring->Index()) {
            continue;
        }
        if (ring->IsOpen()) {
            Say(ring->Name() + " is gone; it is opened again when an interface of that name " +
                "appears");
            ring->Close();
            FollowKernelPass();
        }
        std::string error;
        if (index != 0 && OpenInterface(*ring, ring->Name(), &error)) {
            Say(ring->Name() + " is back (index " + std::to_string(index) +
                "): forwarding resumes");
            FollowKernelPass();
        } else if (index != 0) {
            Say(ring->Name() + " is back but cannot be opened: " + error);
        }
    }
}

bool Guard::FollowKernelPass() {
    FramePort* ports[2] = {network_, server_};
    std::string error;
    if (!kernelPass_.Follow(ports, &error)) {
        Say("frames go through the guard: " + error);
        return false;
    }
    return true;
}

nlohmann::ordered_json Guard::StatsJson() {
    nlohmann::ordered_json j = TrafficStatsJson(engine_.Stats());
    // Messages passed unread (encrypted, compressed), refused, and sessions reported so.
    std::vector<uint8_t> buffer;
    engine_.Control(IOCTL_ENGINE_READ_UNREADABLE_STATS, buffer, 0, sizeof(UnreadableStats));
    UnreadableStats u{};
    std::memcpy(&u, buffer.data(), sizeof u);
    j["smb_messages_unread"] = u.MessagesUnread;
    j["smb_messages_refused_unread"] = u.MessagesRefused;
    j["smb_unreadable_sessions"] = u.SessionsReported;
    for (const PortPair* p : {&inbound_, &outbound_}) {
        const PortCounters& c = p->counters;
        nlohmann::ordered_json side;
        side["frames"] = c.frames;
        side["bytes"] = c.bytes;
        side["rewritten"] = c.rewritten;
        side["offloaded_checksums"] = c.offloadedChecksums;
        side["vlan_tagged"] = c.vlanTagged;
        side["oversize"] = c.oversize;
        side["lost"] = c.lost;
        side["ring_full"] = p->from->ReceiveDrops();
        side["passed_in_kernel"] = kernelPass_.Passed(p->fromNetwork ? 0 : 1);
        j[p->fromNetwork ? "from_network" : "from_server"] = side;
    }
    j["policy_loads"] = policyLoads_;
    EventSinkCounters e = sink_.Counters();
    j["events_written"] = e.written;
    j["events_dropped"] = e.dropped;
    j["event_write_errors"] = e.writeErrors;
    j["events_waiting"] = e.waiting;
    return j;
}

ControlReply Guard::Handle(const nlohmann::json& request) {
    ControlReply reply;
    std::string command = request.value("command", "");
    if (command == "policy") {
        Policy policy;
        std::string error;
        if (!request.contains("text") || !request["text"].is_string()) {
            reply.error = "policy: no policy text";
        } else if (!ParsePolicy(request["text"].get<std::string>(), &policy, &error)) {
            reply.error = "policy not applied: " + error + "; the previous policy stays in force";
        } else if (!engine_.Apply(policy, &error)) {
            reply.error = "policy not applied: " + error;
            Say(reply.error);
        } else {
            ++policyLoads_;
            nlohmann::ordered_json j;
            j["type"] = "policy";
            j["rules"] = policy.rules.size();
            j["templates"] = policy.templates.size();
            j["admission"] = policy.admission.size();
            j["inspection"] = policy.inspection;
            reply.lines.push_back(j.dump());
            Say("policy applied through the control socket");
        }
    } else if (command == "events") {
        reply.lines.assign(events_.begin(), events_.end());
        reply.follow = request.value("follow", false);
    } else if (command == "learned") {
        reply.lines.assign(learned_.begin(), learned_.end());
    } else if (command == "sessions") {
        for (const SessionClient& c : engine_.Sessions()) {
            reply.lines.push_back(SessionJson(c).dump());
        }
    } else if (command == "stats") {
        reply.lines.push_back(StatsJson().dump());
    } else {
        reply.error = "unknown command \"" + command + "\"";
    }
    return reply;
}

// The thread of the server-to-network direction, with --threads 2.
void Guard::ForwardFromServer() {
    SerialInspector inspector(&engine_, &engineLock_);
    PortPair* pair = &outbound_;
    while (!stopping_.load(std::memory_order_relaxed)) {
        // A stream of frames keeps the loop below going: it lets go when the main thread
        // asks for the lock, and waits until it has had it.
        while (mainWaits_.load(std::memory_order_relaxed) &&
               !stopping_.load(std::memory_order_relaxed)) {
            std::this_thread::yield();
        }
        int fd;
        {
            std::lock_guard<std::mutex> hold(outboundLock_);
            ForwardUntilIdle(&pair, 1, &inspector, options_.forwarding, &mainWaits_);
            fd = server_->Descriptor(); // -1 while the interface is gone: poll only waits
        }
        if (mainWaits_.load(std::memory_order_relaxed)) {
            continue;
        }
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, int(ThreadWaitMilliseconds));
    }
}

void Guard::CheckLink(FramePort& port, short revents) {
    if (revents & POLLERR) {
        int err = port.TakeError();
        if (err != 0) {
            Say(port.Name() + ": " + std::strerror(err) + "; forwarding resumes when it is back");
            lastWatch_ = 0; // look at once whether it is gone for good
        }
    }
}

int Guard::Run() {
    // Blocked before any thread starts, so that every thread inherits the mask and the
    // signals come only through the descriptor the forwarding loop reads.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::string error;
    if (!engine_.Start(&error)) {
        Say(error);
        return 1;
    }
    if (!options_.policy.empty() && !LoadPolicy(options_.policy, &error)) {
        Say("bad policy: " + error);
        return 1;
    }
    if (options_.policy.empty() && !engine_.Apply(Policy{}, &error)) {
        Say(error);
        return 1;
    }
    std::string holder = "the guard with pid " + std::to_string(getpid()) + " (control socket " +
                         options_.control + ")";
    if (!locks_.Take(DefaultLockFolder, {options_.network, options_.server}, holder, &error)) {
        Say(error);
        return 1;
    }
    // Loaded before any frame is forwarded: the first frames of a session begun before
    // this start are decided with what the previous guard knew.
    if (options_.state != "none") {
        std::string said;
        if (!kept_.Open(options_.state, &said, &error)) {
            Say(error);
            return 1;
        }
        Say(said);
    }
    for (const std::string* name : {&options_.network, &options_.server}) {
        uint32_t mtu = InterfaceMtu(*name);
        if (mtu == 0) {
            Say("cannot read the MTU of " + *name);
            return 1;
        }
        maxFrame_ = std::max(maxFrame_, mtu + FrameOverhead);
    }
    if (options_.xdp) {
        network_ = &xdpPorts_[0];
        server_ = &xdpPorts_[1];
    } else {
        network_ = &rings_[0];
        server_ = &rings_[1];
    }
    if (!OpenInterface(*network_, options_.network, &error) ||
        !OpenInterface(*server_, options_.server, &error)) {
        Say(error);
        return 1;
    }
    inbound_ = PortPair{network_, server_, true, {}};
    outbound_ = PortPair{server_, network_, false, {}};
    // Loaded while the guard may still load programs; it follows the ports from here on.
    if (!options_.xdp && !options_.allThroughGuard) {
        if (!kernelPass_.Load(&error)) {
            Say("every frame goes through the guard (" + error + ")");
        } else if (FollowKernelPass()) {
            Say("TCP segments of neither port 445 nor 139 pass between " + options_.network +
                " and " + options_.server + " in the kernel");
        }
    }

    engine_.onEvent = [this](const FileEvent& e, const uint8_t* clientIpv6) {
        Record(EventLine(e, clientIpv6, Timestamp()).dump(),
               e.Blocked != 0 ? LOG_WARNING : LOG_NOTICE, &events_);
    };
    engine_.onLearned = [this](const LearnedGrant& g) {
        Record(LearnedJson(g, "time", Timestamp()).dump(), LOG_INFO, &learned_);
    };

    int signalFd = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signalFd < 0) {
        Say(std::string("signalfd: ") + std::strerror(errno));
        return 1;
    }
    if (!control_.Open(
            options_.control, [this](const nlohmann::json& r) { return Handle(r); }, &error)) {
        Say(error);
        close(signalFd);
        return 1;
    }
    // Root is needed no more: the rings, the lock, the state file and the control socket
    // are open. The other threads (the state writer, the events writer) start after, so
    // that they too run with what is left: capabilities belong to each thread.
    // The clock's ticker thread, started by the engine as root, would keep root's
    // capabilities: it stops here and starts again at the next read of the clock.
    SimStopTicker();
    std::string said;
    if (!DropPrivileges(options_.user, options_.xdp, &said, &error)) {
        Say(error);
        close(signalFd);
        return 1;
    }
    Say(said);
    if (options_.state != "none") {
        kept_.Start(Say, KeptStateMilliseconds);
    }
    if (!options_.events.empty()) {
        EventSinkOptions sinkOptions;
        sinkOptions.say = Say;
        if (!sink_.Open(options_.events, sinkOptions, &error)) {
            Say(error);
            close(signalFd);
            return 1;
        }
    }
    Say("forwarding between " + options_.network + " (network) and " + options_.server +
        " (server); control socket " + options_.control);

    notifier_.Ready("forwarding between " + options_.network + " and " + options_.server);
    const bool threaded = options_.forwarding.threads > 1;
    std::thread outboundThread;
    if (threaded) {
        outboundThread = std::thread([this] { ForwardFromServer(); });
    }
    // The main thread forwards both directions, or only network to server.
    SerialInspector serial(&engine_, &engineLock_);
    FrameInspector* inspector = threaded ? static_cast<FrameInspector*>(&serial) : &engine_;
    PortPair* both[] = {&inbound_, &outbound_};
    const size_t mine = threaded ? 1 : 2;
    std::vector<pollfd> fds;
    int exitCode = 0;
    for (bool running = true; running;) {
        // Move frames until the receive rings stay empty, then wait.
        ForwardUntilIdle(both, mine, inspector, options_.forwarding);
        fds.clear();
        fds.push_back({network_->Descriptor(), POLLIN, 0});
        // With a thread of its own the server's frames are its business; a link error is
        // still seen (and cleared) here.
        fds.push_back({server_->Descriptor(), short(threaded ? 0 : POLLIN), 0});
        fds.push_back({signalFd, POLLIN, 0});
        control_.AddPollFds(&fds);
        if (poll(fds.data(), fds.size(), int(WatchMilliseconds)) < 0) {
            if (errno == EINTR) {
                continue;
            }
            Say(std::string("poll: ") + std::strerror(errno));
            exitCode = 1;
            break;
        }
        std::unique_lock<std::mutex> outboundHold(outboundLock_, std::defer_lock);
        std::unique_lock<std::mutex> engineHold(engineLock_, std::defer_lock);
        if (threaded) {
            // Only what needs the other thread stopped waits for it: a link error, a
            // signal, a control request, or the look at the interfaces.
            bool service = (fds[0].revents & ~POLLIN) != 0 ||
                           MonotonicMilliseconds() - lastWatch_ >= WatchMilliseconds;
            for (size_t i = 1; i < fds.size(); ++i) {
                service = service || fds[i].revents != 0;
            }
            if (!service) {
                notifier_.Alive(MonotonicMilliseconds());
                continue;
            }
            mainWaits_ = true;
            outboundHold.lock();
            mainWaits_ = false;
            engineHold.lock();
        }
        CheckLink(*network_, fds[0].revents);
        CheckLink(*server_, fds[1].revents);
        WatchInterfaces();
        // Only a loop that goes round tells the service manager it is alive.
        notifier_.Alive(MonotonicMilliseconds());
        if (fds[2].revents & POLLIN) {
            signalfd_siginfo info{};
            while (read(signalFd, &info, sizeof info) == sizeof info) {
                if (info.ssi_signo == SIGUSR1 || info.ssi_signo == SIGHUP) {
                    sink_.Reopen(); // after rotation
                }
                if (info.ssi_signo == SIGUSR1) {
                    continue;
                }
                if (info.ssi_signo != SIGHUP) {
                    Say("stopping");
                    running = false;
                } else if (options_.policy.empty()) {
                    Say("SIGHUP: no --policy file to reload");
                } else if (!LoadPolicy(options_.policy, &error)) {
                    Say("policy not reloaded: " + error);
                } else {
                    Say("policy reloaded from " + options_.policy);
                }
            }
        }
        for (size_t i = 3; i < fds.size(); ++i) {
            if (fds[i].revents != 0) {
                control_.Service(fds[i]);
            }
        }
    }
    notifier_.Stopping();
    stopping_ = true;
    mainWaits_ = true; // ends a pass that a stream of frames would keep going
    if (outboundThread.joinable()) {
        outboundThread.join();
    }
    // Whatever arrived before the stop still goes through.
    kernelPass_.Stop();
    ForwardUntilIdle(both, 2, &engine_, options_.forwarding);
    close(signalFd);
    kept_.Stop();
    sink_.Stop(StopWriteMilliseconds);
    return exitCode;
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") {
            std::cout << Usage;
            return 0;
        }
    }
    // A reader of the events that goes away must not end the guard; the write fails instead.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    Options options;
    std::string error;
    if (!ParseArguments(argc, argv, &options, &error)) {
        std::cerr << "merrowfaldine-guard: " << error << "\n\n" << Usage;
        return 2;
    }
    Guard guard(options);
    return guard.Run();
}
