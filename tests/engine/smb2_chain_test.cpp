#include <gtest/gtest.h>

#include <vector>

#include "frames.h"
#include "smb2_chain.h"

namespace {

struct Seen {
    size_t offset;
    uint32_t available;
};
std::vector<Seen> g_seen;
const uint8_t* g_message;

bool Record(uint8_t*, uint8_t* header, uint32_t available, FrameView*, bool) {
    g_seen.push_back({size_t(header - g_message), available});
    return g_seen.size() == 2; // "rewrites" the second member only
}

Bytes Member(uint16_t command, uint32_t flags, size_t body) {
    Smb2Fields fields;
    fields.command = command;
    fields.flags = flags;
    return Smb2Message(fields, Bytes(body, 0));
}

void SetNext(Bytes& message, size_t headerAt, uint32_t next) {
    for (int i = 0; i < 4; ++i) {
        message[headerAt + 20 + i] = uint8_t(next >> (8 * i));
    }
}

bool Walk(Bytes& netbios, SmbDirection direction = SmbDirection::Request) {
    g_seen.clear();
    g_message = netbios.data() + 4;
    FrameView view{};
    uint32_t length = uint32_t(netbios.size() - 4);
    return WalkSmb2Chain(netbios.data(), length, &view, false, direction, Record);
}

TEST(Smb2Chain, ThreeMembersAreHandedOnWithTheirOwnExtents) {
    Bytes netbios =
        NetbiosWrap(Smb2Compound({Member(5, 0, 60), Member(16, 0, 41), Member(6, 0, 24)}));
    EXPECT_TRUE(Walk(netbios)) << "one member rewritten makes the chain rewritten";
    ASSERT_EQ(g_seen.size(), 3u);
    EXPECT_EQ(g_seen[0].offset, 0u);
    EXPECT_EQ(g_seen[0].available, 128u);
    EXPECT_EQ(g_seen[1].offset, 128u);
    EXPECT_EQ(g_seen[1].available, 112u); // 105 padded to 8
    EXPECT_EQ(g_seen[2].offset, 240u);
    EXPECT_EQ(g_seen[2].available, 88u);
}

TEST(Smb2Chain, FirstNextCommandZeroIsOneMessage) {
    Bytes netbios = NetbiosWrap(Concat({Member(5, 0, 56), Member(5, 0, 56)}));
    Walk(netbios);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0].available, 240u);
}

TEST(Smb2Chain, BadNextCommandEndsTheWalkAfterItsMember) {
    for (uint32_t next : {0xFFFFFFC0u, 124u, 40u, 240u, 1000u}) {
        Bytes message = Smb2Compound({Member(5, 0, 56), Member(5, 0, 56)});
        SetNext(message, 0, next);
        Bytes netbios = NetbiosWrap(message);
        Walk(netbios);
        ASSERT_EQ(g_seen.size(), 1u) << "NextCommand " << next;
        EXPECT_EQ(g_seen[0].available, message.size());
    }
}

TEST(Smb2Chain, MemberWhoseFixedPartDoesNotFitIsNotHandedOn) {
    // A CREATE request needs 56 body bytes; this one has 20 before the message ends.
    Bytes netbios = NetbiosWrap(Smb2Compound({Member(6, 0, 24), Member(5, 0, 20)}));
    Walk(netbios);
    ASSERT_EQ(g_seen.size(), 1u);
    // A response may be a short error response whatever its command.
    Bytes responses = NetbiosWrap(Smb2Compound({Member(5, 1, 9), Member(5, 1, 9)}));
    Walk(responses, SmbDirection::Response);
    EXPECT_EQ(g_seen.size(), 2u);
    // Even a header that does not fit is not handed on.
    Bytes cut = NetbiosWrap(Bytes(63, 0xFE));
    Walk(cut);
    EXPECT_TRUE(g_seen.empty());
}

} // namespace
