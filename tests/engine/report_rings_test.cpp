#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine_fixture.h"
#include "report_rings.h"

namespace {

class ReportRingsTest : public EngineTest {
  protected:
    void Report(uint8_t kind, const SessionUser* user = nullptr) {
        const uint16_t path[] = {'d', 'o', 'c', 's'};
        ReportFileEvent(false, 0x0B0200C0, nullptr, 0x020000000011ull, kind, kind % 2, user, path,
                        sizeof path);
    }
    std::vector<FileEvent> Drain() {
        std::vector<FileEvent> out(FileEventRingSlots);
        uint32_t bytes = DrainFileEventRing(false, out.data());
        EXPECT_EQ(bytes % sizeof(FileEvent), 0u);
        out.resize(bytes / sizeof(FileEvent));
        return out;
    }
};

TEST_F(ReportRingsTest, EventCarriesEverythingReported) {
    SessionUser user{};
    user.UserName[0] = 'a';
    user.WorkstationName[0] = 'w';
    user.DomainName[0] = 'd';
    user.ClientMac = 99; // not copied: the event has its own client fields
    SimSetSystemTime(TestEpoch + 12345);
    Report(3, &user);
    std::vector<FileEvent> events = Drain();
    ASSERT_EQ(events.size(), 1u);
    const FileEvent& e = events[0];
    EXPECT_EQ(e.ClientAddress, 0x0B0200C0u);
    EXPECT_EQ(e.ClientMac, 0x020000000011ull);
    EXPECT_EQ(e.Time, TestEpoch + 12345);
    EXPECT_EQ(e.Kind, 3);
    EXPECT_EQ(e.Blocked, 1);
    EXPECT_EQ(e.UserName[0], 'a');
    EXPECT_EQ(e.WorkstationName[0], 'w');
    EXPECT_EQ(e.DomainName[0], 'd');
    EXPECT_EQ(e.Path[0], 'd');
    EXPECT_EQ(e.Path[6], 's');
    EXPECT_EQ(e.Path[8], 0);
}

TEST_F(ReportRingsTest, EventWithoutUserHasEmptyNames) {
    SessionUser user{};
    std::memset(user.UserName, 0x41, sizeof user.UserName);
    Report(1, &user);
    Report(2); // reuses nothing of the first slot's names
    Drain();
    Report(2);
    std::vector<FileEvent> events = Drain();
    ASSERT_EQ(events.size(), 1u);
    for (uint16_t unit : events[0].UserName) {
        ASSERT_EQ(unit, 0);
    }
}

TEST_F(ReportRingsTest, EmptyRingReadsNothingAndReadsEmptyTheRing) {
    EXPECT_TRUE(Drain().empty());
    Report(1);
    Report(2);
    Report(3);
    EXPECT_EQ(Drain().size(), 3u);
    EXPECT_TRUE(Drain().empty()) << "the second read returns nothing";
}

TEST_F(ReportRingsTest, TwentyEventsComeBackInArrivalOrder) {
    for (uint8_t k = 1; k <= 20; ++k) {
        Report(k);
    }
    std::vector<FileEvent> events = Drain();
    ASSERT_EQ(events.size(), 20u);
    for (uint8_t k = 0; k < 20; ++k) {
        EXPECT_EQ(events[k].Kind, k + 1);
    }
}

TEST_F(ReportRingsTest, OverflowStartsTheRingOver) {
    for (uint8_t k = 1; k <= 21; ++k) {
        Report(k);
    }
    std::vector<FileEvent> events = Drain();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Kind, 21);

    for (uint8_t k = 1; k <= 25; ++k) {
        Report(k);
    }
    events = Drain();
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[0].Kind, 21);
    EXPECT_EQ(events[4].Kind, 25);
}

TEST_F(ReportRingsTest, LongPathIsCutSoThatItStaysTerminated) {
    std::vector<uint16_t> path(600, 'x');
    ReportFileEvent(false, 0, nullptr, 0, 1, 0, nullptr, path.data(), 1200);
    std::vector<FileEvent> events = Drain();
    ASSERT_EQ(events.size(), 1u);
    uint16_t units[515];
    std::memcpy(units, events[0].Path, sizeof units);
    EXPECT_EQ(units[510], 'x');
    EXPECT_EQ(units[511], 0);
    EXPECT_EQ(units[514], 0);

    // An odd byte count copies an odd number of bytes.
    const uint8_t odd[] = {'a', 0, 'b'};
    ReportFileEvent(false, 0, nullptr, 0, 1, 0, nullptr, odd, 3);
    events = Drain();
    EXPECT_EQ(events[0].Path[2], 'b');
    EXPECT_EQ(events[0].Path[3], 0);
}

TEST_F(ReportRingsTest, ReportingAllocatesNothingAndWorksAtDispatch) {
    uint64_t allocations = SimPoolAllocationCount();
    SimRaiseIrql(KmDispatchLevel);
    const uint16_t path[] = {'p'};
    ReportFileEvent(true, 1, nullptr, 2, 4, 1, nullptr, path, 2);
    SimLowerIrql(KmPassiveLevel);
    EXPECT_EQ(SimPoolAllocationCount(), allocations);
    EXPECT_EQ(Drain().size(), 1u);
}

std::vector<uint16_t> Utf16(const char* text) {
    std::vector<uint16_t> units(text, text + std::strlen(text));
    units.push_back(0);
    return units;
}

TEST_F(ReportRingsTest, LearnedGrantsQueueAndOverflowLikeEvents) {
    for (int i = 0; i < 22; ++i) {
        std::string share = "share" + std::to_string(i);
        AppendLearnedGrant(false, Utf16("alice").data(), Utf16(share.c_str()).data());
    }
    std::vector<LearnedGrant> grants(LearnedGrantRingSlots);
    uint32_t bytes = DrainLearnedGrantRing(false, grants.data());
    ASSERT_EQ(bytes, 2 * sizeof(LearnedGrant));
    EXPECT_EQ(grants[0].UserName[0], 'a');
    EXPECT_EQ(grants[0].ShareName[5], '2');
    EXPECT_EQ(grants[0].ShareName[6], '0');
    EXPECT_EQ(grants[1].ShareName[6], '1');
    EXPECT_EQ(DrainLearnedGrantRing(false, grants.data()), 0u);
}

TEST_F(ReportRingsTest, LearnedGrantNamesAreCutAndTerminated) {
    std::vector<uint16_t> longUser(100, 'u');
    longUser.push_back(0);
    std::vector<uint16_t> longShare(300, 's');
    longShare.push_back(0);
    AppendLearnedGrant(false, Utf16("a-much-longer-earlier-user").data(),
                       Utf16("an-earlier-share-name").data());
    DrainLearnedGrantRing(false, std::vector<LearnedGrant>(20).data());
    AppendLearnedGrant(false, longUser.data(), longShare.data());
    AppendLearnedGrant(false, Utf16("bo").data(), Utf16("x").data());
    std::vector<LearnedGrant> grants(LearnedGrantRingSlots);
    ASSERT_EQ(DrainLearnedGrantRing(false, grants.data()), 2 * sizeof(LearnedGrant));
    EXPECT_EQ(grants[0].UserName[62], 'u');
    EXPECT_EQ(grants[0].UserName[63], 0);
    EXPECT_EQ(grants[0].ShareName[254], 's');
    EXPECT_EQ(grants[0].ShareName[255], 0);
    EXPECT_EQ(grants[1].UserName[2], 0);
    EXPECT_EQ(grants[1].ShareName[1], 0);
}

TEST_F(ReportRingsTest, StatisticsReadDoesNotResetCounters) {
    g_Engine.TrafficStats->InboundPackets = 7;
    g_Engine.TrafficStats->OutboundBytes = 900;
    SmbTrafficStats stats;
    ReadTrafficStats(&stats);
    ReadTrafficStats(&stats);
    EXPECT_EQ(stats.InboundPackets, 7u);
    EXPECT_EQ(stats.OutboundBytes, 900u);
}

} // namespace
