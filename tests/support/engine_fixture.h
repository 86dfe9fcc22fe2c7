// A started engine per test, with inspection on and the clock pinned; at the end the
// engine is stopped and every pool byte it took must be back.
#pragma once

#include <gtest/gtest.h>

#include "engine_state.h"
#include "pool.h"
#include "sim.h"

// 2026-01-01 00:00 UTC in 100-ns units since 1601.
const uint64_t TestEpoch = 134115264000000000ull;

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SimSetSystemTime(TestEpoch);
        ASSERT_TRUE(EngineStart());
        SetInspectionEnabled(true);
    }
    void TearDown() override {
        EngineStop();
        SimPoolUsage usage = SimPoolUsageForTag(EnginePoolTag);
        EXPECT_EQ(usage.blocks, 0u) << "engine pool blocks leaked";
        EXPECT_EQ(usage.bytes, 0u) << "engine pool bytes leaked";
        SimUseRealClock();
    }
};
