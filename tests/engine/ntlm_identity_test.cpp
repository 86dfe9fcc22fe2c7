#include <gtest/gtest.h>

#include <random>
#include <string>

#include "ntlm.h"
#include "ntlm_identity.h"
#include "policy_builders.h"

namespace {

struct Identified {
    bool parsed;
    SessionUser user;
};

Identified Identify(const Bytes& blob) {
    Identified result{};
    // An exact-size heap copy, so that any read past the blob is caught by ASan.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[blob.size() + 1]);
    std::copy(blob.begin(), blob.end(), exact.get());
    result.parsed = IdentifyUser(exact.get(), uint32_t(blob.size()), &result.user);
    return result;
}

TEST(IdentifyUser, RawAuthenticateGivesLowerCaseNames) {
    Identified r = Identify(NtlmAuthenticate("Administrator", "TESTDOM", "WKS-7"));
    ASSERT_TRUE(r.parsed);
    EXPECT_EQ(Ascii(r.user.UserName), "administrator");
    EXPECT_EQ(Ascii(r.user.DomainName), "testdom");
    EXPECT_EQ(Ascii(r.user.WorkstationName), "wks-7");
}

TEST(IdentifyUser, NamesAreStoredInTheirFoldedCase) {
    Identified r = Identify(NtlmAuthenticate("ZoÉ", "DOMÄNE", "ΠΣ-7"));
    ASSERT_TRUE(r.parsed);
    EXPECT_EQ(Ascii(r.user.UserName), "zoé");
    EXPECT_EQ(Ascii(r.user.DomainName), "domäne");
    EXPECT_EQ(Ascii(r.user.WorkstationName), "πσ-7");
}

TEST(IdentifyUser, EmptyNamesParseButGiveNoUser) {
    Bytes bare = NtlmAuthenticate(NtlmNames{});
    ASSERT_EQ(bare.size(), 88u + 24 + 48 + 16);
    bare.resize(88); // the fixed part alone, payload offsets now outside
    for (size_t field : {12, 20, 52}) {
        bare[field] = bare[field + 1] = 0;
    }
    Identified r = Identify(bare);
    EXPECT_TRUE(r.parsed);
    EXPECT_EQ(r.user.UserName[0], 0);
}

TEST(IdentifyUser, LongNamesAreCutTo63Units) {
    Identified r = Identify(NtlmAuthenticate(std::string(100, 'u'), "d", "w"));
    ASSERT_TRUE(r.parsed);
    EXPECT_EQ(Ascii(r.user.UserName), std::string(63, 'u'));
    EXPECT_EQ(r.user.UserName[63], 0);
}

TEST(IdentifyUser, NameReachingOutsideTheMessageIsAbsent) {
    Bytes m = NtlmAuthenticate("alice", "dom", "wks");
    // Point the user name one byte past the end; the others stay readable.
    uint32_t offset = uint32_t(m.size() - 9);
    m[40] = uint8_t(offset);
    m[41] = uint8_t(offset >> 8);
    Identified r = Identify(m);
    ASSERT_TRUE(r.parsed);
    EXPECT_EQ(r.user.UserName[0], 0);
    EXPECT_EQ(Ascii(r.user.DomainName), "dom");
    // An offset far outside, as a 32-bit value that would wrap when added to the length.
    m[40] = m[41] = m[42] = m[43] = 0xFF;
    r = Identify(m);
    EXPECT_EQ(r.user.UserName[0], 0);
}

TEST(IdentifyUser, OtherMessageTypesAndDamagedSignaturesYieldNothing) {
    EXPECT_FALSE(Identify(NtlmNegotiate()).parsed);
    EXPECT_FALSE(Identify(NtlmChallenge()).parsed);
    Bytes negotiateAt88 = NtlmNegotiate();
    negotiateAt88.resize(120);
    EXPECT_FALSE(Identify(negotiateAt88).parsed);
    Bytes bad = NtlmAuthenticate("alice", "d", "w");
    bad[7] = 1; // signature's closing zero byte
    EXPECT_FALSE(Identify(bad).parsed);
    EXPECT_FALSE(Identify(Bytes(87, 0)).parsed);
    EXPECT_FALSE(Identify(Bytes{}).parsed);
}

TEST(ParseSpnegoResponse, ShortAndLongLengthFormsParse) {
    Bytes auth = NtlmAuthenticate("bob", "dom", "pc1");
    for (int lengthBytes : {0, 2, 3}) {
        Identified r = Identify(SpnegoResponse(auth, lengthBytes));
        ASSERT_TRUE(r.parsed) << lengthBytes;
        EXPECT_EQ(Ascii(r.user.UserName), "bob");
    }
    // A tiny message whose outer length fits in one byte.
    NtlmNames none;
    Bytes small = NtlmAuthenticate(none);
    small.resize(88);
    Bytes blob = SpnegoResponse(small, 0, false);
    ASSERT_LT(blob[1], 0x80);
    EXPECT_TRUE(Identify(blob).parsed);
}

TEST(ParseSpnegoResponse, SkipsElementsBeforeTheResponseToken) {
    Bytes blob = SpnegoResponse(NtlmAuthenticate("carol", "d", "w"), 0, true);
    Identified r = Identify(blob);
    ASSERT_TRUE(r.parsed);
    EXPECT_EQ(Ascii(r.user.UserName), "carol");
}

TEST(ParseSpnegoResponse, LengthsThatDoNotAddUpAreRejected) {
    Bytes good = SpnegoResponse(NtlmAuthenticate("dave", "d", "w"), 2);
    // Outer length one short of the blob, with the NTLM message inside still whole.
    Bytes shortOuter = good;
    shortOuter[3] = uint8_t(shortOuter[3] - 1);
    Bytes extra = good;
    extra.push_back(0);
    for (const Bytes& blob : {shortOuter, extra}) {
        Identified r = Identify(blob);
        EXPECT_FALSE(r.parsed);
        EXPECT_EQ(r.user.UserName[0], 0);
    }
}

TEST(ParseSpnegoResponse, LyingLengthsAndTruncationsAreRejectedSafely) {
    Bytes auth = NtlmAuthenticate("erin", "dom", "wks");
    Bytes good = SpnegoResponse(auth, 2);
    // Every truncation: no crash, no read beyond the blob, and no user.
    for (size_t n = 0; n < good.size(); ++n) {
        Identified r = Identify(Bytes(good.begin(), good.begin() + n));
        EXPECT_FALSE(r.parsed) << "cut to " << n;
    }
    // Long-form lengths of more bytes than the blob holds, or absurdly many bytes.
    for (Bytes blob : {Bytes{0xA1, 0x84, 0x00}, Bytes{0xA1, 0xFF, 1, 2, 3}, Bytes{0xA1, 0x80},
                       Bytes{0xA1, 0x03, 0x30, 0x89, 0x00}}) {
        EXPECT_FALSE(Identify(blob).parsed);
    }
    // An element whose length steps beyond the blob.
    Bytes lying = Concat({Bytes{0xA1, 0x06, 0x30, 0x04, 0xA0, 0x7F, 0x0A, 0x01}});
    EXPECT_FALSE(Identify(lying).parsed);
    // A token that is not an OCTET STRING.
    Bytes notOctets = DerElement(0xA1, DerElement(0x30, DerElement(0xA2, DerElement(0x05, auth))));
    EXPECT_FALSE(Identify(notOctets).parsed);
}

TEST(ParseSpnegoResponse, NegTokenInitAndDeepNestingYieldNothing) {
    Bytes nested = NtlmAuthenticate("frank", "d", "w");
    for (int depth = 0; depth < 50; ++depth) {
        nested = DerElement(0xA1, DerElement(0x30, nested));
    }
    EXPECT_FALSE(Identify(nested).parsed);
    Bytes init = DerElement(0x60, DerElement(0x06, Bytes{0x2B, 0x06, 0x01, 0x05, 0x05, 0x02}));
    EXPECT_FALSE(Identify(init).parsed);
}

TEST(IdentifyUser, RandomBlobsNeverReadOutside) {
    std::mt19937 random(1);
    Bytes seed = SpnegoResponse(NtlmAuthenticate("gina", "dom", "wks"), 2);
    int parsed = 0;
    for (int round = 0; round < 20000; ++round) {
        Bytes blob = seed;
        for (int e = 0, n = 1 + random() % 4; e < n; ++e) {
            blob[random() % blob.size()] = uint8_t(random());
        }
        blob.resize(random() % (blob.size() + 1));
        Identified r = Identify(blob);
        parsed += r.parsed;
        for (const Utf16Unit* field :
             {r.user.UserName, r.user.DomainName, r.user.WorkstationName}) {
            ASSERT_EQ(field[63], 0) << "names stay terminated";
        }
    }
    EXPECT_GT(parsed, 0) << "some damaged blobs still hold a whole message";
}

} // namespace
