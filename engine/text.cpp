#include "text.h"

uint32_t Utf16Length(const Utf16Unit* text, uint32_t maxUnits) {
    uint32_t n = 0;
    while (n < maxUnits && text[n] != 0) {
        ++n;
    }
    return n;
}

void Utf16LowerCase(Utf16Unit* text, uint32_t units) {
    for (uint32_t i = 0; i < units; ++i) {
        if (text[i] >= 'A' && text[i] <= 'Z') {
            text[i] = Utf16Unit(text[i] + ('a' - 'A'));
        }
    }
}

bool Utf16Equal(const Utf16Unit* a, uint32_t aUnits, const Utf16Unit* b, uint32_t bUnits) {
    if (aUnits != bUnits) {
        return false;
    }
    for (uint32_t i = 0; i < aUnits; ++i) {
        if (a[i] != b[i]) {
            return false;
        }
    }
    return true;
}

int32_t Utf16Find(const Utf16Unit* text, uint32_t textUnits, const Utf16Unit* needle,
                  uint32_t needleUnits) {
    if (needleUnits > textUnits) {
        return -1;
    }
    for (uint32_t at = 0; at + needleUnits <= textUnits; ++at) {
        if (Utf16Equal(text + at, needleUnits, needle, needleUnits)) {
            return int32_t(at);
        }
    }
    return -1;
}

void Utf16CopyToField(Utf16Unit* field, uint32_t fieldUnits, const Utf16Unit* text,
                      uint32_t textUnits) {
    uint32_t i = 0;
    for (; i + 1 < fieldUnits && i < textUnits; ++i) {
        field[i] = text[i];
    }
    for (; i < fieldUnits; ++i) {
        field[i] = 0;
    }
}
