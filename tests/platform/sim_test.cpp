// The simulation must catch the mistakes a real kernel punishes, or the engine's tests
// would prove nothing about IRQL and lock discipline.
#include <gtest/gtest.h>

#include "sim.h"

namespace {

const uint32_t TestTag = KmPoolTag("Test");

class SimMisuse : public ::testing::Test {
  protected:
    void SetUp() override {
        SimSetMisuseMode(SimMisuseMode::Record);
        SimClearMisuse();
    }
    void TearDown() override { SimSetMisuseMode(SimMisuseMode::Abort); }
};

TEST_F(SimMisuse, AtDpcLevelAcquireBelowDispatchIsCaught) {
    KmSpinLock lock;
    KmInitializeSpinLock(&lock);
    KmAcquireSpinLockAtDpcLevel(&lock); // at PASSIVE_LEVEL: wrong
    EXPECT_EQ(SimMisuseCount(), 1u);
    EXPECT_STREQ(SimLastMisuse(), "at-DPC-level spin lock acquire below DISPATCH_LEVEL");
    SimRaiseIrql(KmDispatchLevel);
    KmReleaseSpinLockFromDpcLevel(&lock);
    SimLowerIrql(KmPassiveLevel);
    EXPECT_EQ(SimMisuseCount(), 1u);
}

TEST_F(SimMisuse, CorrectUseOfBothVariantsIsQuiet) {
    KmSpinLock lock;
    KmInitializeSpinLock(&lock);
    KmIrql old;
    KmAcquireSpinLock(&lock, &old);
    EXPECT_EQ(KmGetCurrentIrql(), KmDispatchLevel);
    EXPECT_EQ(SimLocksHeld(), 1);
    KmReleaseSpinLock(&lock, old);
    EXPECT_EQ(KmGetCurrentIrql(), KmPassiveLevel);
    SimRaiseIrql(KmDispatchLevel);
    KmAcquireSpinLockAtDpcLevel(&lock);
    KmReleaseSpinLockFromDpcLevel(&lock);
    SimLowerIrql(KmPassiveLevel);
    EXPECT_EQ(SimMisuseCount(), 0u);
    EXPECT_EQ(SimLocksHeld(), 0);
}

TEST_F(SimMisuse, DoubleReleaseAndRecursiveAcquireAreCaught) {
    KmSpinLock lock;
    KmInitializeSpinLock(&lock);
    KmIrql old;
    KmAcquireSpinLock(&lock, &old);
    KmIrql again;
    KmAcquireSpinLock(&lock, &again); // would deadlock on a real machine
    EXPECT_EQ(SimMisuseCount(), 1u);
    KmReleaseSpinLock(&lock, old);
    SimRaiseIrql(KmDispatchLevel);
    KmReleaseSpinLockFromDpcLevel(&lock); // not held any more
    SimLowerIrql(KmPassiveLevel);
    EXPECT_EQ(SimMisuseCount(), 2u);
}

TEST_F(SimMisuse, LoweringIrqlWithALockHeldIsCaught) {
    KmSpinLock lock;
    KmInitializeSpinLock(&lock);
    SimRaiseIrql(KmDispatchLevel);
    KmAcquireSpinLockAtDpcLevel(&lock);
    SimLowerIrql(KmPassiveLevel);
    EXPECT_EQ(SimMisuseCount(), 1u);
    SimRaiseIrql(KmDispatchLevel);
    KmReleaseSpinLockFromDpcLevel(&lock);
    SimLowerIrql(KmPassiveLevel);
}

TEST_F(SimMisuse, FreeWithWrongTagAndDoubleFreeAreCaught) {
    void* block = KmAllocatePool(32, TestTag);
    ASSERT_NE(block, nullptr);
    KmFreePool(block, KmPoolTag("Othr"));
    EXPECT_EQ(SimMisuseCount(), 1u);
    EXPECT_EQ(SimPoolUsageForTag(TestTag).blocks, 0u);
}

TEST(SimPool, AccountsPerTagAndInjectsFailures) {
    uint32_t other = KmPoolTag("Othr");
    SimPoolUsage before = SimPoolUsageForTag(TestTag);
    void* a = KmAllocatePool(100, TestTag);
    void* b = KmAllocatePool(28, TestTag);
    void* c = KmAllocatePool(7, other);
    SimPoolUsage during = SimPoolUsageForTag(TestTag);
    EXPECT_EQ(during.blocks - before.blocks, 2u);
    EXPECT_EQ(during.bytes - before.bytes, 128u);

    SimPoolFailAllocation(2);
    void* first = KmAllocatePool(1, TestTag);
    void* second = KmAllocatePool(1, TestTag);
    void* third = KmAllocatePool(1, TestTag);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);

    for (void* p : {a, b, first, third}) {
        KmFreePool(p, TestTag);
    }
    KmFreePool(c, other);
    EXPECT_EQ(SimPoolUsageForTag(TestTag).bytes, before.bytes);
    EXPECT_EQ(SimPoolUsageForTag(other).blocks, 0u);
}

TEST(SimClock, PinnedClockMovesOnlyWhenTold) {
    SimSetSystemTime(5000);
    EXPECT_EQ(KmQuerySystemTime(), 5000u);
    SimAdvanceSystemTime(10000000);
    EXPECT_EQ(KmQuerySystemTime(), 10005000u);
    SimUseRealClock();
    // Real time is past 2020 in 1601-based units.
    EXPECT_GT(KmQuerySystemTime(), 132223104000000000ull);
}

TEST(SimPoolTag, BytesStandInMemoryOrder) {
    uint32_t tag = KmPoolTag("IFlg");
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&tag);
    EXPECT_EQ(bytes[0], 'I');
    EXPECT_EQ(bytes[3], 'g');
}

} // namespace
