#include <gtest/gtest.h>

#include "engine_fixture.h"
#include "engine_state.h"

namespace {

TEST(EngineLifecycle, StartCreatesEveryTableRingAndBlockEmpty) {
    ASSERT_TRUE(EngineStart());
    const EngineState& e = g_Engine;
    EXPECT_FALSE(InspectionEnabled());
    for (KeyedTable* t : {e.SessionUserTable, e.TreeTable, e.IpcTreeTable, e.OpenFileTable,
                          e.UnknownSessionMarks, e.ClientAdmissionTable}) {
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(KeyedTableCount(t, false), 0u);
    }
    const DialectTables& s1 = e.Smb1;
    const DialectTables& s2 = e.Smb2;
    for (KeyedTable* t : {s1.PendingTreeConnects, s1.PendingCreates,    s1.WriteMarks,
                          s1.CreateClientMarks,   s1.CreateAccessMarks, s1.CreateNewMarks,
                          s1.CreateDeleteMarks,   s1.DeleteMarks,       s1.RenameMarks,
                          s1.QueryPathMarks,      s1.QueryFileMarks,    s2.PendingTreeConnects,
                          s2.PendingCreates,      s2.WriteMarks,        s2.CreateClientMarks,
                          s2.CreateAccessMarks,   s2.CreateNewMarks,    s2.CreateDeleteMarks,
                          s2.DeleteMarks,         s2.RenameMarks,       s2.QueryInfoMarks}) {
        EXPECT_NE(t, nullptr);
    }
    EXPECT_EQ(s1.QueryInfoMarks, nullptr) << "SMB1 has no QueryInfoMarks";
    EXPECT_EQ(s2.QueryPathMarks, nullptr) << "SMB2 has no QueryPathMarks";
    EXPECT_EQ(s2.QueryFileMarks, nullptr);
    ASSERT_NE(e.Settings, nullptr);
    EXPECT_EQ(e.Settings->AdmissionControl, 0);
    EXPECT_EQ(e.Settings->PrefixCount, 0);
    ASSERT_NE(e.KnownClients, nullptr);
    EXPECT_EQ(e.KnownClients->MacCount, 0);
    EXPECT_NE(e.FileEventRing, nullptr);
    EXPECT_NE(e.LearnedGrantRing, nullptr);
    ASSERT_NE(e.TrafficStats, nullptr);
    EXPECT_EQ(e.TrafficStats->InboundPackets, 0u);
    EXPECT_EQ(e.RuleList, nullptr);
    EXPECT_EQ(e.RuleCount, 0u);
    EXPECT_EQ(e.TemplateCount, 0u);

    EngineStop();
    EXPECT_EQ(g_Engine.SessionUserTable, nullptr);
    EXPECT_EQ(g_Engine.Smb1.RenameMarks, nullptr);
    EXPECT_EQ(g_Engine.TrafficStats, nullptr);
    EXPECT_EQ(SimPoolUsageForTag(EnginePoolTag).blocks, 0u);
}

TEST(EngineLifecycle, StopReleasesTableEntriesAndPushedLists) {
    ASSERT_TRUE(EngineStart());
    KeyedTableInsert(g_Engine.TreeTable, false, MakeTableKey(1, 0, 2), "tree", 4);
    KeyedTableInsert(g_Engine.Smb2.WriteMarks, false, MakeTableKey(9, 0, 2), nullptr, 0);
    g_Engine.RuleList = static_cast<AccessRule*>(EngineAllocateZeroed(3 * sizeof(AccessRule)));
    g_Engine.RuleCount = 3;
    g_Engine.TemplateList = static_cast<ShareTemplate*>(EngineAllocateZeroed(sizeof(AccessRule)));
    g_Engine.TemplateCount = 1;
    EngineStop();
    EXPECT_EQ(g_Engine.RuleCount, 0u);
    EXPECT_EQ(SimPoolUsageForTag(EnginePoolTag).bytes, 0u);
}

// Failing each allocation of the start-up in turn must always end in a clean failure:
// whatever was allocated before the failing one is released again.
TEST(EngineLifecycle, FailureAtEveryAllocationOfStartLeavesNothingBehind) {
    uint64_t before = SimPoolAllocationCount();
    ASSERT_TRUE(EngineStart());
    uint64_t allocations = SimPoolAllocationCount() - before;
    EngineStop();
    ASSERT_GT(allocations, 30u) << "tables, rings and blocks are all allocated at start";

    for (uint64_t nth = 1; nth <= allocations; ++nth) {
        SimPoolFailAllocation(nth);
        EXPECT_FALSE(EngineStart()) << "allocation " << nth << " failed";
        SimPoolFailAllocation(0);
        SimPoolUsage usage = SimPoolUsageForTag(EnginePoolTag);
        EXPECT_EQ(usage.blocks, 0u) << "after failing allocation " << nth;
        EXPECT_EQ(usage.bytes, 0u);
        EXPECT_EQ(g_Engine.SessionUserTable, nullptr);
    }
    ASSERT_TRUE(EngineStart()) << "a later start works again";
    EngineStop();
}

TEST(EngineLifecycle, StopWithoutStartIsHarmless) {
    EngineStop();
    EngineStop();
    EXPECT_EQ(SimPoolUsageForTag(EnginePoolTag).blocks, 0u);
}

class AdmissionTest : public EngineTest {};

TEST_F(AdmissionTest, PresenceAdmitsWhateverTheStoredByte) {
    uint32_t address = 0x0B0200C0; // 192.0.2.11 in header byte order
    uint8_t zero = 0;
    ASSERT_TRUE(
        KeyedTableInsert(g_Engine.ClientAdmissionTable, false, MakeTableKey(address, 0), &zero, 1));
    uint8_t value = 0xAA;
    EXPECT_TRUE(IsAdmittedClient(false, address, &value));
    EXPECT_EQ(value, 0);
    EXPECT_FALSE(IsAdmittedClient(false, address + 1, &value));
}

TEST_F(AdmissionTest, AnEntryWithoutAValueByteDoesNotAdmit) {
    uint32_t address = 0x0C0200C0;
    ASSERT_TRUE(KeyedTableInsert(g_Engine.ClientAdmissionTable, false, MakeTableKey(address, 0),
                                 nullptr, 0));
    uint8_t value = 0;
    EXPECT_FALSE(IsAdmittedClient(false, address, &value));
}

TEST_F(AdmissionTest, MissingTableAdmitsNobody) {
    DestroyKeyedTable(g_Engine.ClientAdmissionTable, false);
    g_Engine.ClientAdmissionTable = nullptr;
    uint8_t value = 0;
    EXPECT_FALSE(IsAdmittedClient(false, 0x0B0200C0, &value));
}

TEST_F(AdmissionTest, LookupAtDispatchLevel) {
    uint8_t one = 1;
    KeyedTableInsert(g_Engine.ClientAdmissionTable, false, MakeTableKey(5, 0), &one, 1);
    SimRaiseIrql(KmDispatchLevel);
    uint8_t value = 0;
    EXPECT_TRUE(IsAdmittedClient(true, 5, &value));
    SimLowerIrql(KmPassiveLevel);
    EXPECT_EQ(value, 1);
}

} // namespace
