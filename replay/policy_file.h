// The JSON policy file of the Linux hosts, and its application to the engine through the
// control protocol, exactly as the service would push it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "control_codes.h"
#include "records.h"

struct Policy {
    bool inspection = true;
    std::vector<AccessRule> rules;
    std::vector<ShareTemplate> templates;
    EngineSettings settings{};
    bool refuseUnreadable = false; // settings.refuse_unreadable
    KnownClientLists knownClients{};
    std::vector<AdmissionEntry> admission;
    std::vector<UserAssignment> assignments;
};

// Parses a policy; on failure returns false with a message naming the key and the fault.
// Every key is optional: the empty object is inspection on with nothing configured.
bool ParsePolicy(const std::string& text, Policy* policy, std::string* error);
// The largest policy file read: a policy fills a few kilobytes.
const size_t MaxPolicyBytes = size_t(1) << 20;
// Reads a policy file: a regular file of at most MaxPolicyBytes (a directory, a FIFO or a
// device is refused at once, never waited for or read without end).
bool ReadPolicyText(const std::string& path, std::string* text, std::string* error);
// Reads and parses a file; messages start with the file's name.
bool LoadPolicyFile(const std::string& path, Policy* policy, std::string* error);

// One control request: code, input bytes, output room.
using ControlCall = std::function<ControlStatusBlock(uint32_t code, std::vector<uint8_t>& buffer,
                                                     uint32_t inputLength, uint32_t outputLength)>;

// Every list against the engine's limits (engine_limits.h and the fixed 64-entry lists):
// false with a message naming the list and the limit when the engine could not take it
// whole. ParsePolicy checks this too, before it builds a list past its limit.
bool CheckPolicyLimits(const Policy& policy, std::string* error);

// The requests that push a policy, in this order: settings, the switch that refuses
// unreadable traffic, known clients, admission list, templates, rules, inspection switch.
const int PolicyParts = 7;
// Pushes the whole policy after CheckPolicyLimits (a policy past a limit pushes nothing).
// False with a message when a request fails; `*pushed` then counts the requests that took
// effect before it, the parts of this policy now in force.
bool ApplyPolicy(const Policy& policy, const ControlCall& call, std::string* error,
                 int* pushed = nullptr);
// Pushes the first `parts` requests of `previous` again: puts back what a push that
// failed after `parts` requests replaced.
bool RestorePolicyParts(const Policy& previous, int parts, const ControlCall& call,
                        std::string* error);
// Pushes the user assignments (they name sessions by the address of their trees).
bool ApplyAssignments(const Policy& policy, const ControlCall& call, std::string* error);

// Helpers shared with the output code.
std::string FormatIpv4(uint32_t headerOrderAddress);
// A client as the hosts show it: the IPv6 address when `ipv6` (16 bytes) is not all
// zeros, the IPv4 address otherwise.
std::string FormatClient(uint32_t headerOrderAddress, const uint8_t* ipv6);
std::string Utf16ToUtf8(const Utf16Unit* text, size_t maxUnits);
