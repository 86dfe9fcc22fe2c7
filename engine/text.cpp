#include "text.h"

uint32_t Utf16Length(const Utf16Unit* text, uint32_t maxUnits) {
    // Four units a round with one bound check; no unit after the terminator is read.
    uint32_t n = 0;
    for (; n + 4 <= maxUnits; n += 4) {
        if (text[n] == 0) {
            return n;
        }
        if (text[n + 1] == 0) {
            return n + 1;
        }
        if (text[n + 2] == 0) {
            return n + 2;
        }
        if (text[n + 3] == 0) {
            return n + 3;
        }
    }
    while (n < maxUnits && text[n] != 0) {
        ++n;
    }
    return n;
}

void Utf16LowerCase(Utf16Unit* text, uint32_t units) {
    // Without a branch per unit: "A" to "Z" are the 26 units at or above "A".
    for (uint32_t i = 0; i < units; ++i) {
        Utf16Unit unit = text[i];
        bool upper = Utf16Unit(unit - 'A') < 26;
        text[i] = Utf16Unit(unit + (upper ? 'a' - 'A' : 0));
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
    if (needleUnits == 0) {
        return 0;
    }
    // Only where the first unit matches is the rest compared.
    Utf16Unit first = needle[0];
    uint32_t last = textUnits - needleUnits;
    for (uint32_t at = 0; at <= last; ++at) {
        if (text[at] == first &&
            Utf16Equal(text + at + 1, needleUnits - 1, needle + 1, needleUnits - 1)) {
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
