#include "policy_builders.h"

#include <cstring>

std::vector<Utf16Unit> Utf8ToUnits(const std::string& utf8) {
    std::vector<Utf16Unit> out;
    for (size_t i = 0; i < utf8.size();) {
        uint8_t lead = uint8_t(utf8[i]);
        size_t extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
        uint32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
        for (size_t k = 1; k <= extra && i + k < utf8.size(); ++k) {
            code = code << 6 | (uint8_t(utf8[i + k]) & 0x3F);
        }
        i += extra + 1;
        if (code >= 0x10000) {
            out.push_back(Utf16Unit(0xD800 + ((code - 0x10000) >> 10)));
            out.push_back(Utf16Unit(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            out.push_back(Utf16Unit(code));
        }
    }
    return out;
}

std::vector<Utf16Unit> U16(const std::string& ascii) {
    std::vector<Utf16Unit> out = Utf8ToUnits(ascii);
    out.push_back(0);
    return out;
}

std::string Ascii(const Utf16Unit* text, size_t maxUnits) {
    size_t units = 0;
    while (units < maxUnits && text[units] != 0) {
        ++units;
    }
    std::string out;
    for (size_t i = 0; i < units; ++i) {
        uint32_t code = text[i];
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < units && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
        }
        int extra = code < 0x80 ? 0 : code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
        const uint8_t lead[] = {0, 0xC0, 0xE0, 0xF0};
        out.push_back(char(lead[extra] | code >> (6 * extra)));
        for (int k = extra - 1; k >= 0; --k) {
            out.push_back(char(0x80 | (code >> (6 * k) & 0x3F)));
        }
    }
    return out;
}

void SetField(Utf16Unit* field, size_t units, const std::string& ascii) {
    std::memset(field, 0, units * sizeof(Utf16Unit));
    std::vector<Utf16Unit> text = Utf8ToUnits(ascii);
    for (size_t i = 0; i < text.size() && i < units; ++i) {
        field[i] = text[i];
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
