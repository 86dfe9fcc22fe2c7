#include "guard_lock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What a holder wrote into its lock file, for the message of the guard it refuses.
const size_t MaxHolderText = 512;

std::string HolderOf(int fd) {
    char text[MaxHolderText] = {};
    ssize_t n = pread(fd, text, sizeof text - 1, 0);
    std::string holder(text, n > 0 ? size_t(n) : 0);
    while (!holder.empty() && (holder.back() == '\n' || holder.back() == '\0')) {
        holder.pop_back();
    }
    return holder.empty() ? "another guard" : holder;
}

} // namespace

std::string NetworkNamespaceId() {
    struct stat info {};
    return stat("/proc/self/ns/net", &info) == 0 ? std::to_string(info.st_ino) : "0";
}

InterfaceLocks::~InterfaceLocks() {
    Release();
}

void InterfaceLocks::Release() {
    for (int fd : fds_) {
        close(fd); // closing the last descriptor lets go of the lock
    }
    fds_.clear();
}

bool InterfaceLocks::Take(const std::string& folder, const std::vector<std::string>& interfaces,
                          const std::string& holder, std::string* error) {
    Release();
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        *error = "lock folder " + folder + ": " + std::strerror(errno);
        return false;
    }
    std::string ns = NetworkNamespaceId();
    for (const std::string& name : interfaces) {
        std::string path = folder + "/netns-" + ns + "-" + name + ".lock";
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0) {
            *error = "lock file " + path + ": " + std::strerror(errno);
            Release();
            return false;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            *error = errno == EWOULDBLOCK ? name + " is already guarded by " + HolderOf(fd) +
                                                " (lock " + path + "); stop that guard first"
                                          : "lock file " + path + ": " + std::strerror(errno);
            close(fd);
            Release();
            return false;
        }
        fds_.push_back(fd);
        std::string text = holder + "\n";
        if (ftruncate(fd, 0) != 0 || pwrite(fd, text.data(), text.size(), 0) < 0) {
            // The lock holds all the same; only the message to a second guard is poorer.
        }
    }
    return true;
}
