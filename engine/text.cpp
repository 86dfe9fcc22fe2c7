#include "text.h"

#include "../platform/km.h"
#include "case_fold_table.h"

uint32_t Utf16Length(const Utf16Unit* text, uint32_t maxUnits) {
    // Four units a round with one bound check; no unit after the terminator is read.
    const Utf16Unit* at = text;
    const Utf16Unit* end = text + maxUnits;
    for (; end - at >= 4; at += 4) {
        if (at[0] == 0) {
            return uint32_t(at - text);
        }
        if (at[1] == 0) {
            return uint32_t(at - text) + 1;
        }
        if (at[2] == 0) {
            return uint32_t(at - text) + 2;
        }
        if (at[3] == 0) {
            return uint32_t(at - text) + 3;
        }
    }
    while (at != end && *at != 0) {
        ++at;
    }
    return uint32_t(at - text);
}

namespace {
// Four units in one 64-bit word, one per 16-bit lane.
const uint64_t EachLane = 0x0001000100010001ull;
const uint64_t LaneTopBits = 0x8000800080008000ull;
const uint32_t UnitsPerWord = 4;
// Set in a lane whose unit is U+0080 or above.
const uint64_t BeyondAsciiBits = 0xFF80FF80FF80FF80ull;
} // namespace

Utf16Unit Utf16FoldUnit(Utf16Unit unit) {
    if (unit < 0x80) {
        return unit >= 'A' && unit <= 'Z' ? Utf16Unit(unit + ('a' - 'A')) : unit;
    }
    // The last range that starts at or below the unit is the only one that can hold it.
    uint32_t low = 0;
    uint32_t high = CaseFoldRangeCount;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        if (CaseFoldRanges[middle].First <= unit) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    if (low == 0) {
        return unit;
    }
    const CaseFoldRange& r = CaseFoldRanges[low - 1];
    if (unit > r.Last || ((unit - r.First) & (r.Stride - 1)) != 0) {
        return unit;
    }
    return Utf16Unit(unit + r.Delta);
}

void Utf16LowerCase(Utf16Unit* text, uint32_t units) {
    // Four units at a time: with each lane's top bit cleared, adding 0x8000 - "A" sets the
    // top bit of the lanes at or above "A", and adding 0x8000 - "Z" - 1 that of the lanes
    // above "Z"; no sum carries into the next lane. The lanes from "A" to "Z" (that had no
    // top bit of their own) get 0x20 added; units from U+0080 up are left as they are.
    // Only a text that holds such a unit goes through the table afterwards, so ASCII text
    // costs one OR a word more.
    uint64_t seen = 0;
    uint32_t i = 0;
    for (; i + UnitsPerWord <= units; i += UnitsPerWord) {
        uint64_t word;
        KmCopyMemory(&word, text + i, sizeof word);
        seen |= word;
        uint64_t low = word & ~LaneTopBits;
        uint64_t atLeastA = low + (0x8000 - 'A') * EachLane;
        uint64_t aboveZ = low + (0x8000 - 'Z' - 1) * EachLane;
        uint64_t upper = atLeastA & ~aboveZ & ~word & LaneTopBits;
        word += upper >> 10; // 0x8000 >> 10 == 'a' - 'A'
        KmCopyMemory(text + i, &word, sizeof word);
    }
    for (; i < units; ++i) {
        seen |= text[i];
        if (text[i] >= 'A' && text[i] <= 'Z') {
            text[i] = Utf16Unit(text[i] + ('a' - 'A'));
        }
    }
    if ((seen & BeyondAsciiBits) != 0) {
        for (i = 0; i < units; ++i) {
            text[i] = Utf16FoldUnit(text[i]);
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
    if (needleUnits == 0) {
        return 0;
    }
    // Only where the first unit matches is the rest compared.
    Utf16Unit first = needle[0];
    const Utf16Unit* end = text + (textUnits - needleUnits) + 1;
    for (const Utf16Unit* at = text; at != end; ++at) {
        if (*at == first && Utf16Equal(at + 1, needleUnits - 1, needle + 1, needleUnits - 1)) {
            return int32_t(at - text);
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
