#include <gtest/gtest.h>

#include <random>

#include "checksum.h"
#include "frames.h"

namespace {

TEST(OnesComplementSum, MatchesTheRfc1071Example) {
    // RFC 1071 section 3: these bytes sum to ddf2.
    const uint8_t bytes[] = {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
    EXPECT_EQ(OnesComplementSum(0, bytes, sizeof bytes), 0xDDF2);
}

TEST(OnesComplementSum, OddTrailingByteIsTheHighHalfOfAWord) {
    const uint8_t bytes[] = {0x12, 0x34, 0xAB};
    EXPECT_EQ(OnesComplementSum(0, bytes, 3), 0x1234 + 0xAB00);
}

TEST(OnesComplementSum, CarriesFoldAndInitialSumAdds) {
    const uint8_t bytes[] = {0xFF, 0xFF, 0x00, 0x02};
    EXPECT_EQ(OnesComplementSum(0, bytes, 4), 0x0002); // 0x10001 folds to 2
    EXPECT_EQ(OnesComplementSum(0xFFFF, bytes, 2), 0xFFFF);
}

void ExpectRecomputedMatchesOriginal(Bytes frame) {
    ASSERT_TRUE(Ipv4ChecksumValid(frame));
    ASSERT_TRUE(TcpChecksumValid(frame));
    Bytes original = frame;
    size_t ipLength = (frame[FrameIpv4] & 0x0F) * 4u;
    size_t tcp = FrameIpv4 + ipLength;
    frame[FrameIpv4 + 10] = frame[FrameIpv4 + 11] = 0;
    frame[tcp + 16] = frame[tcp + 17] = 0;
    uint32_t segment = uint32_t((frame[FrameIpv4 + 2] << 8 | frame[FrameIpv4 + 3]) - ipLength);
    RecomputeChecksums(&frame[FrameIpv4], &frame[tcp], segment);
    EXPECT_EQ(frame, original);
}

TEST(RecomputeChecksums, RestoresKnownGoodChecksums) {
    Bytes even(200);
    for (size_t i = 0; i < even.size(); ++i) {
        even[i] = uint8_t(i * 31 + 7);
    }
    ExpectRecomputedMatchesOriginal(BuildTcpFrame(TestClient(), TestServer(), even));
}

TEST(RecomputeChecksums, OddLengthSegment) {
    Bytes odd(77, 0xC3);
    ExpectRecomputedMatchesOriginal(BuildTcpFrame(TestClient(), TestServer(), odd));
}

TEST(RecomputeChecksums, HeadersWithOptions) {
    TcpFrameOptions options;
    options.ipHeaderWords = 7;
    options.tcpHeaderWords = 11;
    Bytes frame = BuildTcpFrame(TestClient(), TestServer(), Bytes(33, 0x99), options);
    frame[FrameIpv4 + 20] = 0x94; // an IPv4 option byte covered by the header sum
    FillChecksums(frame);
    ExpectRecomputedMatchesOriginal(frame);
}

// A reference written apart from the engine: every big-endian 16-bit word (an odd last
// byte as a high half) added into 64 bits, then folded in one step. As 2^16 leaves 1
// modulo 0xFFFF, the one's-complement sum of a non-zero total is the total modulo 0xFFFF,
// written 0xFFFF where that is 0.
uint64_t WordTotal(const uint8_t* bytes, size_t count) {
    uint64_t total = 0;
    for (size_t i = 0; i < count; ++i) {
        total += (i % 2 == 0) ? uint64_t(bytes[i]) << 8 : bytes[i];
    }
    return total;
}

uint16_t ReferenceFold(uint64_t total) {
    return total == 0 ? 0 : uint16_t((total - 1) % 0xFFFF + 1);
}

// How many end-around carries a running fold of `total` takes to fit 16 bits.
int FoldsNeeded(uint64_t total) {
    int folds = 0;
    while (total >> 16) {
        total = (total & 0xFFFF) + (total >> 16);
        ++folds;
    }
    return folds;
}

TEST(OnesComplementSum, SumsThatNeedSeveralFoldsMatchTheReference) {
    struct Case {
        uint32_t initial;
        Bytes bytes;
        int folds;
    };
    const Case cases[] = {
        {0x0000FFFF, {0xFF, 0xFF, 0x00, 0x01}, 2},             // 0x1FFFF
        {0x000100FF, {0xFF}, 2},                               // odd byte: 0x1FFFF
        {0x00000000, Bytes(2 * 65537, 0xFF), 2},               // 65537 words of 0xFFFF
        {0xFFFFFFFF, {0xFF, 0xFF, 0x00, 0x01}, 3},             // 0x1_0000_FFFF
        {0xFFFFFFFF, {0x00, 0x01}, 2},                         // 0x1_0000_0000
        {0xFFFEFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x02}, 3}, // 0x1_0000_FFFF
    };
    for (const Case& c : cases) {
        uint64_t total = c.initial + WordTotal(c.bytes.data(), c.bytes.size());
        ASSERT_EQ(FoldsNeeded(total), c.folds) << std::hex << total;
        EXPECT_EQ(OnesComplementSum(c.initial, c.bytes.data(), uint32_t(c.bytes.size())),
                  ReferenceFold(total))
            << std::hex << total;
    }

    // Random initial sums and lengths up to a full segment.
    std::mt19937 random(20261209);
    int severalFolds = 0;
    for (int round = 0; round < 4000; ++round) {
        Bytes bytes(random() % 1501);
        for (uint8_t& b : bytes) {
            b = uint8_t(random());
        }
        uint32_t initial = round % 2 == 0 ? uint32_t(random()) : uint32_t(random() & 0xFFFF);
        uint64_t total = initial + WordTotal(bytes.data(), bytes.size());
        severalFolds += FoldsNeeded(total) >= 2;
        ASSERT_EQ(OnesComplementSum(initial, bytes.data(), uint32_t(bytes.size())),
                  ReferenceFold(total))
            << "round " << round;
    }
    EXPECT_GT(severalFolds, 0);
}

// One address family's frames: a TCP frame around `payload`, and the pseudo-header the
// TCP checksum covers. An IPv6 entry joins the table with its own builder.
struct ChecksumFamily {
    const char* name;
    Bytes (*build)(std::mt19937& random, const Bytes& payload);
    Bytes (*pseudoHeader)(const Bytes& frame, size_t network, size_t tcp, size_t segment);
    void (*recompute)(Bytes& frame, size_t network, size_t tcp, size_t segment);
    size_t (*tcpOffset)(const Bytes& frame);
    size_t (*segmentLength)(const Bytes& frame);
    bool headerChecksum; // the network header has a checksum of its own (IPv4)
};

Bytes BuildRandomIpv4(std::mt19937& random, const Bytes& payload) {
    Endpoint from = TestClient(uint8_t(random()), uint16_t(random()));
    Endpoint to = TestServer(uint16_t(random()));
    for (uint8_t& b : from.ip) {
        b = uint8_t(random());
    }
    TcpFrameOptions options;
    options.ipHeaderWords = uint8_t(5 + random() % 2);
    options.tcpHeaderWords = uint8_t(5 + random() % 4);
    options.sequence = uint32_t(random());
    Bytes frame = BuildTcpFrame(from, to, payload, options);
    for (size_t i = FrameIpv4 + 20; i < FrameIpv4 + options.ipHeaderWords * 4u; ++i) {
        frame[i] = uint8_t(random()); // option bytes count in the header checksum
    }
    frame[FrameIpv4 + 1] = uint8_t(random()); // type of service
    frame[FrameIpv4 + 8] = uint8_t(random()); // time to live
    return frame;
}

Bytes Ipv4PseudoHeader(const Bytes& frame, size_t network, size_t, size_t segment) {
    Bytes pseudo(12, 0);
    for (size_t i = 0; i < 8; ++i) {
        pseudo[i] = frame[network + 12 + i]; // source and destination addresses
    }
    pseudo[9] = 6;
    pseudo[10] = uint8_t(segment >> 8);
    pseudo[11] = uint8_t(segment);
    return pseudo;
}

void RecomputeIpv4(Bytes& frame, size_t network, size_t tcp, size_t segment) {
    RecomputeChecksums(&frame[network], &frame[tcp], uint32_t(segment));
}

size_t Ipv4TcpOffset(const Bytes& frame) {
    return FrameIpv4 + (frame[FrameIpv4] & 0x0F) * 4u;
}

size_t Ipv4SegmentLength(const Bytes& frame) {
    size_t total = size_t(frame[FrameIpv4 + 2]) << 8 | frame[FrameIpv4 + 3];
    return total - (frame[FrameIpv4] & 0x0F) * 4u;
}

const ChecksumFamily Families[] = {
    {"IPv4", BuildRandomIpv4, Ipv4PseudoHeader, RecomputeIpv4, Ipv4TcpOffset, Ipv4SegmentLength,
     true},
};

TEST(RecomputeChecksums, RandomFullSizeSegmentsMatchTheReference) {
    for (const ChecksumFamily& family : Families) {
        std::mt19937 random(1071);
        int severalFolds = 0;
        for (int round = 0; round < 3000; ++round) {
            // Full-size segments at an MTU of 1500, a few bytes shorter (odd lengths too).
            Bytes payload(1460 - 40 - random() % 8);
            for (uint8_t& b : payload) {
                b = uint8_t(random());
            }
            Bytes frame = family.build(random, payload);
            size_t tcp = family.tcpOffset(frame);
            size_t segment = family.segmentLength(frame);
            // Random bytes where the checksums stand: the engine must not sum them.
            frame[tcp + 16] = uint8_t(random());
            frame[tcp + 17] = uint8_t(random());
            frame[FrameIpv4 + 10] = uint8_t(random());
            frame[FrameIpv4 + 11] = uint8_t(random());

            Bytes expected = frame;
            expected[tcp + 16] = expected[tcp + 17] = 0;
            Bytes pseudo = family.pseudoHeader(frame, FrameIpv4, tcp, segment);
            uint64_t total =
                WordTotal(pseudo.data(), pseudo.size()) + WordTotal(&expected[tcp], segment);
            severalFolds += FoldsNeeded(total) >= 2;
            uint16_t tcpSum = uint16_t(~ReferenceFold(total));
            expected[tcp + 16] = uint8_t(tcpSum >> 8);
            expected[tcp + 17] = uint8_t(tcpSum);
            if (family.headerChecksum) {
                expected[FrameIpv4 + 10] = expected[FrameIpv4 + 11] = 0;
                uint16_t ipSum =
                    uint16_t(~ReferenceFold(WordTotal(&expected[FrameIpv4], tcp - FrameIpv4)));
                expected[FrameIpv4 + 10] = uint8_t(ipSum >> 8);
                expected[FrameIpv4 + 11] = uint8_t(ipSum);
            }

            family.recompute(frame, FrameIpv4, tcp, segment);
            ASSERT_EQ(frame, expected) << family.name << " round " << round;
        }
        EXPECT_GT(severalFolds, 0) << family.name;
    }
}

} // namespace
