// What the guard keeps of root once its rings, lock and control socket are open: the two
// capabilities an interface that comes back needs (a packet socket, its offloads and
// promiscuous mode), and nothing else, so that a fault in the SMB and NTLM parsing cannot
// act as root on the appliance.
#pragma once

#include <string>

// Keeps CAP_NET_RAW and CAP_NET_ADMIN (effective and permitted) and drops every other
// capability, from the bounding set too where the guard may; with `user` (started as
// root), also switches to that user and its group, without supplementary groups. Call it
// before any other thread starts: capabilities belong to each thread. On success `said`
// tells what the guard now runs with. With `lockMemory` it keeps CAP_IPC_LOCK too: the
// AF_XDP buffers of an interface that comes back are locked in memory.
bool DropPrivileges(const std::string& user, bool lockMemory, std::string* said,
                    std::string* error);
