#ifdef _WIN32
#include <ws2tcpip.h> // inet_ntop
#else
#include <arpa/inet.h>
#endif
#include "policy_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "engine_limits.h"
#include "text.h"

#ifndef O_BINARY
#define O_BINARY 0 // POSIX reads every file as bytes
#endif
#ifdef _WIN32
// The Windows C runtime opens files without these: a FIFO or terminal cannot be named.
#define O_NONBLOCK 0
#define O_CLOEXEC 0
#define O_NOCTTY 0
#endif

using nlohmann::json;

namespace {

const char* const FlagNames[] = {"report",      "deny-delete", "deny-modify", "deny-rename",
                                 "deny-create", "deny-read",   "deny-all",    "known-clients-only"};

struct PolicyError {
    std::string message;
};

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
    throw PolicyError{where + ": " + what};
}

// The lists of 64 fixed entries in the settings and known-client blocks.
const size_t FixedListEntries = 64;

// A list the engine cannot take whole is refused before anything is pushed.
void CheckCount(const std::string& where, size_t count, size_t limit, const char* limitName) {
    if (count > limit) {
        Fail(where, "holds " + std::to_string(count) + " entries, more than the engine takes (" +
                        limitName + ": " + std::to_string(limit) + "); the policy is not applied");
    }
}

// UTF-8 to UTF-16, rejecting malformed input.
std::vector<Utf16Unit> ToUtf16(const std::string& text, const std::string& where) {
    std::vector<Utf16Unit> out;
    for (size_t i = 0; i < text.size();) {
        uint8_t lead = uint8_t(text[i]);
        uint32_t code;
        size_t extra;
        if (lead < 0x80) {
            code = lead;
            extra = 0;
        } else if ((lead & 0xE0) == 0xC0) {
            code = lead & 0x1F;
            extra = 1;
        } else if ((lead & 0xF0) == 0xE0) {
            code = lead & 0x0F;
            extra = 2;
        } else if ((lead & 0xF8) == 0xF0) {
            code = lead & 0x07;
            extra = 3;
        } else {
            Fail(where, "is not valid UTF-8");
        }
        if (extra != 0 && i + extra >= text.size()) {
            Fail(where, "is not valid UTF-8");
        }
        for (size_t k = 1; k <= extra; ++k) {
            uint8_t next = uint8_t(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                Fail(where, "is not valid UTF-8");
            }
            code = code << 6 | (next & 0x3F);
        }
        i += extra + 1;
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(Utf16Unit(0xD800 + (code >> 10)));
            out.push_back(Utf16Unit(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(Utf16Unit(code));
        }
    }
    return out;
}

// Stores a text in a fixed field; it must leave room for the terminator.
void StoreText(Utf16Unit* field, size_t fieldUnits, const json& value, const std::string& where,
               bool lowerCase) {
    if (!value.is_string()) {
        Fail(where, "must be a string");
    }
    std::vector<Utf16Unit> units = ToUtf16(value.get<std::string>(), where);
    for (Utf16Unit u : units) {
        if (u == 0) {
            Fail(where, "holds a NUL character (\\u0000), which would cut it short");
        }
    }
    if (units.size() >= fieldUnits) {
        Fail(where, "is longer than " + std::to_string(fieldUnits - 1) + " characters");
    }
    std::memset(field, 0, fieldUnits * sizeof(Utf16Unit));
    std::copy(units.begin(), units.end(), field);
    if (lowerCase) {
        // The engine's own folding, so that a name is stored as the engine compares it.
        Utf16LowerCase(field, uint32_t(units.size()));
    }
}

void CheckKeys(const json& object, const std::string& where,
               std::initializer_list<const char*> allowed) {
    if (!object.is_object()) {
        Fail(where, "must be an object");
    }
    for (auto it = object.begin(); it != object.end(); ++it) {
        bool known = false;
        for (const char* key : allowed) {
            known = known || it.key() == key;
        }
        if (!known) {
            Fail(where, "unknown key \"" + it.key() + "\"");
        }
    }
}

const json& ArrayAt(const json& object, const char* key, const std::string& where) {
    const json& value = object.at(key);
    if (!value.is_array()) {
        Fail(where + "." + key, "must be an array");
    }
    return value;
}

bool BoolAt(const json& object, const char* key, const std::string& where) {
    const json& value = object.at(key);
    if (!value.is_boolean()) {
        Fail(where + "." + key, "must be true or false");
    }
    return value.get<bool>();
}

uint32_t ParseIpv4(const json& value, const std::string& where) {
    if (!value.is_string()) {
        Fail(where, "must be an IPv4 address string");
    }
    std::string text = value.get<std::string>();
    uint32_t parts[4];
    int count = 0;
    std::stringstream in(text);
    std::string piece;
    while (std::getline(in, piece, '.')) {
        if (count == 4 || piece.empty() || piece.size() > 3 ||
            piece.find_first_not_of("0123456789") != std::string::npos || std::stoul(piece) > 255) {
            Fail(where, "\"" + text + "\" is not an IPv4 address");
        }
        parts[count++] = uint32_t(std::stoul(piece));
    }
    if (count != 4 || text.back() == '.') {
        Fail(where, "\"" + text + "\" is not an IPv4 address");
    }
    // Header byte order: the first address byte is the least significant.
    return parts[0] | parts[1] << 8 | parts[2] << 16 | parts[3] << 24;
}

uint64_t ParseMac(const json& value, const std::string& where) {
    if (!value.is_string()) {
        Fail(where, "must be a MAC address string");
    }
    std::string text = value.get<std::string>();
    uint64_t mac = 0;
    bool ok = text.size() == 17;
    for (size_t i = 0; ok && i < 17; ++i) {
        char c = text[i];
        if (i % 3 == 2) {
            ok = c == ':' || c == '-';
        } else {
            ok = std::isxdigit(uint8_t(c)) != 0;
            if (ok) {
                mac = mac << 4 | uint64_t(std::stoul(std::string(1, c), nullptr, 16));
            }
        }
    }
    if (!ok) {
        Fail(where, "\"" + text + "\" is not a MAC address (aa:bb:cc:dd:ee:ff)");
    }
    return mac;
}

void ParseFlags(const json& flags, AccessRule* rule, const std::string& where) {
    if (!flags.is_array()) {
        Fail(where, "must be an array of flag names");
    }
    uint8_t* bits = &rule->Report;
    for (size_t i = 0; i < flags.size(); ++i) {
        std::string at = where + "[" + std::to_string(i) + "]";
        if (!flags[i].is_string()) {
            Fail(at, "must be a flag name");
        }
        std::string name = flags[i].get<std::string>();
        size_t index = 0;
        while (index < 8 && name != FlagNames[index]) {
            ++index;
        }
        if (index == 8) {
            Fail(at, "unknown flag \"" + name + "\"");
        }
        bits[index] = 1;
    }
}

std::vector<AccessRule> ParseRules(const json& list, const std::string& where, bool withUser) {
    std::vector<AccessRule> out;
    for (size_t i = 0; i < list.size(); ++i) {
        std::string at = where + "[" + std::to_string(i) + "]";
        const json& item = list[i];
        if (withUser) {
            CheckKeys(item, at, {"path", "user", "flags"});
        } else {
            CheckKeys(item, at, {"path", "flags"});
        }
        AccessRule rule;
        std::memset(&rule, 0, sizeof rule);
        if (item.contains("path")) {
            StoreText(rule.Path, SharePathUnits, item["path"], at + ".path", true);
        }
        if (withUser && item.contains("user")) {
            StoreText(rule.UserName, NameUnits, item["user"], at + ".user", true);
        }
        if (item.contains("flags")) {
            ParseFlags(item["flags"], &rule, at + ".flags");
        }
        out.push_back(rule);
    }
    return out;
}

// Fills a fixed list of 64 names and its count.
void ParseNameList(const json& list, const std::string& where, Utf16Unit (*entries)[NameUnits],
                   int32_t* count, bool lowerCase) {
    CheckCount(where, list.size(), FixedListEntries, "entries of a fixed list");
    for (size_t i = 0; i < list.size(); ++i) {
        StoreText(entries[i], NameUnits, list[i], where + "[" + std::to_string(i) + "]", lowerCase);
    }
    *count = int32_t(list.size());
}

void ParseSettings(const json& s, EngineSettings* settings, bool* refuseUnreadable) {
    const std::string where = "settings";
    CheckKeys(s, where,
              {"learning", "learn_report_only", "admission_control", "exempt_prefixes",
               "exempt_suffixes", "exempt_substrings", "refuse_unreadable"});
    // Travels with its own control code: the settings record has no field for it.
    if (s.contains("refuse_unreadable")) {
        *refuseUnreadable = BoolAt(s, "refuse_unreadable", where);
    }
    if (s.contains("learning")) {
        settings->LearningEnabled = BoolAt(s, "learning", where);
    }
    if (s.contains("learn_report_only")) {
        settings->LearnReportOnly = BoolAt(s, "learn_report_only", where);
    }
    if (s.contains("admission_control")) {
        settings->AdmissionControl = BoolAt(s, "admission_control", where);
    }
    // Exempt entries are compared as stored; paths are folded, so store them so.
    if (s.contains("exempt_prefixes")) {
        ParseNameList(ArrayAt(s, "exempt_prefixes", where), where + ".exempt_prefixes",
                      settings->ExemptPrefixList, &settings->PrefixCount, true);
    }
    if (s.contains("exempt_suffixes")) {
        ParseNameList(ArrayAt(s, "exempt_suffixes", where), where + ".exempt_suffixes",
                      settings->ExemptSuffixList, &settings->SuffixCount, true);
    }
    if (s.contains("exempt_substrings")) {
        ParseNameList(ArrayAt(s, "exempt_substrings", where), where + ".exempt_substrings",
                      settings->ExemptSubstringList, &settings->SubstringCount, true);
    }
}

void ParseKnownClients(const json& k, KnownClientLists* known) {
    const std::string where = "known_clients";
    CheckKeys(k, where, {"address_words", "macs", "users", "workstations"});
    if (k.contains("address_words")) {
        const json& words = ArrayAt(k, "address_words", where);
        CheckCount(where + ".address_words", words.size(), FixedListEntries,
                   "entries of a fixed list");
        for (size_t i = 0; i < words.size(); ++i) {
            if (!words[i].is_number_unsigned() || words[i].get<uint64_t>() > 0xFFFF) {
                Fail(where + ".address_words[" + std::to_string(i) + "]",
                     "must be a number from 0 to 65535");
            }
            known->AddressWords[i] = uint16_t(words[i].get<uint64_t>());
        }
        known->WordCount = int32_t(words.size());
    }
    if (k.contains("macs")) {
        const json& macs = ArrayAt(k, "macs", where);
        CheckCount(where + ".macs", macs.size(), FixedListEntries, "entries of a fixed list");
        for (size_t i = 0; i < macs.size(); ++i) {
            known->Macs[i] = ParseMac(macs[i], where + ".macs[" + std::to_string(i) + "]");
        }
        known->MacCount = int32_t(macs.size());
    }
    if (k.contains("users")) {
        ParseNameList(ArrayAt(k, "users", where), where + ".users", known->Users, &known->UserCount,
                      true);
    }
    if (k.contains("workstations")) {
        ParseNameList(ArrayAt(k, "workstations", where), where + ".workstations",
                      known->Workstations, &known->WorkstationCount, true);
    }
}

void ParseInto(const json& root, Policy* p) {
    CheckKeys(root, "policy",
              {"inspection", "rules", "templates", "settings", "known_clients", "admission",
               "assign_users"});
    if (root.contains("inspection")) {
        p->inspection = BoolAt(root, "inspection", "policy");
    }
    // Lists past the engine's limits are refused before their records are built.
    if (root.contains("rules")) {
        const json& list = ArrayAt(root, "rules", "policy");
        CheckCount("rules", list.size(), RuleListLimit, "RuleListLimit");
        p->rules = ParseRules(list, "rules", true);
    }
    if (root.contains("templates")) {
        const json& list = ArrayAt(root, "templates", "policy");
        CheckCount("templates", list.size(), TemplateListLimit, "TemplateListLimit");
        p->templates = ParseRules(list, "templates", false);
    }
    if (root.contains("settings")) {
        ParseSettings(root["settings"], &p->settings, &p->refuseUnreadable);
    }
    if (root.contains("known_clients")) {
        ParseKnownClients(root["known_clients"], &p->knownClients);
    }
    if (root.contains("admission")) {
        const json& list = ArrayAt(root, "admission", "policy");
        for (size_t i = 0; i < list.size(); ++i) {
            AdmissionEntry entry;
            std::memset(&entry, 0, sizeof entry);
            entry.ClientAddress = ParseIpv4(list[i], "admission[" + std::to_string(i) + "]");
            entry.Value = 1;
            p->admission.push_back(entry);
        }
    }
    if (root.contains("assign_users")) {
        const json& list = ArrayAt(root, "assign_users", "policy");
        for (size_t i = 0; i < list.size(); ++i) {
            std::string at = "assign_users[" + std::to_string(i) + "]";
            CheckKeys(list[i], at, {"user", "workstation", "address"});
            if (!list[i].contains("address")) {
                Fail(at, "needs an \"address\"");
            }
            UserAssignment record;
            std::memset(&record, 0, sizeof record);
            if (list[i].contains("user")) {
                StoreText(record.UserName, NameUnits, list[i]["user"], at + ".user", true);
            }
            if (list[i].contains("workstation")) {
                StoreText(record.WorkstationName, NameUnits, list[i]["workstation"],
                          at + ".workstation", true);
            }
            record.ClientAddress = ParseIpv4(list[i]["address"], at + ".address");
            p->assignments.push_back(record);
        }
    }
}

template <typename T> std::vector<uint8_t> BytesOf(const std::vector<T>& records) {
    std::vector<uint8_t> out(records.size() * sizeof(T));
    if (!records.empty()) {
        std::memcpy(out.data(), records.data(), out.size());
    }
    return out;
}

template <typename T> std::vector<uint8_t> BytesOf(const T& block) {
    std::vector<uint8_t> out(sizeof block);
    std::memcpy(out.data(), &block, sizeof block);
    return out;
}

bool Push(const ControlCall& call, uint32_t code, std::vector<uint8_t> input, const char* what,
          std::string* error) {
    uint32_t inputLength = uint32_t(input.size());
    if (input.size() < 4) {
        input.resize(4);
    }
    ControlStatusBlock status = call(code, input, inputLength, 4);
    int32_t result = int32_t(uint32_t(input[0]) | uint32_t(input[1]) << 8 |
                             uint32_t(input[2]) << 16 | uint32_t(input[3]) << 24);
    // The result word counts only when the engine wrote it: the buffer held the input before.
    if (status.status != STATUS_SUCCESS_CODE || status.information < 4 ||
        result != ControlResultOk) {
        std::ostringstream message;
        message << "the engine refused the " << what << " (status 0x" << std::hex << status.status
                << ", result " << std::dec << result << ")";
        *error = message.str();
        return false;
    }
    return true;
}

} // namespace

bool ParsePolicy(const std::string& text, Policy* policy, std::string* error) {
    Policy parsed;
    try {
        json root = json::parse(text);
        ParseInto(root, &parsed);
    } catch (const PolicyError& e) {
        *error = e.message;
        return false;
    } catch (const json::exception& e) {
        *error = std::string("not valid JSON: ") + e.what();
        return false;
    }
    if (!CheckPolicyLimits(parsed, error)) {
        return false;
    }
    *policy = parsed;
    return true;
}

bool ReadPolicyText(const std::string& path, std::string* text, std::string* error) {
    // Non-blocking, so that opening a FIFO without a writer does not wait.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_BINARY);
    if (fd < 0) {
        *error = path + ": cannot be read";
        return false;
    }
    struct stat info {};
    const char* what = nullptr;
    if (fstat(fd, &info) != 0) {
        what = "cannot be examined";
    } else if (S_ISDIR(info.st_mode)) {
        what = "is a directory, not a policy file";
    } else if (!S_ISREG(info.st_mode)) {
        what = "is not a regular file (a FIFO, socket or device), not a policy file";
    } else if (uint64_t(info.st_size) > MaxPolicyBytes) {
        what = "is larger than 1 MiB, too large for a policy file";
    }
    text->clear();
    char buffer[65536];
    ssize_t n = 0;
    while (what == nullptr && (n = read(fd, buffer, sizeof buffer)) != 0) {
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            what = "cannot be read";
        } else if (text->size() + size_t(n) > MaxPolicyBytes) {
            what = "is larger than 1 MiB, too large for a policy file"; // it grew meanwhile
        } else {
            text->append(buffer, size_t(n));
        }
    }
    close(fd);
    if (what != nullptr) {
        *error = path + ": " + what;
        return false;
    }
    return true;
}

bool LoadPolicyFile(const std::string& path, Policy* policy, std::string* error) {
    std::string text;
    if (!ReadPolicyText(path, &text, error)) {
        return false;
    }
    if (!ParsePolicy(text, policy, error)) {
        *error = path + ": " + *error;
        return false;
    }
    return true;
}

namespace {

// The request of one part, in PolicyParts order.
bool PushPart(const Policy& p, int part, const ControlCall& call, std::string* error) {
    switch (part) {
    case 0:
        return Push(call, IOCTL_ENGINE_SET_SETTINGS, BytesOf(p.settings), "settings", error);
    case 1:
        return Push(call, IOCTL_ENGINE_SET_REFUSE_UNREADABLE,
                    std::vector<uint8_t>{uint8_t(p.refuseUnreadable ? 1 : 0)}, "refuse_unreadable",
                    error);
    case 2:
        return Push(call, IOCTL_ENGINE_SET_KNOWN_CLIENTS, BytesOf(p.knownClients), "known clients",
                    error);
    case 3:
        return Push(call, IOCTL_ENGINE_SET_ADMISSION_LIST, BytesOf(p.admission), "admission list",
                    error);
    case 4:
        return Push(call, IOCTL_ENGINE_SET_TEMPLATES, BytesOf(p.templates), "templates", error);
    case 5:
        return Push(call, IOCTL_ENGINE_SET_RULES, BytesOf(p.rules), "rules", error);
    default:
        return Push(call, IOCTL_ENGINE_SET_INSPECTION,
                    std::vector<uint8_t>{uint8_t(p.inspection ? 1 : 0)}, "inspection switch",
                    error);
    }
}

} // namespace

bool CheckPolicyLimits(const Policy& p, std::string* error) {
    try {
        CheckCount("rules", p.rules.size(), RuleListLimit, "RuleListLimit");
        CheckCount("templates", p.templates.size(), TemplateListLimit, "TemplateListLimit");
        std::set<uint32_t> addresses;
        for (const AdmissionEntry& entry : p.admission) {
            addresses.insert(entry.ClientAddress);
        }
        CheckCount("admission", addresses.size(), AdmissionTableLimit, "AdmissionTableLimit");
        const EngineSettings& s = p.settings;
        const KnownClientLists& k = p.knownClients;
        const std::pair<const char*, int32_t> fixed[] = {
            {"settings.exempt_prefixes", s.PrefixCount},
            {"settings.exempt_suffixes", s.SuffixCount},
            {"settings.exempt_substrings", s.SubstringCount},
            {"known_clients.address_words", k.WordCount},
            {"known_clients.macs", k.MacCount},
            {"known_clients.users", k.UserCount},
            {"known_clients.workstations", k.WorkstationCount},
        };
        for (const auto& list : fixed) {
            CheckCount(list.first, size_t(list.second < 0 ? 0 : list.second), FixedListEntries,
                       "entries of a fixed list");
        }
    } catch (const PolicyError& e) {
        *error = e.message;
        return false;
    }
    return true;
}

bool ApplyPolicy(const Policy& p, const ControlCall& call, std::string* error, int* pushed) {
    int done = 0;
    bool ok = CheckPolicyLimits(p, error);
    while (ok && done < PolicyParts) {
        ok = PushPart(p, done, call, error);
        done += ok ? 1 : 0;
    }
    if (pushed != nullptr) {
        *pushed = done;
    }
    return ok;
}

bool RestorePolicyParts(const Policy& previous, int parts, const ControlCall& call,
                        std::string* error) {
    for (int part = 0; part < parts && part < PolicyParts; ++part) {
        if (!PushPart(previous, part, call, error)) {
            return false;
        }
    }
    return true;
}

bool ApplyAssignments(const Policy& p, const ControlCall& call, std::string* error) {
    if (p.assignments.empty()) {
        return true;
    }
    return Push(call, IOCTL_ENGINE_ASSIGN_USERS, BytesOf(p.assignments), "user assignments", error);
}

std::string FormatIpv4(uint32_t a) {
    return std::to_string(a & 0xFF) + "." + std::to_string(a >> 8 & 0xFF) + "." +
           std::to_string(a >> 16 & 0xFF) + "." + std::to_string(a >> 24 & 0xFF);
}

std::string FormatClient(uint32_t a, const uint8_t* ipv6) {
    static const uint8_t none[ClientIpv6Bytes] = {};
    if (ipv6 == nullptr || std::memcmp(ipv6, none, ClientIpv6Bytes) == 0) {
        return FormatIpv4(a);
    }
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, ipv6, text, sizeof text);
    return text;
}

std::string Utf16ToUtf8(const Utf16Unit* text, size_t maxUnits) {
    std::string out;
    for (size_t i = 0; i < maxUnits && text[i] != 0; ++i) {
        uint32_t code = text[i];
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < maxUnits && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (code >= 0xD800 && code < 0xE000) {
            code = 0xFFFD; // a lone surrogate
        }
        if (code < 0x80) {
            out.push_back(char(code));
        } else if (code < 0x800) {
            out.push_back(char(0xC0 | code >> 6));
            out.push_back(char(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(char(0xE0 | code >> 12));
            out.push_back(char(0x80 | (code >> 6 & 0x3F)));
            out.push_back(char(0x80 | (code & 0x3F)));
        } else {
            out.push_back(char(0xF0 | code >> 18));
            out.push_back(char(0x80 | (code >> 12 & 0x3F)));
            out.push_back(char(0x80 | (code >> 6 & 0x3F)));
            out.push_back(char(0x80 | (code & 0x3F)));
        }
    }
    return out;
}
