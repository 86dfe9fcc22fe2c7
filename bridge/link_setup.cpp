#include "link_setup.h"

#include <cerrno>
#include <cstring>
#include <linux/ethtool.h>
#include <linux/netlink.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct Offload {
    const char* name;
    uint32_t get;
    uint32_t set;
    uint32_t flag; // for the ETHTOOL_GFLAGS word; 0 for a switch of its own
};

const Offload Offloads[] = {
    {"gro", ETHTOOL_GGRO, ETHTOOL_SGRO, 0},
    {"gso", ETHTOOL_GGSO, ETHTOOL_SGSO, 0},
    {"tso", ETHTOOL_GTSO, ETHTOOL_STSO, 0},
    {"lro", ETHTOOL_GFLAGS, ETHTOOL_SFLAGS, ETH_FLAG_LRO},
    // Last: only for ports that see the frame as it came off the wire (AF_XDP).
    {"rxvlan", ETHTOOL_GFLAGS, ETHTOOL_SFLAGS, ETH_FLAG_RXVLAN},
};

// Interface ioctls go through a netlink socket: any socket reaches them, and the guard
// needs no IP socket family at all (its service may forbid them).
int InterfaceSocket() {
    return socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
}

bool Ethtool(int fd, const std::string& interface, ethtool_value* value) {
    ifreq request{};
    std::strncpy(request.ifr_name, interface.c_str(), IFNAMSIZ - 1);
    request.ifr_data = reinterpret_cast<char*>(value);
    return ioctl(fd, SIOCETHTOOL, &request) == 0;
}

} // namespace

bool TurnOffOffloads(const std::string& interface, bool vlanTags,
                     std::vector<std::string>* turnedOff, std::string* error) {
    int fd = InterfaceSocket();
    if (fd < 0) {
        *error = std::string("socket for ethtool: ") + std::strerror(errno);
        return false;
    }
    bool ok = true;
    for (const Offload& o : Offloads) {
        if (o.flag == ETH_FLAG_RXVLAN && !vlanTags) {
            continue;
        }
        ethtool_value value{};
        value.cmd = o.get;
        if (!Ethtool(fd, interface, &value)) {
            continue; // the driver has no such offload
        }
        uint32_t mask = o.flag != 0 ? o.flag : 1;
        if ((value.data & mask) == 0) {
            continue;
        }
        value.cmd = o.set;
        value.data = o.flag != 0 ? value.data & ~o.flag : 0;
        if (!Ethtool(fd, interface, &value)) {
            *error = std::string("cannot turn ") + o.name + " off on " + interface + ": " +
                     std::strerror(errno);
            ok = false;
            break;
        }
        turnedOff->push_back(o.name);
    }
    close(fd);
    return ok;
}

uint32_t InterfaceMtu(const std::string& interface) {
    int fd = InterfaceSocket();
    if (fd < 0) {
        return 0;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, interface.c_str(), IFNAMSIZ - 1);
    uint32_t mtu = ioctl(fd, SIOCGIFMTU, &request) == 0 ? uint32_t(request.ifr_mtu) : 0;
    close(fd);
    return mtu;
}
