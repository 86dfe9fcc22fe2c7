#include <gtest/gtest.h>

#include <map>
#include <random>
#include <utility>
#include <vector>

#include "engine_fixture.h"
#include "keyed_table.h"

namespace {

class KeyedTableTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        table = CreateKeyedTable();
        ASSERT_NE(table, nullptr);
    }
    void TearDown() override {
        DestroyKeyedTable(table, false);
        EngineTest::TearDown();
    }
    std::vector<TableKey> KeysInOrder() {
        std::vector<TableKey> keys;
        KeyedTableForEach(
            table, false,
            [](void* context, TableKey key, const uint8_t*, uint32_t) {
                static_cast<std::vector<TableKey>*>(context)->push_back(key);
                return true;
            },
            &keys);
        return keys;
    }
    KeyedTable* table = nullptr;
};

TEST_F(KeyedTableTest, InsertReplacesValueAndLengthOfAnExistingKey) {
    TableKey key = MakeTableKey(7, 0, 3, 0);
    ASSERT_TRUE(KeyedTableInsert(table, false, key, "first value", 11));
    ASSERT_TRUE(KeyedTableInsert(table, false, key, "2nd", 3));
    EXPECT_EQ(KeyedTableCount(table, false), 1u);
    char out[32] = {};
    uint32_t length = sizeof out;
    ASSERT_TRUE(KeyedTableLookup(table, false, key, out, &length));
    EXPECT_EQ(length, 3u);
    EXPECT_STREQ(out, "2nd");
}

TEST_F(KeyedTableTest, ValuesAreClampedTo2048Bytes) {
    std::vector<uint8_t> big(5000);
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = uint8_t(i * 7);
    }
    ASSERT_TRUE(KeyedTableInsert(table, false, MakeTableKey(1, 0), big.data(), 5000));
    std::vector<uint8_t> out(5000, 0xEE);
    uint32_t length = 5000;
    ASSERT_TRUE(KeyedTableLookup(table, false, MakeTableKey(1, 0), out.data(), &length));
    EXPECT_EQ(length, 2048u);
    EXPECT_TRUE(std::equal(big.begin(), big.begin() + 2048, out.begin()));
    EXPECT_EQ(out[2048], 0xEE) << "nothing past the stored value is written";
}

TEST_F(KeyedTableTest, NullValueStoresZeroBytesOfTheGivenLength) {
    ASSERT_TRUE(KeyedTableInsert(table, false, MakeTableKey(2, 0), nullptr, 4));
    uint8_t out[8];
    std::fill(out, out + 8, 0xFF);
    uint32_t length = sizeof out;
    ASSERT_TRUE(KeyedTableLookup(table, false, MakeTableKey(2, 0), out, &length));
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(out[0] | out[1] | out[2] | out[3], 0);
}

TEST_F(KeyedTableTest, LookupCopiesAtMostTheCapacity) {
    std::vector<uint8_t> six(600, 0x5A);
    ASSERT_TRUE(KeyedTableInsert(table, false, MakeTableKey(1, 1), six.data(), 600));
    ASSERT_TRUE(KeyedTableInsert(table, false, MakeTableKey(2, 2), nullptr, 0));
    std::vector<uint8_t> out(600, 0);
    uint32_t length = 400;
    ASSERT_TRUE(KeyedTableLookup(table, false, MakeTableKey(1, 1), out.data(), &length));
    EXPECT_EQ(length, 400u);
    EXPECT_EQ(out[399], 0x5A);
    EXPECT_EQ(out[400], 0);

    length = 400;
    EXPECT_TRUE(KeyedTableLookup(table, false, MakeTableKey(2, 2), out.data(), &length));
    EXPECT_EQ(length, 0u) << "an empty value is found with length 0";
}

TEST_F(KeyedTableTest, MissingKeyAndLookupWithoutDestination) {
    uint8_t out[4];
    uint32_t length = sizeof out;
    EXPECT_FALSE(KeyedTableLookup(table, false, MakeTableKey(9, 9), out, &length));
    EXPECT_EQ(length, 0u);

    ASSERT_TRUE(KeyedTableInsert(table, false, MakeTableKey(9, 9), "abc", 3));
    length = 77;
    EXPECT_TRUE(KeyedTableLookup(table, false, MakeTableKey(9, 9), nullptr, &length));
    EXPECT_EQ(length, 77u) << "a presence check leaves the length alone";
}

TEST_F(KeyedTableTest, OrderedByKeyHighThenKeyLow) {
    // (KeyLow, KeyHigh) = (5, 1) sorts before (1, 2).
    ASSERT_TRUE(KeyedTableInsert(table, false, TableKey{1, 2}, nullptr, 0));
    ASSERT_TRUE(KeyedTableInsert(table, false, TableKey{5, 1}, nullptr, 0));
    ASSERT_TRUE(KeyedTableInsert(table, false, TableKey{~0ull, 1}, nullptr, 0));
    ASSERT_TRUE(KeyedTableInsert(table, false, TableKey{0, ~0ull}, nullptr, 0));
    std::vector<TableKey> keys = KeysInOrder();
    ASSERT_EQ(keys.size(), 4u);
    EXPECT_EQ(keys[0].KeyLow, 5u);
    EXPECT_EQ(keys[1].KeyLow, ~0ull) << "compared unsigned";
    EXPECT_EQ(keys[2].KeyHigh, 2u);
    EXPECT_EQ(keys[3].KeyHigh, ~0ull);
}

TEST_F(KeyedTableTest, KeysFromWordsFillHalvesLowWordFirst) {
    TableKey key = MakeTableKey(0x11111111, 0x22222222, 0x33333333, 0x44444444);
    EXPECT_EQ(key.KeyLow, 0x2222222211111111ull);
    EXPECT_EQ(key.KeyHigh, 0x4444444433333333ull);
    TableKey two = MakeTableKey(0xFFFF, 0x1);
    EXPECT_EQ(two.KeyHigh, 0u);
}

TEST_F(KeyedTableTest, DeleteRemovesOnlyTheNamedEntry) {
    ASSERT_TRUE(KeyedTableInsert(table, false, MakeTableKey(1, 0), "a", 1));
    ASSERT_TRUE(KeyedTableInsert(table, false, MakeTableKey(2, 0), "b", 1));
    EXPECT_TRUE(KeyedTableDelete(table, false, MakeTableKey(1, 0)));
    EXPECT_FALSE(KeyedTableDelete(table, false, MakeTableKey(1, 0)));
    uint32_t length = 0;
    EXPECT_TRUE(KeyedTableLookup(table, false, MakeTableKey(2, 0), nullptr, &length));
    EXPECT_EQ(KeyedTableCount(table, false), 1u);
}

TEST_F(KeyedTableTest, AgreesWithAReferenceMapUnderRandomOperations) {
    std::mt19937_64 random(20261208);
    std::map<std::pair<uint64_t, uint64_t>, uint32_t> reference; // (high, low) -> value
    for (int step = 0; step < 20000; ++step) {
        // A small key space makes replacements and deletions of present keys common.
        TableKey key{random() % 64, random() % 16};
        auto ref = std::make_pair(key.KeyHigh, key.KeyLow);
        switch (random() % 4) {
        case 0: {
            uint32_t value = uint32_t(random());
            ASSERT_TRUE(KeyedTableInsert(table, false, key, &value, sizeof value));
            reference[ref] = value;
            break;
        }
        case 1:
            ASSERT_EQ(KeyedTableDelete(table, false, key), reference.erase(ref) == 1);
            break;
        case 2: {
            // A take hands out what a look-up would and removes it; a short capacity cuts
            // the copy, not the removal.
            uint32_t value = 0;
            uint32_t length = step % 2 == 0 ? sizeof value : 2;
            bool found = KeyedTableTake(table, false, key, &value, &length);
            auto it = reference.find(ref);
            ASSERT_EQ(found, it != reference.end());
            if (found) {
                ASSERT_EQ(length, step % 2 == 0 ? sizeof value : 2u);
                ASSERT_EQ(value, step % 2 == 0 ? it->second : it->second & 0xFFFF);
                reference.erase(it);
            } else {
                ASSERT_EQ(length, 0u);
            }
            break;
        }
        default: {
            uint32_t value = 0;
            uint32_t length = sizeof value;
            bool found = KeyedTableLookup(table, false, key, &value, &length);
            auto it = reference.find(ref);
            ASSERT_EQ(found, it != reference.end());
            if (found) {
                ASSERT_EQ(value, it->second);
            }
        }
        }
    }
    ASSERT_EQ(KeyedTableCount(table, false), reference.size());
    std::vector<TableKey> keys = KeysInOrder();
    ASSERT_EQ(keys.size(), reference.size());
    size_t i = 0;
    for (const auto& entry : reference) {
        EXPECT_EQ(keys[i].KeyHigh, entry.first.first);
        EXPECT_EQ(keys[i].KeyLow, entry.first.second);
        ++i;
    }
}

TEST_F(KeyedTableTest, StaysBalancedUnderSequentialKeys) {
    // Sequential inserts and deletes are the worst case for an unbalanced tree; the
    // in-order walk's fixed stack only covers a balanced one.
    const uint32_t n = 100000;
    for (uint32_t i = 0; i < n; ++i) {
        ASSERT_TRUE(KeyedTableInsert(table, false, MakeTableKey(i, 0), &i, sizeof i));
    }
    for (uint32_t i = 0; i < n; i += 2) {
        ASSERT_TRUE(KeyedTableDelete(table, false, MakeTableKey(i, 0)));
    }
    std::vector<TableKey> keys = KeysInOrder();
    ASSERT_EQ(keys.size(), n / 2);
    for (size_t k = 0; k < keys.size(); ++k) {
        ASSERT_EQ(keys[k].KeyLow, 2 * k + 1);
    }
}

TEST_F(KeyedTableTest, AnEntryCostsItsValueAndASmallHeader) {
    SimPoolUsage before = SimPoolUsageForTag(EnginePoolTag);
    uint8_t value[16] = {};
    for (uint32_t i = 0; i < 1000; ++i) {
        ASSERT_TRUE(KeyedTableInsert(table, false, MakeTableKey(i, 0), value, sizeof value));
    }
    SimPoolUsage after = SimPoolUsageForTag(EnginePoolTag);
    EXPECT_LE((after.bytes - before.bytes) / 1000, 96u);
    EXPECT_EQ(after.blocks - before.blocks, 1000u) << "one block per entry";
}

TEST_F(KeyedTableTest, FailedAllocationLeavesTheTableUntouched) {
    ASSERT_TRUE(KeyedTableInsert(table, false, MakeTableKey(1, 0), "old", 3));
    SimPoolFailAllocation(1);
    EXPECT_FALSE(KeyedTableInsert(table, false, MakeTableKey(1, 0), "new", 3));
    EXPECT_TRUE(KeyedTableInsert(table, false, MakeTableKey(2, 0), "x", 1)); // next one works
    char out[4] = {};
    uint32_t length = 3;
    ASSERT_TRUE(KeyedTableLookup(table, false, MakeTableKey(1, 0), out, &length));
    EXPECT_STREQ(out, "old");
}

TEST_F(KeyedTableTest, LookupsAndDeletesNeverAllocate) {
    ASSERT_TRUE(KeyedTableInsert(table, false, MakeTableKey(1, 0), "v", 1));
    uint64_t allocations = SimPoolAllocationCount();
    uint32_t length = 1;
    char out;
    KeyedTableLookup(table, false, MakeTableKey(1, 0), &out, &length);
    KeyedTableDelete(table, false, MakeTableKey(1, 0));
    KeyedTableDelete(table, false, MakeTableKey(1, 0));
    EXPECT_EQ(SimPoolAllocationCount(), allocations);
}

TEST_F(KeyedTableTest, NullTableOperationsFailQuietly) {
    uint32_t length = 10;
    EXPECT_FALSE(KeyedTableInsert(nullptr, false, MakeTableKey(1, 0), "a", 1));
    EXPECT_FALSE(KeyedTableLookup(nullptr, false, MakeTableKey(1, 0), nullptr, &length));
    EXPECT_EQ(length, 0u);
    EXPECT_FALSE(KeyedTableDelete(nullptr, false, MakeTableKey(1, 0)));
    DestroyKeyedTable(nullptr, false);
}

// Removed nodes are kept as spares and reused for values of other lengths: what a lookup
// gives back is always the value stored last, and destroying the table frees spares too.
TEST_F(KeyedTableTest, DestroyFreesEveryEntryAndSpare) {
    KeyedTable* other = CreateKeyedTable();
    ASSERT_NE(other, nullptr);
    SimPoolUsage before = SimPoolUsageForTag(EnginePoolTag);
    uint8_t value[300];
    for (uint32_t i = 0; i < 500; ++i) {
        uint32_t length = 1 + i * 7 % 300;
        memset(value, int(i), length);
        ASSERT_TRUE(
            KeyedTableInsert(other, false, MakeTableKey(i * 37 % 500, i % 3), value, length));
        if (i % 2 == 1) {
            ASSERT_TRUE(
                KeyedTableDelete(other, false, MakeTableKey((i - 1) * 37 % 500, (i - 1) % 3)));
        }
    }
    for (uint32_t i = 1; i < 500; i += 2) {
        uint8_t read[300];
        uint32_t length = sizeof(read);
        ASSERT_TRUE(
            KeyedTableLookup(other, false, MakeTableKey(i * 37 % 500, i % 3), read, &length));
        ASSERT_EQ(length, 1 + i * 7 % 300);
        memset(value, int(i), length);
        ASSERT_EQ(memcmp(read, value, length), 0) << i;
    }
    KeyedTableInsert(other, false, MakeTableKey(1, 1), nullptr, 40);
    uint8_t zeros[40] = {};
    uint8_t read[40];
    uint32_t length = sizeof(read);
    ASSERT_TRUE(KeyedTableLookup(other, false, MakeTableKey(1, 1), read, &length));
    EXPECT_EQ(memcmp(read, zeros, sizeof(zeros)), 0) << "a reused node keeps old bytes";
    for (uint32_t i = 1; i < 500; i += 2) {
        ASSERT_TRUE(KeyedTableDelete(other, false, MakeTableKey(i * 37 % 500, i % 3)));
    }
    DestroyKeyedTable(other, false);
    SimPoolUsage after = SimPoolUsageForTag(EnginePoolTag);
    EXPECT_EQ(before.bytes - after.bytes, sizeof(KeyedTable));
}

TEST_F(KeyedTableTest, WorksAtDispatchLevelWithTheDpcVariants) {
    SimRaiseIrql(KmDispatchLevel);
    EXPECT_TRUE(KeyedTableInsert(table, true, MakeTableKey(3, 0), "d", 1));
    uint32_t length = 0;
    EXPECT_TRUE(KeyedTableLookup(table, true, MakeTableKey(3, 0), nullptr, &length));
    EXPECT_TRUE(KeyedTableDelete(table, true, MakeTableKey(3, 0)));
    EXPECT_EQ(KmGetCurrentIrql(), KmDispatchLevel);
    SimLowerIrql(KmPassiveLevel);
}

} // namespace
