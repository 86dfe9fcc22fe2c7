// The text helpers work several units at a time; each must agree with the plain,
// one-unit-at-a-time meaning at every length and position.
#include <gtest/gtest.h>

#include <vector>

#include "text.h"

namespace {

// Units around the edges of "A" to "Z" and of the top bit the word-wide lower-casing uses.
const Utf16Unit Edges[] = {0,      '@',    'A',    'M',    'Z',    '[',    '`',    'a',
                           'z',    0x7F,   0xC1,   0x4041, 0x7FFF, 0x8000, 0x8041, 0x805A,
                           0xC041, 0xFF41, 0xFFFF, '\\',   '.',    '~',    '$',    0x141};

Utf16Unit PlainLower(Utf16Unit unit) {
    return unit >= 'A' && unit <= 'Z' ? Utf16Unit(unit + 32) : unit;
}

TEST(TextTest, WordWideHelpersAgreeWithTheirPlainMeaning) {
    const uint32_t edges = sizeof Edges / sizeof Edges[0];
    for (uint32_t length = 0; length <= 11; ++length) {
        for (uint32_t shift = 0; shift < edges; ++shift) {
            std::vector<Utf16Unit> text(length + 1);
            for (uint32_t i = 0; i < length; ++i) {
                text[i] = Edges[(i * 7 + shift) % edges];
            }
            std::vector<Utf16Unit> lowered = text;
            Utf16LowerCase(lowered.data(), length);
            for (uint32_t i = 0; i < length; ++i) {
                ASSERT_EQ(lowered[i], PlainLower(text[i])) << "unit " << i << " of " << length;
            }
            ASSERT_EQ(lowered[length], text[length]) << "nothing past the count changes";

            uint32_t plainLength = 0;
            while (plainLength < length && text[plainLength] != 0) {
                ++plainLength;
            }
            ASSERT_EQ(Utf16Length(text.data(), length), plainLength);

            // Every needle taken from the text is found at its first occurrence.
            for (uint32_t at = 0; at < length; ++at) {
                for (uint32_t units = 1; at + units <= length && units <= 3; ++units) {
                    int32_t first = -1;
                    for (uint32_t k = 0; first < 0 && k + units <= length; ++k) {
                        if (std::equal(&text[k], &text[k] + units, &text[at])) {
                            first = int32_t(k);
                        }
                    }
                    ASSERT_EQ(Utf16Find(text.data(), length, &text[at], units), first);
                }
            }
        }
    }
    const Utf16Unit absent[] = {'q', 'q'};
    EXPECT_EQ(Utf16Find(Edges, edges, absent, 2), -1);
    EXPECT_EQ(Utf16Find(Edges, 1, absent, 2), -1) << "a needle longer than the text";
    EXPECT_EQ(Utf16Find(Edges, edges, absent, 0), 0) << "the empty needle";
}

} // namespace
