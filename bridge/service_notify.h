// The service manager's readiness and watchdog protocol: datagrams to $NOTIFY_SOCKET.
// Without that variable (started by hand) every call does nothing.
#pragma once

#include <cstdint>
#include <string>

class ServiceNotifier {
  public:
    ServiceNotifier();
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;
    ~ServiceNotifier();

    // READY=1 with a status line.
    void Ready(const std::string& status);
    void Stopping();
    // WATCHDOG=1, at most every half of $WATCHDOG_USEC; call it from the loop that must
    // not hang, as often as it likes. `nowMilliseconds` is a monotonic clock.
    void Alive(int64_t nowMilliseconds);

  private:
    void Send(const std::string& message);
    int fd_ = -1;
    std::string path_;
    int64_t pingMilliseconds_ = 0; // 0: no watchdog
    int64_t lastPing_ = 0;
};
