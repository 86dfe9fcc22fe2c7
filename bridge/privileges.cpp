#include "privileges.h"

#include <cap-ng.h>
#include <cerrno>
#include <cstring>
#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>

bool DropPrivileges(const std::string& user, bool lockMemory, std::string* said,
                    std::string* error) {
    uid_t uid = 0;
    gid_t gid = 0;
    if (!user.empty()) {
        passwd entry{};
        passwd* found = nullptr;
        char buffer[4096];
        if (getpwnam_r(user.c_str(), &entry, buffer, sizeof buffer, &found) != 0 ||
            found == nullptr) {
            *error = "--user " + user + ": no such user";
            return false;
        }
        if (geteuid() != 0) {
            *error = "--user needs the guard to be started as root";
            return false;
        }
        uid = found->pw_uid;
        gid = found->pw_gid;
    }
    // The bounding set can only shrink with CAP_SETPCAP; without it (a service manager
    // bounded it already) the guard's own sets are what it can drop, and asking for more
    // only makes libcap-ng complain on stderr.
    capng_get_caps_process();
    bool canBound = capng_have_capability(CAPNG_EFFECTIVE, CAP_SETPCAP);
    capng_clear(CAPNG_SELECT_BOTH);
    if (capng_updatev(CAPNG_ADD,
                      capng_type_t(CAPNG_EFFECTIVE | CAPNG_PERMITTED | CAPNG_BOUNDING_SET),
                      CAP_NET_RAW, CAP_NET_ADMIN, -1) != 0 ||
        (lockMemory &&
         capng_update(CAPNG_ADD,
                      capng_type_t(CAPNG_EFFECTIVE | CAPNG_PERMITTED | CAPNG_BOUNDING_SET),
                      CAP_IPC_LOCK) != 0)) {
        *error = "cannot select the capabilities to keep";
        return false;
    }
    int result;
    if (!user.empty()) {
        // The bounding set first, while CAP_SETPCAP is still there; then the user.
        result = capng_apply(CAPNG_SELECT_BOUNDS);
        if (result == 0) {
            result = capng_change_id(int(uid), int(gid), CAPNG_DROP_SUPP_GRP);
        }
    } else {
        result = capng_apply(canBound ? CAPNG_SELECT_BOTH : CAPNG_SELECT_CAPS);
    }
    if (result != 0) {
        *error = "cannot drop privileges (libcap-ng " + std::to_string(result) + ")";
        return false;
    }
    // Nothing executed from here on gains privileges (the guard executes nothing).
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    if (capng_have_capability(CAPNG_EFFECTIVE, CAP_SYS_ADMIN) ||
        capng_have_capability(CAPNG_EFFECTIVE, CAP_DAC_OVERRIDE)) {
        *error = "capabilities were still held after dropping them";
        return false;
    }
    *said = "privileges dropped: running as uid " + std::to_string(getuid()) + " with only " +
            "cap_net_raw" +
            (lockMemory ? ", cap_net_admin and cap_ipc_lock" : " and cap_net_admin");
    return true;
}
