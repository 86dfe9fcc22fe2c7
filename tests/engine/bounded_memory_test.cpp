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

// Which entry a full table gives up for a new one: the new entry's owner's own oldest
// first (a client's flood pushes out its own), else the oldest of the lowest rank, never
// one of a higher rank than the new entry's; a refusing table gives up only its own or
// stale entries.
TEST_F(LimitedTableTest, EvictionOrderUnderAFullTable) {
    const uint32_t A = 0x0A0200C0, B = 0x0B0200C0, C = 0x0C0200C0;
    struct Entry {
        uint32_t key, owner;
        uint8_t rank;
    };
    struct Case {
        const char* what;
        TableFullPolicy policy;
        std::vector<Entry> stored; // oldest first
        Entry fresh;
        uint32_t evicted; // 0: the insert fails and nothing goes
    } cases[] = {
        {"own oldest before an older stranger's",
         TableFullPolicy::EvictOldest,
         {{1, B, 0}, {2, A, 0}, {3, A, 0}},
         {9, A, 0},
         2},
        {"no own entry: the oldest",
         TableFullPolicy::EvictOldest,
         {{1, B, 0}, {2, C, 0}, {3, B, 0}},
         {9, A, 0},
         1},
        {"a lower rank before an older higher one",
         TableFullPolicy::EvictOldest,
         {{1, B, 1}, {2, C, 0}, {3, B, 1}},
         {9, A, 0},
         2},
        {"never a higher rank than the new entry's",
         TableFullPolicy::EvictOldest,
         {{1, B, 1}, {2, C, 1}, {3, B, 1}},
         {9, A, 0},
         0},
        {"a ranked entry may push out a ranked stranger",
         TableFullPolicy::EvictOldest,
         {{1, B, 1}, {2, C, 1}, {3, B, 1}},
         {9, A, 1},
         1},
        {"own entries by rank, then age",
         TableFullPolicy::EvictOldest,
         {{1, A, 1}, {2, B, 0}, {3, A, 0}},
         {9, A, 1},
         3},
        {"refusing: the owner's own fresh entry",
         TableFullPolicy::Refuse,
         {{1, B, 0}, {2, A, 0}, {3, B, 0}},
         {9, A, 0},
         2},
        {"refusing: no stranger's fresh entry",
         TableFullPolicy::Refuse,
         {{1, B, 0}, {2, C, 0}, {3, B, 0}},
         {9, A, 0},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        table = CreateLimitedKeyedTable(uint32_t(c.stored.size()), c.policy, 60 * Second);
        for (const Entry& e : c.stored) {
            ASSERT_TRUE(KeyedTableInsertOwned(table, false, MakeTableKey(e.key, 0), nullptr, 0,
                                              e.owner, e.rank));
            SimAdvanceSystemTime(1);
        }
        EXPECT_EQ(KeyedTableInsertOwned(table, false, MakeTableKey(c.fresh.key, 0), nullptr, 0,
                                        c.fresh.owner, c.fresh.rank),
                  c.evicted != 0);
        for (const Entry& e : c.stored) {
            uint32_t length = 0;
            EXPECT_EQ(KeyedTableLookup(table, false, MakeTableKey(e.key, 0), nullptr, &length),
                      e.key != c.evicted)
                << "key " << e.key;
        }
        EXPECT_EQ(KeyedTableCount(table, false), uint32_t(c.stored.size()));
        DestroyKeyedTable(table, false);
        table = nullptr;
    }
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

// A million set-ups that the server never accepts (no answer comes) name nobody: they
// stay pending within the request limit and evict their sender's own. A million guest
// logons the server does accept fill the session table, but never push out the session
// of a user who logged on before them, nor its tree.
TEST_F(BoundedEngineTest, AMillionSessionsStayWithinTheSessionLimit) {
    const uint64_t alice = 0x7000000000000001ull;
    Login2(alice, "alice");
    Connect2(alice, 4, "\\\\srv\\docs");
    Bytes blob = SpnegoResponse(NtlmAuthenticate("mallory", "evil", "x"));
    Endpoint mallory = TestClient(66);
    Bytes frame =
        BuildTcpFrame(mallory, server, NetbiosWrap(Smb2SessionSetupRequest({0, 0, 1}, blob)));
    Bytes guest =
        BuildTcpFrame(server, mallory, NetbiosWrap(Smb2SessionSetupResponse({0, 0, 1}, 1)));
    for (uint32_t session = 1; session <= 1000000; ++session) {
        for (int b = 0; b < 4; ++b) {
            frame[FrameSmbHeader + 40 + b] = uint8_t(session >> (8 * b)); // SessionId
            frame[FrameSmbHeader + 24 + b] = uint8_t(session >> (8 * b)); // MessageId
        }
        InspectInbound(frame.data(), uint32_t(frame.size()), false);
    }
    EXPECT_EQ(KeyedTableCount(g_Engine.SessionUserTable, false), 1u) << "only alice";
    EXPECT_EQ(KeyedTableCount(g_Engine.Smb2.PendingChanges, false), RequestTableLimit);
    for (uint32_t session = 1; session <= 1000000; ++session) {
        for (int b = 0; b < 4; ++b) {
            guest[FrameSmbHeader + 40 + b] = uint8_t(session >> (8 * b));
            guest[FrameSmbHeader + 24 + b] = uint8_t((session + 7) >> (8 * b));
        }
        InspectOutbound(guest.data(), uint32_t(guest.size()), false);
    }
    EXPECT_EQ(KeyedTableCount(g_Engine.SessionUserTable, false), SessionTableLimit);
    EXPECT_LE(EnginePoolInUse(), EnginePoolBudget);
    SessionUser user;
    ASSERT_TRUE(GetSessionUser(false, alice, &user)) << "alice's session survives";
    EXPECT_EQ(Ascii(user.UserName), "alice");
    EXPECT_TRUE(IsKnownSessionTree(false, alice, 4));
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
