#include "policy_builders.h"

#include <cstring>

std::vector<Utf16Unit> U16(const std::string& ascii) {
    std::vector<Utf16Unit> out(ascii.begin(), ascii.end());
    out.push_back(0);
    return out;
}

std::string Ascii(const Utf16Unit* text, size_t maxUnits) {
    std::string out;
    for (size_t i = 0; i < maxUnits && text[i] != 0; ++i) {
        out.push_back(char(text[i]));
    }
    return out;
}

void SetField(Utf16Unit* field, size_t units, const std::string& ascii) {
    std::memset(field, 0, units * sizeof(Utf16Unit));
    for (size_t i = 0; i < ascii.size() && i < units; ++i) {
        field[i] = Utf16Unit(uint8_t(ascii[i]));
    }
}

AccessRule Rule(const std::string& path, const std::string& user, const std::string& flags) {
    AccessRule rule;
    std::memset(&rule, 0, sizeof rule);
    SetField(rule.Path, SharePathUnits, path);
    SetField(rule.UserName, NameUnits, user);
    uint8_t* bits = &rule.Report;
    for (size_t i = 0; i < 8 && i < flags.size(); ++i) {
        bits[i] = flags[i] == '1';
    }
    return rule;
}

std::string Flags(const AccessRule& rule) {
    std::string out;
    const uint8_t* bits = &rule.Report;
    for (int i = 0; i < 8; ++i) {
        out.push_back(bits[i] ? '1' : '0');
    }
    return out;
}
