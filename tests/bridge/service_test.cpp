// What an operator meets around the guard's forwarding: the events output that must never
// hold it up, the lock of one guard per interface, the control socket's ownership, the
// policy files it refuses, and the counters as Prometheus text.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "control_socket.h"
#include "event_sink.h"
#include "guard_lock.h"
#include "metrics.h"
#include "policy_file.h"

namespace {

class TempFolder {
  public:
    TempFolder() {
        char folder[] = "/tmp/mf-service.XXXXXX";
        path = mkdtemp(folder) != nullptr ? folder : "";
    }
    ~TempFolder() {
        std::string command = "rm -rf '" + path + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }
    std::string path;
};

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Waits (bounded) until the condition holds; the checks after it decide.
template <typename Condition> void WaitFor(Condition condition) {
    for (int i = 0; i < 1000 && !condition(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

struct Said {
    std::mutex mutex;
    std::vector<std::string> lines;
    std::function<void(const std::string&)> Collector() {
        return [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex);
            lines.push_back(line);
        };
    }
    size_t Count(const std::string& fragment) {
        std::lock_guard<std::mutex> lock(mutex);
        return size_t(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.find(fragment) != std::string::npos;
        }));
    }
};

std::string Line(int i) {
    return "{\"n\":" + std::to_string(i) + ",\"pad\":\"" + std::string(40, 'x') + "\"}";
}

// A file that cannot grow (a full disk, here the file size limit) keeps only whole lines;
// the lines wait and are written in order once there is room; a renamed file is followed
// by a new one after Reopen, and neither loses or cuts a line.
TEST(EventSink, AFullFileKeepsWholeLinesAndCatchesUpAndARotatedFileIsReopened) {
    TempFolder folder;
    std::string path = folder.path + "/events.jsonl";
    signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    Said said;
    EventSinkOptions options;
    options.retryMilliseconds = 5;
    options.say = said.Collector();
    EventSink sink;
    std::string error;
    ASSERT_TRUE(sink.Open(path, options, &error)) << error;

    const size_t lineBytes = Line(0).size() + 1;
    rlimit small = saved;
    small.rlim_cur = lineBytes * 2 + lineBytes / 2; // room for two lines and a half
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    for (int i = 0; i < 5; ++i) {
        sink.Push(Line(i), 0);
    }
    WaitFor([&] { return sink.Counters().writeErrors >= 3; });
    std::string stuck = ReadAll(path);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    EXPECT_EQ(stuck, Line(0) + "\n" + Line(1) + "\n"); // no half of the third line
    EXPECT_GE(sink.Counters().writeErrors, 3u);
    EXPECT_EQ(sink.Counters().waiting, 3u);           // the line being tried stays counted
    EXPECT_EQ(said.Count("cannot write events"), 1u); // said once, not on every try

    WaitFor([&] { return sink.Counters().written == 5; });
    EXPECT_EQ(sink.Counters().waiting, 0u);
    std::string all;
    for (int i = 0; i < 5; ++i) {
        all += Line(i) + "\n";
    }
    EXPECT_EQ(ReadAll(path), all);
    EXPECT_EQ(said.Count("written to " + path + " again"), 1u);

    ASSERT_EQ(rename(path.c_str(), (path + ".1").c_str()), 0);
    sink.Reopen();
    WaitFor([&] { return said.Count("opened again") == 1; });
    sink.Push(Line(5), 0);
    sink.Stop(1000);
    EXPECT_EQ(ReadAll(path + ".1"), all);
    EXPECT_EQ(ReadAll(path), Line(5) + "\n");
    EventSinkCounters c = sink.Counters();
    EXPECT_EQ(c.written, 6u);
    EXPECT_EQ(c.dropped, 0u);
}

// A reader that stalls or goes away costs lines (counted, said once), never the pusher's
// progress, and never the process (SIGPIPE); a stop gives up on a stalled reader.
TEST(EventSink, AStalledOrClosedReaderCostsCountedLinesOnly) {
    signal(SIGPIPE, SIG_IGN);
    struct Case {
        const char* what;
        bool closeReader;
        const char* message;
    };
    const Case cases[] = {{"stalled reader", false, "queue is full"},
                          {"closed reader", true, "closed"}};
    const int Lines = 2000;
    for (const Case& c : cases) {
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        if (c.closeReader) {
            close(pipeFds[0]);
        }
        Said said;
        EventSinkOptions options;
        options.queueLines = 16;
        options.streamFd = pipeFds[1];
        options.say = said.Collector();
        EventSink sink;
        std::string error;
        ASSERT_TRUE(sink.Open("-", options, &error)) << error;
        close(pipeFds[1]); // the sink writes through a descriptor of its own
        for (int i = 0; i < Lines; ++i) {
            sink.Push(std::string(1000, 'e'), 0); // 2 MB: far more than a pipe holds
        }
        WaitFor([&] { return said.Count(c.message) == 1; });
        sink.Stop(50);
        EventSinkCounters counters = sink.Counters();
        EXPECT_EQ(counters.written + counters.dropped, uint64_t(Lines)) << c.what;
        EXPECT_GT(counters.dropped, 0u) << c.what;
        EXPECT_EQ(said.Count(c.message), 1u) << c.what;
        if (c.closeReader) {
            EXPECT_EQ(counters.written, 0u);
        } else {
            // What the pipe took are whole lines.
            std::string got;
            char buffer[65536];
            ssize_t n;
            fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
            while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) {
                got.append(buffer, size_t(n));
            }
            close(pipeFds[0]);
            EXPECT_EQ(got.size(), counters.written * 1001);
        }
    }
}

// The system log gets one datagram per line with the daemon facility and the line's level,
// and the guard's name and pid; a log daemon that restarts is found again.
TEST(EventSink, SyslogGetsOneDatagramPerLineWithItsLevel) {
    TempFolder folder;
    std::string path = folder.path + "/log";
    auto listen = [&] {
        int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        unlink(path.c_str());
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        timeval wait{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        return fd;
    };
    auto receive = [](int fd) {
        char buffer[4096];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        return std::string(buffer, n > 0 ? size_t(n) : 0);
    };
    int daemon = listen();
    EventSinkOptions options;
    options.retryMilliseconds = 5;
    EventSink sink;
    std::string error;
    ASSERT_TRUE(sink.Open("syslog:" + path, options, &error)) << error;
    std::string tail = " merrowfaldine-guard[" + std::to_string(getpid()) + "]: ";
    struct Case {
        int priority;
        const char* prefix;
        bool restart; // the daemon restarts before this line
    };
    const Case cases[] = {
        {LOG_WARNING, "<28>", false}, {LOG_INFO, "<30>", false}, {LOG_NOTICE, "<29>", true}};
    for (const Case& c : cases) {
        if (c.restart) {
            close(daemon);
            daemon = listen();
        }
        sink.Push(Line(c.priority), c.priority);
        std::string got = receive(daemon);
        EXPECT_EQ(got.rfind(c.prefix, 0), 0u) << got;
        EXPECT_NE(got.find(tail + Line(c.priority)), std::string::npos) << got;
        EXPECT_EQ(got.size() - got.find(tail), tail.size() + Line(c.priority).size()) << got;
    }
    sink.Stop(100);
    close(daemon);
    EXPECT_EQ(sink.Counters().written, 3u);
}

// One guard per interface: a second one that wants any of the same interfaces is refused
// and told who holds it; the lock goes with its holder.
TEST(InterfaceLocks, ASecondGuardOnAnInterfaceIsRefusedAndToldWhoHoldsIt) {
    TempFolder folder;
    std::string error;
    InterfaceLocks first;
    ASSERT_TRUE(first.Take(folder.path, {"net0", "srv0"}, "guard pid 11", &error)) << error;
    struct Case {
        std::vector<std::string> interfaces;
        bool taken;
        const char* named;
    };
    const Case cases[] = {{{"net0", "srv1"}, false, "net0 is already guarded by guard pid 11"},
                          {{"net1", "srv0"}, false, "srv0 is already guarded by guard pid 11"},
                          {{"net1", "srv1"}, true, ""}};
    for (const Case& c : cases) {
        InterfaceLocks second;
        error.clear();
        EXPECT_EQ(second.Take(folder.path, c.interfaces, "guard pid 22", &error), c.taken)
            << c.interfaces[0];
        EXPECT_NE(error.find(c.named), std::string::npos) << error;
    }
    // Refused ones took nothing: net1 was free again for the third case.
    first.Release();
    InterfaceLocks third;
    EXPECT_TRUE(third.Take(folder.path, {"net0", "srv0"}, "guard pid 33", &error)) << error;
}

// A control socket in use is never taken over; a stale one is replaced; a guard removes
// only the socket it made itself.
TEST(ControlSocketOwnership, ASocketInUseIsRefusedAndOnlyItsOwnIsRemoved) {
    TempFolder folder;
    std::string path = folder.path + "/guard.sock";
    auto handler = [](const nlohmann::json&) { return ControlReply{}; };
    std::string error;
    auto first = std::make_unique<ControlServer>();
    ASSERT_TRUE(first->Open(path, handler, &error)) << error;
    EXPECT_TRUE(ControlSocketAnswers(path));
    ControlServer second;
    EXPECT_FALSE(second.Open(path, handler, &error));
    EXPECT_NE(error.find("in use by another guard"), std::string::npos) << error;
    EXPECT_TRUE(ControlSocketAnswers(path)); // the refused one did not touch it

    // The path is taken from the first (as an operator might remove it by hand); the
    // first, stopping later, leaves the newer socket alone.
    ASSERT_EQ(unlink(path.c_str()), 0);
    ControlServer third;
    ASSERT_TRUE(third.Open(path, handler, &error)) << error;
    first.reset();
    EXPECT_TRUE(ControlSocketAnswers(path));
}

// Anything but a regular policy file of bounded size, valid UTF-8 without NUL characters
// in names, is refused with a message naming the file and the fault, without waiting.
TEST(PolicyFiles, OnlyBoundedRegularFilesWithCleanNamesAreRead) {
    TempFolder folder;
    std::string fifo = folder.path + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto write = [&](const std::string& name, const std::string& text) {
        std::ofstream(folder.path + "/" + name, std::ios::binary) << text;
        return folder.path + "/" + name;
    };
    std::string rules = "{\"rules\":[{\"path\":\"docs\",\"user\":\"";
    struct Case {
        std::string path;
        const char* fault; // nullptr: accepted
    };
    const Case cases[] = {
        {folder.path, "is a directory"},
        {fifo, "is not a regular file"},
        {"/dev/zero", "is not a regular file"},
        {folder.path + "/missing", "cannot be read"},
        {write("big", "{\"rules\":[]}" + std::string(MaxPolicyBytes, ' ')), "larger than 1 MiB"},
        {write("edge", "{\"rules\":[]}" + std::string(MaxPolicyBytes - 12, ' ')), nullptr},
        {write("utf8", rules + "al\xff"
                               "ce\"}]}"),
         "UTF-8"},
        {write("nul", rules + "al\\u0000ce\"}]}"), "rules[0].user: holds a NUL"},
        {write("good", rules + "alice\",\"flags\":[\"deny-delete\"]}]}"), nullptr},
    };
    for (const Case& c : cases) {
        Policy policy;
        std::string error;
        bool loaded = LoadPolicyFile(c.path, &policy, &error);
        EXPECT_EQ(loaded, c.fault == nullptr) << c.path << ": " << error;
        if (c.fault != nullptr) {
            EXPECT_EQ(error.rfind(c.path + ": ", 0), 0u) << error;
            EXPECT_NE(error.find(c.fault), std::string::npos) << error;
        }
    }
}

// Every counter of the stats line appears once as a sample of a metric with HELP and TYPE
// lines before it, with the same value.
TEST(Prometheus, EveryStatsCounterIsASampleOfADeclaredMetric) {
    nlohmann::json stats = {{"type", "stats"},          {"policy_loads", 3},
                            {"events_written", 11},     {"events_dropped", 12},
                            {"event_write_errors", 13}, {"events_waiting", 14}};
    uint64_t value = 100;
    std::map<uint64_t, int> expected = {{3, 1}, {11, 1}, {12, 1}, {13, 1}, {14, 1}};
    for (const char* key : {"smb_inbound_packets", "smb_inbound_bytes", "smb_outbound_packets",
                            "smb_outbound_bytes"}) {
        expected[value] = 1;
        stats[key] = value++;
    }
    for (const char* side : {"from_network", "from_server"}) {
        for (const char* key :
             {"frames", "bytes", "rewritten", "offloaded_checksums", "vlan_tagged", "oversize",
              "lost", "ring_full", "passed_in_kernel"}) {
            expected[value] = 1;
            stats[side][key] = value++;
        }
    }
    std::istringstream text(PrometheusText(stats, true));
    std::map<std::string, std::string> declared; // name -> type
    std::map<uint64_t, int> seen;
    std::string line;
    bool up = false;
    while (std::getline(text, line)) {
        std::istringstream words(line);
        std::string first, second, third;
        words >> first >> second >> third;
        if (first == "#") {
            ASSERT_TRUE(second == "HELP" || second == "TYPE") << line;
            if (second == "TYPE") {
                declared[third] = line.substr(line.rfind(' ') + 1);
            }
            continue;
        }
        std::string name = first.substr(0, first.find('{'));
        ASSERT_TRUE(declared.count(name)) << "no TYPE before " << line;
        EXPECT_EQ(declared[name] == "counter",
                  name.size() > 6 && name.compare(name.size() - 6, 6, "_total") == 0)
            << line;
        if (name == "merrowfaldine_up") {
            up = second == "1";
            continue;
        }
        ++seen[std::stoull(second)];
    }
    EXPECT_TRUE(up);
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(PrometheusText(stats, false).find("merrowfaldine_up 0\n") != std::string::npos, true);
    EXPECT_EQ(PrometheusText(stats, false).find("_total"), std::string::npos);
}

} // namespace
