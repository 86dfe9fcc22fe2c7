// The intermediate driver loaded on the model of NDIS 5 for each test; at the end every
// binding is undone, the driver unloaded, and nothing it took from the model or the pool
// may be left.
#pragma once

#include <gtest/gtest.h>

#include <cstring>

#include "control_codes.h"
#include "engine_fixture.h"
#include "im.h"
#include "ndis5_sim.h"
#include "pool.h"

class ImTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SimSetSystemTime(TestEpoch);
        ASSERT_EQ(sim5::LoadDriver(), NDIS_STATUS_SUCCESS);
    }
    void TearDown() override {
        // Newest first: its record stands first in the driver's list, so each later halt
        // walks past where the earlier ones stood.
        for (auto it = bindings.rbegin(); it != bindings.rend(); ++it) {
            sim5::Binding* b = *it;
            b->CompleteSends();
            if (b->MiniportUp()) {
                b->ReturnPackets();
            }
            sim5::Unbind(b);
        }
        // Every halted record left the driver's list: one left behind is freed memory.
        EXPECT_EQ(g_Im.AdapterList, nullptr);
        sim5::UnloadDriver();
        ExpectNothingLeft(true);
        SimUseRealClock();
    }
    // Nothing of the bindings' (and, once the driver is gone, nothing of the engine's).
    static void ExpectNothingLeft(bool unloaded = false) {
        sim5::DriverObjects left = sim5::Outstanding();
        EXPECT_EQ(left.packetPools, 0);
        EXPECT_EQ(left.packets, 0);
        EXPECT_EQ(left.buffers, 0);
        EXPECT_EQ(left.memoryBlocks, 0);
        EXPECT_EQ(left.configurations, 0);
        EXPECT_EQ(left.bufferPools, 0);
        EXPECT_EQ(SimPoolUsageForTag(ImAdapterPoolTag).blocks, 0u);
        EXPECT_EQ(SimPoolUsageForTag(ImFrameBlockTag).blocks, 0u);
        if (unloaded) {
            EXPECT_EQ(SimPoolUsageForTag(EnginePoolTag).blocks, 0u);
        }
    }

    sim5::Binding* Bind(const sim5::AdapterOptions& options = {}) {
        NDIS_STATUS status;
        sim5::Binding* b = sim5::Bind(options, &status);
        EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
        bindings.push_back(b);
        return b;
    }
    void Unbind(sim5::Binding* b) {
        bindings.erase(std::find(bindings.begin(), bindings.end(), b));
        EXPECT_EQ(sim5::Unbind(b), NDIS_STATUS_SUCCESS);
    }
    // A control request through the driver's control device.
    ControlStatusBlock Control(uint32_t code, std::vector<uint8_t> input, uint32_t outputLength) {
        sim5::DeviceControlResult result{};
        uint32_t inputLength = uint32_t(input.size());
        EXPECT_TRUE(sim5::DeviceControl(code, input, inputLength, outputLength, &result));
        lastOutput = input;
        return ControlStatusBlock{result.status, result.information};
    }
    template <typename T> void Push(uint32_t code, const std::vector<T>& records) {
        std::vector<uint8_t> bytes(records.size() * sizeof(T));
        if (!bytes.empty()) {
            std::memcpy(bytes.data(), records.data(), bytes.size());
        }
        EXPECT_EQ(Control(code, bytes, 4).status, 0u);
    }

    std::vector<sim5::Binding*> bindings;
    std::vector<uint8_t> lastOutput;
};
