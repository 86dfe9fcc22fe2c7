#include "event_sink.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// How long one wait for a stream to take more bytes lasts before the stop flag is checked.
const int StreamPollMilliseconds = 100;

enum class Written { Whole, Retry, Gone, Abandoned };

const char* const SyslogPrefix = "syslog";
const char* const DefaultSyslogSocket = "/dev/log";
const char* const SyslogIdent = "merrowfaldine-guard";

} // namespace

struct EventSink::State {
    enum class Kind { File, Stream, Syslog };
    Kind kind = Kind::File;
    std::string target;
    EventSinkOptions options;
    int fd = -1;
    bool socket = false;
    bool named = false; // a file opened by its path, which Reopen opens again

    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable finishedSignal;
    std::deque<std::pair<std::string, int>> queue;
    EventSinkCounters counters;
    bool stopping = false;
    Clock::time_point deadline;
    bool reopen = false;
    bool finished = false;
    bool gone = false;      // the output closed for good
    bool fullToSay = false; // a line found the queue full; not yet said
    bool fullSaid = false;  // said once for the guard's whole life
    bool failing = false;   // the last write failed
    bool goneSaid = false;

    ~State() {
        if (fd >= 0) {
            close(fd);
        }
    }
    void Say(const std::string& message) {
        if (options.say) {
            options.say(message);
        }
    }
    // Says that the queue overflowed, once, also while a write waits for its reader.
    void SayQueueFull() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!fullToSay) {
                return;
            }
            fullToSay = false;
        }
        Say("events come faster than " + target +
            " takes them: the queue is full, lines are dropped (counted in stats)");
    }
    bool StopDue() {
        std::lock_guard<std::mutex> lock(mutex);
        return stopping && Clock::now() >= deadline;
    }
    bool OpenFile(std::string* error);
    bool ConnectSyslog(std::string* error);
    Written WriteFile(const std::string& line);
    Written WriteSyslog(const std::string& line, int priority);
    Written WriteStream(const std::string& line);
    void Run();
};

bool EventSink::State::OpenFile(std::string* error) {
    int opened = open(target.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0640);
    if (opened < 0) {
        *error = "cannot open " + target + " for events: " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (fstat(opened, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(opened);
        *error = target + " is not a regular file; events go to a file, - or syslog";
        return false;
    }
    if (fd >= 0) {
        close(fd);
    }
    fd = opened;
    return true;
}

// The system log's datagram socket; a log daemon that restarts is connected to again.
bool EventSink::State::ConnectSyslog(std::string* error) {
    sockaddr_un address{};
    if (target.size() >= sizeof address.sun_path) {
        *error = "syslog socket path too long: " + target;
        return false;
    }
    if (fd < 0) {
        fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, target.c_str(), target.size());
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        *error = "cannot reach the system log at " + target + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// One datagram per line, as the local syslog protocol has it: priority (daemon facility),
// time, the program and its pid, and the JSON line as the message.
Written EventSink::State::WriteSyslog(const std::string& line, int priority) {
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &local);
    std::string message = "<" + std::to_string(LOG_DAEMON | (priority & LOG_PRIMASK)) + ">" +
                          stamp + " " + SyslogIdent + "[" + std::to_string(getpid()) + "]: " + line;
    for (;;) {
        if (send(fd, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) {
            return Written::Whole;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN) {
            if (StopDue()) {
                return Written::Abandoned;
            }
            SayQueueFull();
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, StreamPollMilliseconds);
            continue;
        }
        int error = errno;
        std::string ignored;
        ConnectSyslog(&ignored); // the daemon restarted: its socket is a new one
        errno = error;
        return Written::Retry;
    }
}

// A line goes into the file whole or not at all: what a failed write left of it is cut off
// again, and the line is tried later, so a full disk never leaves half a line behind.
Written EventSink::State::WriteFile(const std::string& line) {
    if (fd < 0) {
        return Written::Retry;
    }
    off_t start = lseek(fd, 0, SEEK_END);
    for (size_t done = 0; done < line.size();) {
        ssize_t n = write(fd, line.data() + done, line.size() - done);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        int error = errno;
        if (done > 0 && start >= 0 && ftruncate(fd, start) != 0) {
            // Nothing more can be done for this line; the next one starts a line of its own.
            (void)write(fd, "\n", 1);
        }
        errno = n == 0 ? ENOSPC : error;
        return Written::Retry;
    }
    return Written::Whole;
}

// A pipe, socket or terminal: bytes once taken cannot be taken back, so a line that was
// begun is finished, waiting for the reader as long as the guard is not stopping.
Written EventSink::State::WriteStream(const std::string& line) {
    for (size_t done = 0; done < line.size();) {
        ssize_t n =
            socket ? send(fd, line.data() + done, line.size() - done, MSG_DONTWAIT | MSG_NOSIGNAL)
                   : write(fd, line.data() + done, line.size() - done);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            if (StopDue()) {
                return Written::Abandoned; // the reader stalls and the guard is stopping
            }
            SayQueueFull();
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, StreamPollMilliseconds);
            continue;
        }
        if (n == 0) {
            errno = EPIPE;
        }
        return Written::Gone;
    }
    return Written::Whole;
}

void EventSink::State::Run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        wake.wait(lock, [&] { return !queue.empty() || stopping || reopen || fullToSay; });
        if (fullToSay) {
            lock.unlock();
            SayQueueFull();
            lock.lock();
            continue;
        }
        if (reopen) {
            reopen = false;
            lock.unlock();
            std::string error;
            if (named) {
                // When the name cannot be opened, lines go on into the file held open.
                Say(OpenFile(&error) ? "events: " + target + " opened again" : error);
            }
            lock.lock();
            continue;
        }
        if (queue.empty() || (stopping && Clock::now() >= deadline)) {
            counters.dropped += queue.size();
            queue.clear();
            break;
        }
        std::pair<std::string, int> line = queue.front();
        lock.unlock();
        Written result;
        if (kind == Kind::Syslog) {
            result = WriteSyslog(line.first, line.second);
        } else {
            line.first += '\n';
            result = kind == Kind::File ? WriteFile(line.first) : WriteStream(line.first);
        }
        int error = errno;
        lock.lock();
        if (result == Written::Whole) {
            queue.pop_front();
            ++counters.written;
            if (failing) {
                failing = false;
                lock.unlock();
                Say("events are written to " + target + " again");
                lock.lock();
            }
            continue;
        }
        if (result == Written::Abandoned) {
            counters.dropped += queue.size();
            queue.clear();
            break;
        }
        if (result == Written::Gone) {
            gone = true;
            counters.dropped += queue.size();
            queue.clear();
            if (!goneSaid) {
                goneSaid = true;
                lock.unlock();
                Say("events output " + target + " closed (" + std::strerror(error) +
                    "); events are dropped from now on (counted in stats)");
                lock.lock();
            }
            continue;
        }
        ++counters.writeErrors;
        if (!failing) {
            failing = true;
            lock.unlock();
            Say("cannot write events to " + target + ": " + std::strerror(error) +
                "; trying again every " + std::to_string(options.retryMilliseconds) +
                " ms, events wait in the queue meanwhile");
            lock.lock();
        }
        Clock::time_point until =
            Clock::now() + std::chrono::milliseconds(options.retryMilliseconds);
        if (stopping && deadline < until) {
            until = deadline;
        }
        wake.wait_until(lock, until, [&] {
            return reopen || fullToSay || (stopping && Clock::now() >= deadline);
        });
    }
    finished = true;
    finishedSignal.notify_all();
}

EventSink::~EventSink() {
    Stop(0);
}

bool EventSink::Open(const std::string& target, const EventSinkOptions& options,
                     std::string* error) {
    auto state = std::make_shared<State>();
    state->target = target;
    state->options = options;
    if (target.rfind(SyslogPrefix, 0) == 0 && (target.size() == 6 || target[6] == ':')) {
        // "syslog", or "syslog:PATH" for a log socket elsewhere than /dev/log.
        state->kind = State::Kind::Syslog;
        state->target = target.size() == 6 ? DefaultSyslogSocket : target.substr(7);
        if (!state->ConnectSyslog(error)) {
            return false;
        }
    } else if (target == "-") {
        state->target = "standard output";
        struct stat info {};
        int out = options.streamFd;
        if (fstat(out, &info) != 0) {
            *error = std::string("standard output: ") + std::strerror(errno);
            return false;
        }
        state->kind = S_ISREG(info.st_mode) ? State::Kind::File : State::Kind::Stream;
        state->socket = S_ISSOCK(info.st_mode);
        // A pipe of our own description, so that it can be non-blocking without changing
        // the description others share; anything else is written as it is.
        std::string own = "/proc/self/fd/" + std::to_string(out);
        state->fd =
            S_ISFIFO(info.st_mode) ? open(own.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC) : -1;
        if (state->fd < 0) {
            state->fd = fcntl(out, F_DUPFD_CLOEXEC, 3);
        }
        if (state->fd < 0) {
            *error = std::string("standard output: ") + std::strerror(errno);
            return false;
        }
    } else if (!state->OpenFile(error)) {
        return false;
    } else {
        state->named = true;
    }
    state_ = state;
    writer_ = std::thread([state] { state->Run(); });
    return true;
}

void EventSink::Push(std::string line, int priority) {
    if (!state_) {
        return;
    }
    std::lock_guard<std::mutex> lock(state_->mutex);
    State& s = *state_;
    if (s.stopping || s.gone) {
        ++s.counters.dropped;
        return;
    }
    if (s.queue.size() >= s.options.queueLines) {
        ++s.counters.dropped;
        if (!s.fullSaid) {
            s.fullSaid = true;
            s.fullToSay = true;
            s.wake.notify_one();
        }
        return;
    }
    s.queue.emplace_back(std::move(line), priority);
    s.wake.notify_one();
}

void EventSink::Reopen() {
    if (!state_) {
        return;
    }
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->reopen = true;
    state_->wake.notify_one();
}

void EventSink::Stop(int milliseconds) {
    if (!state_) {
        return;
    }
    std::unique_lock<std::mutex> lock(state_->mutex);
    if (!state_->stopping) {
        state_->stopping = true;
        state_->deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    }
    state_->wake.notify_one();
    // A writer stuck in a blocking write (a terminal, the system log) is left behind; it
    // holds the state it uses, and the process ends around it.
    bool done = state_->finishedSignal.wait_until(
        lock, state_->deadline + std::chrono::milliseconds(StreamPollMilliseconds * 2),
        [&] { return state_->finished; });
    lock.unlock();
    if (writer_.joinable()) {
        if (done) {
            writer_.join();
        } else {
            writer_.detach();
        }
    }
}

EventSinkCounters EventSink::Counters() const {
    if (!state_) {
        return {};
    }
    std::lock_guard<std::mutex> lock(state_->mutex);
    EventSinkCounters counters = state_->counters;
    counters.waiting = state_->queue.size(); // a line leaves the queue once written whole
    return counters;
}
