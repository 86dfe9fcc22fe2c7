#include "service_notify.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

ServiceNotifier::ServiceNotifier() {
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr || path[0] == '\0' || std::strlen(path) >= sizeof(sockaddr_un::sun_path) ||
        (path[0] != '/' && path[0] != '@')) {
        return;
    }
    path_ = path;
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const char* usec = std::getenv("WATCHDOG_USEC");
    const char* pid = std::getenv("WATCHDOG_PID");
    if (usec != nullptr && (pid == nullptr || std::atol(pid) == long(getpid()))) {
        pingMilliseconds_ = std::atoll(usec) / 2000;
    }
}

ServiceNotifier::~ServiceNotifier() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

void ServiceNotifier::Send(const std::string& message) {
    if (fd_ < 0) {
        return;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path_.data(), path_.size());
    if (address.sun_path[0] == '@') {
        address.sun_path[0] = '\0'; // an abstract socket
    }
    socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + path_.size());
    sendto(fd_, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
           reinterpret_cast<sockaddr*>(&address), length);
}

void ServiceNotifier::Ready(const std::string& status) {
    Send("READY=1\nSTATUS=" + status);
}

void ServiceNotifier::Stopping() {
    Send("STOPPING=1");
}

void ServiceNotifier::Alive(int64_t now) {
    if (pingMilliseconds_ > 0 && now - lastPing_ >= pingMilliseconds_) {
        lastPing_ = now;
        Send("WATCHDOG=1");
    }
}
