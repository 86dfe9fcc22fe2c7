#include <gtest/gtest.h>

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

} // namespace
