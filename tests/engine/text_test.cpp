// The text helpers work several units at a time; each must agree with the plain,
// one-unit-at-a-time meaning at every length and position.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "policy_builders.h"
#include "text.h"

namespace {

// Units around the edges of "A" to "Z" and of the top bit the word-wide lower-casing uses.
const Utf16Unit Edges[] = {0,      '@',    'A',    'M',    'Z',    '[',    '`',    'a',
                           'z',    0x7F,   0xC1,   0x4041, 0x7FFF, 0x8000, 0x8041, 0x805A,
                           0xC041, 0xFF41, 0xFFFF, '\\',   '.',    '~',    '$',    0x141};

// One unit at a time: ASCII by its own rule, the rest through the table.
Utf16Unit PlainLower(Utf16Unit unit) {
    if (unit < 0x80) {
        return unit >= 'A' && unit <= 'Z' ? Utf16Unit(unit + 32) : unit;
    }
    return Utf16FoldUnit(unit);
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

std::vector<Utf16Unit> Folded(const std::string& utf8) {
    std::vector<Utf16Unit> units = Utf8ToUnits(utf8);
    Utf16LowerCase(units.data(), uint32_t(units.size()));
    return units;
}

// Names compare as Windows compares them: equal when their units have the same simple
// uppercase over the BMP. Each case gives a name as stored, the same name as a client may
// send it, whether the two are one name, and the folded form both must take.
TEST(TextTest, NamesFoldCaseOverTheBasicMultilingualPlane) {
    struct Case {
        const char* a;
        const char* b;
        bool same;
        const char* foldedA;
    };
    const Case cases[] = {
        {"jörg", "JÖRG", true, "jörg"},
        {"Öffentlich", "ÖFFENTLICH", true, "öffentlich"},
        {"Ÿvonne", "ÿVONNE", true, "ÿvonne"},       // ÿ's uppercase lies outside Latin-1
        {"ǅemal", "Ǆemal", true, "ǆemal"},          // a title-case digraph
        {"straße", "STRASSE", false, "straße"},     // one unit never becomes two
        {"ΟΔΥΣΣΕΥΣ", "οδυσσευς", true, "οδυσσευσ"}, // final ς and σ are both Σ
        {"Σ", "ς", true, "σ"},
        {"Ά", "ά", true, "ά"},
        {"ПРИВЕТ Ёлка", "привет ёлка", true, "привет ёлка"},
        {"ѢЌ", "ѣќ", true, "ѣќ"},
        {"ＡＢ", "ａｂ", true, "ａｂ"}, // full-width Latin
        // Turkish i: "i" and "I" are one; dotless ı and dotted İ each stand alone.
        {"ADMIN", "admin", true, "admin"},
        {"admın", "ADMIN", false, "admın"},
        {"admın", "admin", false, "admın"},
        {"İstanbul", "istanbul", false, "İstanbul"},
        {"İstanbul", "ISTANBUL", false, "İstanbul"},
        {"ı", "ı", true, "ı"},
        {"ſ", "s", false, "ſ"},
        {"\xe2\x84\xaa", "k", false, "\xe2\x84\xaa"}, // the Kelvin sign's uppercase is itself
        // Outside the BMP units compare as they are; the BMP units around them still fold.
        {"𐐀", "𐐨", false, "𐐀"},
        {"A😀b", "a😀B", true, "a😀b"},
        {"\xed\xa0\x80x", "\xed\xa0\x80X", true, "\xed\xa0\x80x"}, // a lone surrogate
        {"ȺȾ", "ⱥⱦ", true, "ⱥⱦ"}, // uppercase in Latin, lowercase beyond U+2C00
    };
    for (const Case& c : cases) {
        std::vector<Utf16Unit> a = Folded(c.a);
        std::vector<Utf16Unit> b = Folded(c.b);
        EXPECT_EQ(Utf16Equal(a.data(), uint32_t(a.size()), b.data(), uint32_t(b.size())), c.same)
            << c.a << " / " << c.b;
        EXPECT_EQ(a, Utf8ToUnits(c.foldedA)) << c.a;
        // Folding is stable, and a name is found inside a longer folded path.
        EXPECT_EQ(Folded(c.foldedA), a) << c.a;
        std::vector<Utf16Unit> path = Folded(std::string("share\\") + c.b + "\\x.txt");
        EXPECT_EQ(Utf16Find(path.data(), uint32_t(path.size()), a.data(), uint32_t(a.size())) == 6,
                  c.same)
            << c.a << " in " << c.b;
    }
}

} // namespace
