// The model of NDIS 5 on its own: its packet layout and limits, its failure injection, and
// the checks that stand for what a real NDIS would punish. Each misuse must be reported.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "model.h"
#include "sim.h"

namespace {

NDIS_HANDLE DriverPool(uint32_t descriptors = 4, uint32_t reserved = 16) {
    NDIS_STATUS status;
    NDIS_HANDLE pool;
    NdisAllocatePacketPoolEx(&status, &pool, descriptors, 0, reserved);
    EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
    return pool;
}

NDIS_HANDLE BufferPool() {
    NDIS_STATUS status;
    NDIS_HANDLE pool;
    NdisAllocateBufferPool(&status, &pool, 4);
    EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
    return pool;
}

NDIS_PACKET* Packet(NDIS_HANDLE pool) {
    NDIS_STATUS status;
    NDIS_PACKET* packet = nullptr;
    NdisAllocatePacket(&status, &packet, pool);
    return packet;
}

TEST(Ndis5Model, PacketsCarryTheirOobDataAndPerPacketInfoBehindTheReservedArea) {
    for (uint32_t reserved : {16u, 32u, 3u}) {
        NDIS_HANDLE pool = DriverPool(2, reserved);
        NDIS_PACKET* p = Packet(pool);
        ASSERT_NE(p, nullptr);
        EXPECT_GE(p->Private.NdisPacketOobOffset,
                  offsetof(NDIS_PACKET, ProtocolReserved) + reserved);
        EXPECT_EQ(p->Private.NdisPacketOobOffset % 8, 0);
        EXPECT_TRUE(p->Private.NdisPacketFlags & fPACKET_ALLOCATED_BY_NDIS);
        std::memset(p->ProtocolReserved, 0xEE, reserved);
        NdisOobDataFromPacket(p)->Status = NDIS_STATUS_RESOURCES;
        for (void*& info : NdisPacketExtensionFromPacket(p)->NdisPacketInfo) {
            info = p;
        }
        NDIS_PACKET* copy = Packet(pool);
        NdisIMCopySendPerPacketInfo(copy, p);
        EXPECT_EQ(NdisPacketExtensionFromPacket(copy)->NdisPacketInfo[OriginalPacketInfo], p);
        // The pool's limit: descriptors plus overflow.
        EXPECT_EQ(Packet(pool), nullptr);
        NdisFreePacket(copy);
        NdisFreePacket(p);
        NdisFreePacketPool(pool);
    }
    EXPECT_EQ(sim5::Outstanding().packets, 0);
    EXPECT_EQ(sim5::Outstanding().packetPools, 0);
}

TEST(Ndis5Model, FailureInjectionReachesPoolsPacketsBuffersAndMemory) {
    NDIS_HANDLE pool = DriverPool();
    NDIS_HANDLE buffers = BufferPool();
    uint8_t data[8];
    std::function<bool()> allocations[] = {
        [&] {
            NDIS_STATUS s;
            NDIS_HANDLE p;
            NdisAllocateBufferPool(&s, &p, 1);
            return s == NDIS_STATUS_SUCCESS && (NdisFreeBufferPool(p), true);
        },
        [&] {
            NDIS_STATUS s;
            NDIS_HANDLE p;
            NdisAllocatePacketPoolEx(&s, &p, 1, 0, 0);
            return s == NDIS_STATUS_SUCCESS && (NdisFreePacketPool(p), true);
        },
        [&] {
            NDIS_PACKET* p = Packet(pool);
            return p != nullptr && (NdisFreePacket(p), true);
        },
        [&] {
            NDIS_STATUS s;
            NDIS_BUFFER* b;
            NdisAllocateBuffer(&s, &b, buffers, data, 8);
            return s == NDIS_STATUS_SUCCESS && (NdisFreeBuffer(b), true);
        },
        [&] {
            void* m;
            return NdisAllocateMemory(&m, 8, NDIS_MEMORY_CONTIGUOUS, -1) == NDIS_STATUS_SUCCESS &&
                   (NdisFreeMemory(m, 8, NDIS_MEMORY_CONTIGUOUS), true);
        },
    };
    for (auto& allocate : allocations) {
        SimPoolFailAllocation(1);
        EXPECT_FALSE(allocate());
        SimPoolFailAllocation(0);
        EXPECT_TRUE(allocate());
    }
    NdisFreePacketPool(pool);
    NdisFreeBufferPool(buffers);
    EXPECT_EQ(sim5::Outstanding().bufferPools, 0);
}

TEST(Ndis5Model, MisuseIsReported) {
    struct Case {
        const char* expected;
        std::function<void()> misuse;
    } cases[] = {
        {"freed twice",
         [] {
             NDIS_HANDLE pool = DriverPool();
             NDIS_PACKET* p = Packet(pool);
             NdisFreePacket(p);
             NdisFreePacket(p);
             NdisFreePacketPool(pool);
         }},
        {"packets still allocated",
         [] {
             NDIS_HANDLE pool = DriverPool();
             NDIS_PACKET* p = Packet(pool);
             NdisFreePacketPool(pool);
             NdisFreePacket(p);
             NdisFreePacketPool(pool);
         }},
        {"another length",
         [] {
             void* m;
             NdisAllocateMemoryWithTag(&m, 32, KmPoolTag("Test"));
             NdisFreeMemory(m, 31, 0);
         }},
        {"below DISPATCH_LEVEL",
         [] {
             NDIS_HANDLE pool = DriverPool();
             NDIS_STATUS s;
             NDIS_PACKET* p;
             NdisDprAllocatePacket(&s, &p, pool);
             SimRaiseIrql(KmDispatchLevel);
             NdisDprFreePacket(p);
             SimLowerIrql(KmPassiveLevel);
             NdisFreePacketPool(pool);
         }},
        {"not one the adapter indicated",
         [] {
             NDIS_HANDLE pool = DriverPool();
             NDIS_PACKET* p = Packet(pool);
             NdisReturnPackets(&p, 1);
             NdisFreePacket(p);
             NdisFreePacketPool(pool);
         }},
        {"not its own",
         [] {
             uint8_t data[4];
             NDIS_BUFFER* b = sim5::NewBuffer(sim5::Owner::Above, data, 4, true);
             NdisFreeBuffer(b);
             sim5::DeleteBuffer(b);
         }},
        {"not a live buffer pool",
         [] {
             NDIS_HANDLE pool = DriverPool();
             uint8_t data[4];
             NDIS_STATUS s;
             NDIS_BUFFER* b;
             NdisAllocateBuffer(&s, &b, pool, data, 4);
             NdisFreeBuffer(b);
             NdisFreePacketPool(pool);
         }},
        {"contiguous NdisAllocateMemory above PASSIVE_LEVEL",
         [] {
             void* m;
             SimRaiseIrql(KmDispatchLevel);
             NdisAllocateMemory(&m, 16, NDIS_MEMORY_CONTIGUOUS, -1);
             SimLowerIrql(KmPassiveLevel);
             NdisFreeMemory(m, 16, NDIS_MEMORY_CONTIGUOUS);
         }},
        {"contiguous memory freed above PASSIVE_LEVEL",
         [] {
             void* m;
             NdisAllocateMemory(&m, 16, NDIS_MEMORY_CONTIGUOUS, -1);
             SimRaiseIrql(KmDispatchLevel);
             NdisFreeMemory(m, 16, NDIS_MEMORY_CONTIGUOUS);
             SimLowerIrql(KmPassiveLevel);
         }},
        {"NdisWaitEvent above PASSIVE_LEVEL",
         [] {
             NDIS_EVENT e;
             NdisInitializeEvent(&e);
             NdisSetEvent(&e);
             SimRaiseIrql(KmDispatchLevel);
             NdisWaitEvent(&e, 0);
             SimLowerIrql(KmPassiveLevel);
         }},
    };
    SimSetMisuseMode(SimMisuseMode::Record);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        SimClearMisuse();
        c.misuse();
        EXPECT_EQ(SimMisuseCount(), 1u);
        EXPECT_NE(std::string(SimLastMisuse()).find(c.expected), std::string::npos)
            << SimLastMisuse();
    }
    SimSetMisuseMode(SimMisuseMode::Abort);
    sim5::DriverObjects left = sim5::Outstanding();
    EXPECT_EQ(left.packets, 0);
    EXPECT_EQ(left.packetPools, 0);
    EXPECT_EQ(left.memoryBlocks, 0);
}

} // namespace
