// The guard's Unix control socket: one JSON request line per connection, answered with
// JSON lines and a closing {"type":"end"} (or {"type":"error",...}); a follower stays
// connected and receives every new event line. Served from the guard's poll loop, never
// blocking it: output waits in a bounded buffer per client.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <poll.h>
#include <sys/types.h>

const char* const DefaultControlPath = "/run/merrowfaldine/guard.sock";

struct ControlReply {
    std::vector<std::string> lines; // JSON objects, one per line
    std::string error;              // set: the request failed
    bool follow = false;            // keep the client for new events
};

// True when a server answers at `path` (a stale socket file refuses the connection).
bool ControlSocketAnswers(const std::string& path);

using ControlHandler = std::function<ControlReply(const nlohmann::json& request)>;

class ControlServer {
  public:
    ControlServer() = default;
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;
    ~ControlServer();

    // Creates the socket (mode 0600; its folder 0700 when created here).
    bool Open(const std::string& path, ControlHandler handler, std::string* error);
    // Adds the listening socket and every client to the poll set.
    void AddPollFds(std::vector<pollfd>* fds) const;
    // Serves whatever poll reported for one descriptor of ours; false if it was not ours.
    bool Service(const pollfd& fd);
    // Sends a line to every follower.
    void Broadcast(const std::string& line);

  private:
    struct Client {
        int fd;
        std::string input;
        std::string output;
        bool follow = false;
        bool closing = false; // close once the output is sent
    };
    void Accept();
    void Read(Client& client);
    void Write(Client& client);
    void Drop(size_t index);
    int listenFd_ = -1;
    dev_t device_ = 0; // of the socket file made here
    ino_t inode_ = 0;
    std::string path_;
    ControlHandler handler_;
    std::vector<Client> clients_;
};
