// The engine's memory stays bounded whatever clients do, and normal traffic keeps working.
#include <gtest/gtest.h>

#include "engine_limits.h"
#include "keyed_table.h"
#include "session_state.h"
#include "smb_engine_fixture.h"

namespace {

const uint64_t Second = 10000000;

class LimitedTableTest : public EngineTest {
  protected:
    void TearDown() override {
        DestroyKeyedTable(table, false);
        EngineTest::TearDown();
    }
    KeyedTable* table = nullptr;
};

TEST_F(LimitedTableTest, RefusingTableFailsNewKeysAtItsLimitUntilEntriesGoStale) {
    table = CreateLimitedKeyedTable(4, TableFullPolicy::Refuse, 60 * Second);
    for (uint32_t k = 0; k < 4; ++k) {
        ASSERT_TRUE(KeyedTableInsert(table, false, MakeTableKey(k, 0), nullptr, 0));
    }
    EXPECT_FALSE(KeyedTableInsert(table, false, MakeTableKey(9, 0), nullptr, 0));
    EXPECT_TRUE(KeyedTableInsert(table, false, MakeTableKey(2, 0), "x", 1))
        << "replacing an existing key needs no room";
    EXPECT_EQ(KeyedTableCount(table, false), 4u);
    SimAdvanceSystemTime(61 * Second);
    EXPECT_TRUE(KeyedTableInsert(table, false, MakeTableKey(9, 0), nullptr, 0))
        << "a stale entry makes room";
    EXPECT_EQ(KeyedTableCount(table, false), 4u);
}

TEST_F(LimitedTableTest, EvictingTableDropsItsOldestSampledEntry) {
    table = CreateLimitedKeyedTable(3, TableFullPolicy::EvictOldest, 0);
    ASSERT_TRUE(KeyedTableInsert(table, false, MakeTableKey(5, 0), nullptr, 0));
    SimAdvanceSystemTime(1);
    ASSERT_TRUE(KeyedTableInsert(table, false, MakeTableKey(1, 0), nullptr, 0));
    SimAdvanceSystemTime(1);
    ASSERT_TRUE(KeyedTableInsert(table, false, MakeTableKey(3, 0), nullptr, 0));
    SimAdvanceSystemTime(1);
    ASSERT_TRUE(KeyedTableInsert(table, false, MakeTableKey(7, 0), nullptr, 0));
    EXPECT_EQ(KeyedTableCount(table, false), 3u);
    uint32_t length = 0;
    EXPECT_FALSE(KeyedTableLookup(table, false, MakeTableKey(5, 0), nullptr, &length))
        << "the first stored is the one to go";
    EXPECT_TRUE(KeyedTableLookup(table, false, MakeTableKey(1, 0), nullptr, &length));
}

TEST_F(LimitedTableTest, PurgeStepsRemoveOnlyStaleEntriesAndWrapAround) {
    table = CreateLimitedKeyedTable(0, TableFullPolicy::Refuse, 60 * Second);
    for (uint32_t k = 0; k < 20; ++k) {
        ASSERT_TRUE(KeyedTableInsert(table, false, MakeTableKey(k, 0), nullptr, 0));
    }
    SimAdvanceSystemTime(30 * Second);
    for (uint32_t k = 20; k < 30; ++k) {
        ASSERT_TRUE(KeyedTableInsert(table, false, MakeTableKey(k, 0), nullptr, 0));
    }
    SimAdvanceSystemTime(31 * Second); // the first 20 are 61 s old, the rest 31 s
    uint64_t now = KmQuerySystemTime();
    EXPECT_EQ(KeyedTablePurgeStep(table, false, now, 8), 8u) << "one bounded step";
    uint32_t removed = 8;
    for (int step = 0; step < 10; ++step) {
        removed += KeyedTablePurgeStep(table, false, now, 8);
    }
    EXPECT_EQ(removed, 20u);
    EXPECT_EQ(KeyedTableCount(table, false), 10u);
    uint32_t length = 0;
    EXPECT_TRUE(KeyedTableLookup(table, false, MakeTableKey(25, 0), nullptr, &length));
    EXPECT_EQ(KeyedTablePurgeStep(table, false, now, 100), 0u);
}

class BoundedEngineTest : public SmbEngineTest {};

// A client that sends creates and never sees an answer: every create leaves a pending
// entry and, when denied, a mark. Neither table grows past its limit, and once the
// entries are stale, normal traffic records and decides as before.
TEST_F(BoundedEngineTest, UnansweredRequestsCannotGrowTheEngine) {
    const uint64_t alice = 0x11;
    Login2(alice, "alice");
    Connect2(alice, 1, "\\\\srv\\docs");
    Rules({Rule("docs", "alice", "01000000")});
    Smb2CreateFields fields;
    fields.name = "flood.txt";
    fields.shareAccess = 4; // denied: a mark as well
    Bytes frame =
        BuildTcpFrame(client, server, NetbiosWrap(Smb2CreateRequest({alice, 1, 0}, fields)));
    const uint32_t flood = RequestTableLimit + 5000;
    for (uint32_t id = 1; id <= flood; ++id) {
        Bytes copy = frame;
        for (int b = 0; b < 8; ++b) {
            // MessageIds far from those of the session's later requests.
            copy[FrameSmbHeader + 24 + b] = uint8_t((uint64_t(id) | 1ull << 40) >> (8 * b));
        }
        InspectInbound(copy.data(), uint32_t(copy.size()), false);
    }
    EXPECT_EQ(KeyedTableCount(g_Engine.Smb2.PendingCreates, false), RequestTableLimit);
    EXPECT_EQ(KeyedTableCount(g_Engine.Smb2.CreateDeleteMarks, false), RequestTableLimit);
    EXPECT_LE(EnginePoolInUse(), EnginePoolBudget);
    Events();

    SimAdvanceSystemTime(61 * Second);
    FileId file = Open2(alice, 1, "plan.xlsx");
    Rules({Rule("docs", "alice", "00100000")});
    Smb2Ids ids{alice, 1, 999999999};
    EXPECT_TRUE(Request(Smb2WriteRequest(ids, file))) << "the open file was recorded again";
    EXPECT_TRUE(Response(Smb2ErrorResponse(9, ids, 0xC0000008)));
    // Traffic keeps purging what is stale, a few entries per frame.
    for (int i = 0; i < 20000; ++i) {
        Request(Smb2WriteRequest({alice, 1, 5}, {1, 1}));
    }
    EXPECT_LT(KeyedTableCount(g_Engine.Smb2.PendingCreates, false), RequestTableLimit);
}

TEST_F(BoundedEngineTest, AMillionSessionsStayWithinTheSessionLimit) {
    Bytes blob = SpnegoResponse(NtlmAuthenticate("mallory", "evil", "x"));
    Bytes frame = BuildTcpFrame(TestClient(66), server,
                                NetbiosWrap(Smb2SessionSetupRequest({0, 0, 1}, blob)));
    for (uint32_t session = 1; session <= 1000000; ++session) {
        for (int b = 0; b < 4; ++b) {
            frame[FrameSmbHeader + 40 + b] = uint8_t(session >> (8 * b)); // SessionId
        }
        InspectInbound(frame.data(), uint32_t(frame.size()), false);
    }
    EXPECT_EQ(KeyedTableCount(g_Engine.SessionUserTable, false), SessionTableLimit);
    EXPECT_LE(EnginePoolInUse(), EnginePoolBudget);

    // A real user logs on afterwards and is decided as usual.
    const uint64_t alice = 0x7000000000000001ull;
    Login2(alice, "alice");
    Connect2(alice, 4, "\\\\srv\\docs");
    Rules({Rule("docs", "alice", "11000000")});
    Smb2CreateFields fields;
    fields.name = "old.txt";
    fields.desiredAccess = 0x10000;
    fields.createOptions = 0x1000;
    EXPECT_TRUE(Request(Smb2CreateRequest({alice, 4, 77}, fields)));
    std::vector<FileEvent> events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(Ascii(events[0].UserName), "alice");
}

TEST_F(BoundedEngineTest, PoolBudgetRefusesLikeAnExhaustedPool) {
    // Hold the budget up to its last page, then traffic that needs memory degrades quietly.
    std::vector<std::pair<void*, size_t>> held;
    for (size_t chunk : {size_t(1) << 20, size_t(4096)}) {
        while (EnginePoolInUse() + chunk <= EnginePoolBudget) {
            void* block = EngineAllocate(chunk);
            ASSERT_NE(block, nullptr);
            held.emplace_back(block, chunk);
        }
    }
    EXPECT_EQ(EngineAllocate(4096), nullptr);
    Login2(0x21, "alice"); // no room to store it: the request passes undecoded
    SessionUser user;
    EXPECT_FALSE(GetSessionUser(false, 0x21, &user));
    for (auto [block, bytes] : held) {
        EngineFree(block, bytes);
    }
    Login2(0x21, "alice");
    EXPECT_TRUE(GetSessionUser(false, 0x21, &user)) << "works again once memory is back";
}

} // namespace
