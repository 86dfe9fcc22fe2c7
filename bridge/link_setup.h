// What the guard sets on its interfaces before it forwards: no receive or segmentation
// offloads, so every frame it reads and writes is one real wire frame.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Turns GRO, GSO, TSO and LRO off, and with `vlanTags` receive VLAN offload too (so that
// a tag stays in the frame); returns the names of those that were on (and are now off).
// False with a message when one that is on cannot be turned off.
bool TurnOffOffloads(const std::string& interface, bool vlanTags,
                     std::vector<std::string>* turnedOff, std::string* error);
// The interface's MTU, 0 when it cannot be read.
uint32_t InterfaceMtu(const std::string& interface);
