#include "control_socket.h"

#include "policy_file.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// A request carries at most one policy file, escaped as a JSON string (six bytes for
// a control character at worst).
const size_t MaxRequest = 6 * MaxPolicyBytes + 4096;
const size_t MaxPending = 4 << 20; // a follower that falls this far behind is dropped
const size_t MaxClients = 64;

std::string Errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

} // namespace

ControlServer::~ControlServer() {
    for (Client& c : clients_) {
        close(c.fd);
    }
    if (listenFd_ >= 0) {
        close(listenFd_);
        // Only the socket this guard made: another may have taken the path since.
        struct stat info {};
        if (stat(path_.c_str(), &info) == 0 && info.st_dev == device_ && info.st_ino == inode_) {
            unlink(path_.c_str());
        }
    }
}

bool ControlSocketAnswers(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    bool answers = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return answers;
}

bool ControlServer::Open(const std::string& path, ControlHandler handler, std::string* error) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        *error = "control socket path too long: " + path;
        return false;
    }
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        std::string folder = path.substr(0, slash);
        if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = Errno("control folder " + folder);
            return false;
        }
    }
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        *error = Errno("control socket");
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    if (ControlSocketAnswers(path)) {
        *error = "control socket " + path + " is in use by another guard; give this one " +
                 "another --control";
        close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    unlink(path.c_str()); // left behind by a guard that did not stop cleanly
    // Created with no access for others from the first moment, then 0600.
    mode_t old = umask(0177);
    int bound = bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    umask(old);
    if (bound != 0 || chmod(path.c_str(), 0600) != 0 || listen(listenFd_, 16) != 0) {
        *error = Errno("control socket " + path);
        close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    struct stat info {};
    if (stat(path.c_str(), &info) == 0) {
        device_ = info.st_dev;
        inode_ = info.st_ino;
    }
    path_ = path;
    handler_ = std::move(handler);
    return true;
}

void ControlServer::AddPollFds(std::vector<pollfd>* fds) const {
    if (listenFd_ >= 0) {
        fds->push_back({listenFd_, POLLIN, 0});
    }
    for (const Client& c : clients_) {
        short events = POLLIN;
        if (!c.output.empty()) {
            events |= POLLOUT;
        }
        fds->push_back({c.fd, events, 0});
    }
}

bool ControlServer::Service(const pollfd& p) {
    if (p.fd == listenFd_) {
        if (p.revents & POLLIN) {
            Accept();
        }
        return true;
    }
    for (size_t i = 0; i < clients_.size(); ++i) {
        Client& c = clients_[i];
        if (c.fd != p.fd) {
            continue;
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            Read(c);
        }
        if (c.fd >= 0 && (p.revents & POLLOUT)) {
            Write(c);
        }
        if (c.fd < 0 || (c.closing && c.output.empty())) {
            Drop(i);
        }
        return true;
    }
    return false;
}

void ControlServer::Accept() {
    for (;;) {
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        if (clients_.size() >= MaxClients) {
            close(fd);
            continue;
        }
        clients_.push_back(Client{fd, {}, {}, false, false});
    }
}

void ControlServer::Read(Client& c) {
    char buffer[65536];
    for (;;) {
        ssize_t n = read(c.fd, buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            close(c.fd); // the client went away
            c.fd = -1;
            return;
        }
        if (n < 0) {
            break;
        }
        if (c.follow || c.closing) {
            continue; // one request per connection
        }
        c.input.append(buffer, size_t(n));
        if (c.input.size() > MaxRequest) {
            c.output = "{\"type\":\"error\",\"message\":\"request too long\"}\n";
            c.closing = true;
            break;
        }
        size_t end = c.input.find('\n');
        if (end == std::string::npos) {
            continue;
        }
        ControlReply reply;
        nlohmann::json request = nlohmann::json::parse(c.input.substr(0, end), nullptr, false);
        if (request.is_discarded() || !request.is_object()) {
            reply.error = "the request is not a JSON object";
        } else {
            reply = handler_(request);
        }
        for (const std::string& line : reply.lines) {
            c.output += line + "\n";
        }
        if (!reply.error.empty()) {
            nlohmann::ordered_json e;
            e["type"] = "error";
            e["message"] = reply.error;
            c.output += e.dump() + "\n";
            c.closing = true;
        } else if (reply.follow) {
            c.follow = true;
        } else {
            c.output += "{\"type\":\"end\"}\n";
            c.closing = true;
        }
        break;
    }
    Write(c);
}

void ControlServer::Write(Client& c) {
    while (c.fd >= 0 && !c.output.empty()) {
        ssize_t n = send(c.fd, c.output.data(), c.output.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR) {
                close(c.fd);
                c.fd = -1;
            }
            return;
        }
        c.output.erase(0, size_t(n));
    }
}

void ControlServer::Drop(size_t index) {
    if (clients_[index].fd >= 0) {
        close(clients_[index].fd);
    }
    clients_.erase(clients_.begin() + long(index));
}

void ControlServer::Broadcast(const std::string& line) {
    for (size_t i = 0; i < clients_.size();) {
        Client& c = clients_[i];
        if (c.follow) {
            if (c.output.size() + line.size() > MaxPending) {
                Drop(i);
                continue;
            }
            c.output += line + "\n";
            Write(c);
            if (c.fd < 0) {
                Drop(i);
                continue;
            }
        }
        ++i;
    }
}
