// Where the guard's event lines go: a file (appended), standard output, or the system log.
// Lines wait in a bounded queue that a thread of its own writes out, so a reader that
// stalls or goes away, a full disk or a file being rotated never holds up forwarding: the
// forwarding thread only appends to the queue, and a line that finds the queue full is
// dropped and counted.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

struct EventSinkCounters {
    uint64_t written = 0;     // lines written whole
    uint64_t dropped = 0;     // lines lost: the queue was full, or the output went away
    uint64_t writeErrors = 0; // failed writes (each failed line is tried again)
    uint64_t waiting = 0;     // lines queued and not yet written whole
};

struct EventSinkOptions {
    size_t queueLines = 16384;
    int retryMilliseconds = 1000; // between tries after a write failed (a full disk)
    int streamFd = 1;             // what "-" writes to: standard output
    // Said once per kind of trouble, from the writer thread (the guard's stderr).
    std::function<void(const std::string&)> say;
};

class EventSink {
  public:
    EventSink() = default;
    EventSink(const EventSink&) = delete;
    EventSink& operator=(const EventSink&) = delete;
    ~EventSink();

    // `target`: a file path, "-" for standard output, "syslog" for the system log
    // (/dev/log), "syslog:PATH" for a log socket at PATH.
    bool Open(const std::string& target, const EventSinkOptions& options, std::string* error);
    bool IsOpen() const { return state_ != nullptr; }
    // Queues a line (without its newline); never blocks. `priority` is the syslog level.
    void Push(std::string line, int priority);
    // Opens the file again by its name (after it was renamed or deleted by rotation).
    void Reopen();
    // Writes what is queued for up to `milliseconds`, then stops; what is left is dropped.
    void Stop(int milliseconds);
    EventSinkCounters Counters() const;

    struct State;

  private:
    std::shared_ptr<State> state_;
    std::thread writer_;
};
