// One guard per interface: a lock file per interface, named by the network namespace and
// the interface's name, held with flock for the guard's whole life. The kernel lets go of
// it however the guard ends (kill -9 included), so a stale file never blocks a start.
#pragma once

#include <string>
#include <vector>

const char* const DefaultLockFolder = "/run/merrowfaldine";

// Interfaces of the same name in different network namespaces are different interfaces:
// files that belong to an interface carry this in their names.
std::string NetworkNamespaceId();

class InterfaceLocks {
  public:
    InterfaceLocks() = default;
    InterfaceLocks(const InterfaceLocks&) = delete;
    InterfaceLocks& operator=(const InterfaceLocks&) = delete;
    ~InterfaceLocks();

    // Takes the lock of each interface in `folder` and writes `holder` (who holds it) into
    // it. When another guard holds one, takes none and says which guard that is.
    bool Take(const std::string& folder, const std::vector<std::string>& interfaces,
              const std::string& holder, std::string* error);
    void Release();

  private:
    std::vector<int> fds_;
};
