// Memory, packet pools, packets, buffers and events of the NDIS 5 model.
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "../ndis_shared.h"
#include "model.h"

namespace sim5 {
namespace {

const uint32_t PoolMagic = 0x4C4F4F50;   // "POOL"
const uint32_t PacketMagic = 0x544B5050; // "PPKT"
const uint32_t BufferMagic = 0x46465542; // "BUFF"
const uint32_t DeadMagic = 0x44414544;   // "DEAD"

struct PacketHeader {
    uint32_t magic;
    uint32_t pad;
    PacketPool* pool;
};
static_assert(sizeof(PacketHeader) % 16 == 0, "keeps the descriptor aligned");

struct BufferRecord {
    uint32_t magic;
    Owner owner;
    void* data; // where the bytes are, even when the MDL cannot be mapped
    NDIS_BUFFER mdl;
};

PacketHeader* HeaderOf(NDIS_PACKET* packet) {
    return reinterpret_cast<PacketHeader*>(packet) - 1;
}

BufferRecord* RecordOf(NDIS_BUFFER* buffer) {
    return reinterpret_cast<BufferRecord*>(reinterpret_cast<uint8_t*>(buffer) -
                                           offsetof(BufferRecord, mdl));
}

// Live packets and buffers: a freed one is found missing here, never read after its free.
SimLiveObjects g_live;

bool Live(const void* object) {
    return g_live.Live(object);
}

void SetLive(const void* object, bool live) {
    g_live.Set(object, live);
}

uint32_t OobOffset(uint32_t reservedLength) {
    return uint32_t(offsetof(NDIS_PACKET, ProtocolReserved)) + ((reservedLength + 7) & ~7u);
}

} // namespace

Model& TheModel() {
    static Model model;
    return model;
}

PacketPool* NewPool(Owner owner, uint32_t reservedLength) {
    auto* pool = new PacketPool;
    pool->magic = PoolMagic;
    pool->owner = owner;
    pool->reservedLength = reservedLength;
    pool->limit = 0;
    return pool;
}

void DeletePool(PacketPool* pool) {
    if (pool->magic != PoolMagic) {
        SimReportMisuse("packet pool freed twice or not a pool");
        return;
    }
    if (pool->inUse.load() != 0) {
        SimReportMisuse("packet pool freed with packets still allocated");
        return; // kept, so that its packets can still be freed
    }
    pool->magic = DeadMagic;
    delete pool;
}

NDIS_PACKET* NewPacket(PacketPool* pool, bool countForDriver) {
    if (pool == nullptr || pool->magic != PoolMagic) {
        SimReportMisuse("packet allocated from something that is not a live pool");
        return nullptr;
    }
    if (pool->limit != 0 && uint64_t(pool->inUse.load()) >= pool->limit) {
        return nullptr;
    }
    uint32_t oob = OobOffset(pool->reservedLength);
    size_t size =
        sizeof(PacketHeader) + oob + sizeof(NDIS_PACKET_OOB_DATA) + sizeof(NDIS_PACKET_EXTENSION);
    auto* header = static_cast<PacketHeader*>(std::calloc(1, size));
    header->magic = PacketMagic;
    header->pool = pool;
    auto* packet = reinterpret_cast<NDIS_PACKET*>(header + 1);
    packet->Private.Pool = reinterpret_cast<NDIS_PACKET_POOL_BLOCK*>(pool);
    packet->Private.NdisPacketFlags = fPACKET_ALLOCATED_BY_NDIS;
    packet->Private.NdisPacketOobOffset = uint16_t(oob);
    pool->inUse += 1;
    SetLive(packet, true);
    if (countForDriver) {
        TheModel().packets += 1;
    }
    return packet;
}

PacketPool* PoolOf(NDIS_PACKET* packet) {
    if (packet == nullptr || !Live(packet)) {
        return nullptr;
    }
    PacketHeader* header = HeaderOf(packet);
    return header->magic == PacketMagic ? header->pool : nullptr;
}

void DeletePacket(NDIS_PACKET* packet) {
    PacketPool* pool = PoolOf(packet);
    if (pool == nullptr) {
        SimReportMisuse("packet freed twice or not a packet");
        return;
    }
    if (pool->owner == Owner::Driver) {
        TheModel().packets -= 1;
    }
    pool->inUse -= 1;
    SetLive(packet, false);
    HeaderOf(packet)->magic = DeadMagic;
    std::free(HeaderOf(packet));
}

NDIS_BUFFER* NewBuffer(Owner owner, void* data, uint32_t length, bool mapped) {
    auto* record = new BufferRecord{};
    record->magic = BufferMagic;
    record->owner = owner;
    record->data = data;
    uintptr_t address = reinterpret_cast<uintptr_t>(data);
    record->mdl.Size = int16_t(sizeof(NDIS_BUFFER));
    record->mdl.StartVa = reinterpret_cast<void*>(address & ~uintptr_t(0xFFF));
    record->mdl.ByteOffset = uint32_t(address & 0xFFF);
    record->mdl.ByteCount = length;
    if (mapped) {
        record->mdl.MdlFlags = NdisMdlSourceIsNonpagedPool;
        record->mdl.MappedSystemVa = data;
    }
    if (owner == Owner::Driver) {
        TheModel().buffers += 1;
    }
    SetLive(&record->mdl, true);
    return &record->mdl;
}

void DeleteBuffer(NDIS_BUFFER* buffer) {
    BufferRecord* record = RecordOf(buffer);
    if (!Live(buffer) || record->magic != BufferMagic) {
        SimReportMisuse("buffer freed twice or not a buffer");
        return;
    }
    if (record->owner == Owner::Driver) {
        TheModel().buffers -= 1;
    }
    SetLive(buffer, false);
    record->magic = DeadMagic;
    delete record;
}

void MakeUnmappable(NDIS_BUFFER* buffer) {
    buffer->MdlFlags = 0;
    buffer->MappedSystemVa = nullptr;
    buffer->StartVa = nullptr;
    buffer->ByteOffset = 0;
}

bool IsDriverBuffer(NDIS_BUFFER* buffer) {
    if (!Live(buffer)) {
        return false;
    }
    BufferRecord* record = RecordOf(buffer);
    return record->magic == BufferMagic && record->owner == Owner::Driver;
}

std::vector<uint8_t> PacketBytes(NDIS_PACKET* packet) {
    std::vector<uint8_t> bytes;
    for (NDIS_BUFFER* b = packet->Private.Head; b != nullptr; b = b->Next) {
        auto* data = static_cast<uint8_t*>(RecordOf(b)->data);
        bytes.insert(bytes.end(), data, data + b->ByteCount);
        if (b == packet->Private.Tail) {
            break;
        }
    }
    return bytes;
}

bool PacketBytesIfAlive(NDIS_PACKET* packet, std::vector<uint8_t>* bytes) {
    if (PoolOf(packet) == nullptr) {
        return false;
    }
    for (NDIS_BUFFER* b = packet->Private.Head; b != nullptr; b = b->Next) {
        if (!Live(b) || RecordOf(b)->magic != BufferMagic) {
            return false;
        }
        if (b == packet->Private.Tail) {
            break;
        }
    }
    *bytes = PacketBytes(packet);
    return true;
}

DriverObjects Outstanding() {
    Model& m = TheModel();
    std::lock_guard<std::mutex> hold(m.lock);
    return {m.pools.load(),        m.packets.load(),        m.buffers.load(),
            SimNdisMemoryBlocks(), m.configurations.load(), m.bufferPools.load()};
}

} // namespace sim5

using namespace sim5;

// ---- Memory ----
NDIS_STATUS NdisAllocateMemoryWithTag(void** block, uint32_t length, uint32_t tag) {
    *block = SimNdisAllocateMemory(length, tag, 0, SimFreeLength::Exact);
    return *block != nullptr ? NDIS_STATUS_SUCCESS : NDIS_STATUS_RESOURCES;
}

NDIS_STATUS NdisAllocateMemory(void** block, uint32_t length, uint32_t flags, int64_t) {
    *block = SimNdisAllocateMemory(length, NdisMemoryTag, flags, SimFreeLength::Exact);
    return *block != nullptr ? NDIS_STATUS_SUCCESS : NDIS_STATUS_RESOURCES;
}

// ---- Packet pools and packets ----
void NdisAllocatePacketPoolEx(NDIS_STATUS* status, NDIS_HANDLE* handle, uint32_t descriptors,
                              uint32_t overflow, uint32_t reservedLength) {
    if (!SimAllocationAllowed()) {
        *status = NDIS_STATUS_RESOURCES;
        return;
    }
    PacketPool* pool = NewPool(Owner::Driver, reservedLength);
    pool->limit = descriptors + overflow;
    TheModel().pools += 1;
    *handle = pool;
    *status = NDIS_STATUS_SUCCESS;
}

void NdisFreePacketPool(NDIS_HANDLE handle) {
    auto* pool = static_cast<PacketPool*>(handle);
    if (pool->owner != Owner::Driver) {
        SimReportMisuse("the driver freed a packet pool that is not its own");
        return;
    }
    if (pool->inUse.load() == 0) {
        TheModel().pools -= 1;
    }
    DeletePool(pool);
}

void NdisAllocatePacket(NDIS_STATUS* status, NDIS_PACKET** packet, NDIS_HANDLE pool) {
    *packet = SimAllocationAllowed() ? NewPacket(static_cast<PacketPool*>(pool), true) : nullptr;
    *status = *packet != nullptr ? NDIS_STATUS_SUCCESS : NDIS_STATUS_RESOURCES;
}

void NdisDprAllocatePacket(NDIS_STATUS* status, NDIS_PACKET** packet, NDIS_HANDLE pool) {
    if (KmGetCurrentIrql() != KmDispatchLevel) {
        SimReportMisuse("NdisDprAllocatePacket below DISPATCH_LEVEL");
    }
    NdisAllocatePacket(status, packet, pool);
}

void NdisFreePacket(NDIS_PACKET* packet) {
    PacketPool* pool = PoolOf(packet);
    if (pool != nullptr && pool->owner != Owner::Driver) {
        SimReportMisuse("the driver freed a packet that is not its own");
        return;
    }
    DeletePacket(packet);
}

void NdisDprFreePacket(NDIS_PACKET* packet) {
    if (KmGetCurrentIrql() != KmDispatchLevel) {
        SimReportMisuse("NdisDprFreePacket below DISPATCH_LEVEL");
    }
    NdisFreePacket(packet);
}

void NdisAllocateBufferPool(NDIS_STATUS* status, NDIS_HANDLE* handle, uint32_t) {
    if (!SimAllocationAllowed()) {
        *handle = nullptr;
        *status = NDIS_STATUS_RESOURCES;
        return;
    }
    Model& m = TheModel();
    auto* pool = new uint32_t(0);
    {
        std::lock_guard<std::mutex> hold(m.lock);
        m.liveBufferPools.insert(pool);
    }
    m.bufferPools += 1;
    *handle = pool;
    *status = NDIS_STATUS_SUCCESS;
}

void NdisFreeBufferPool(NDIS_HANDLE handle) {
    Model& m = TheModel();
    {
        std::lock_guard<std::mutex> hold(m.lock);
        if (m.liveBufferPools.erase(handle) == 0) {
            SimReportMisuse("NdisFreeBufferPool of something that is not a live buffer pool");
            return;
        }
    }
    m.bufferPools -= 1;
    delete static_cast<uint32_t*>(handle);
}

int8_t NdisSystemProcessorCount() {
    return int8_t(TheModel().load.processorCount);
}

void NdisAllocateBuffer(NDIS_STATUS* status, NDIS_BUFFER** buffer, NDIS_HANDLE pool, void* data,
                        uint32_t length) {
    {
        Model& m = TheModel();
        std::lock_guard<std::mutex> hold(m.lock);
        if (m.liveBufferPools.count(pool) == 0) {
            SimReportMisuse("NdisAllocateBuffer from something that is not a live buffer pool");
        }
    }
    if (!SimAllocationAllowed()) {
        *buffer = nullptr;
        *status = NDIS_STATUS_RESOURCES;
        return;
    }
    *buffer = NewBuffer(Owner::Driver, data, length, true);
    *status = NDIS_STATUS_SUCCESS;
}

void NdisFreeBuffer(NDIS_BUFFER* buffer) {
    if (!IsDriverBuffer(buffer)) {
        SimReportMisuse("the driver freed a buffer that is not its own");
        return;
    }
    DeleteBuffer(buffer);
}

void NdisIMCopySendPerPacketInfo(NDIS_PACKET* to, NDIS_PACKET* from) {
    std::memcpy(NdisPacketExtensionFromPacket(to), NdisPacketExtensionFromPacket(from),
                sizeof(NDIS_PACKET_EXTENSION));
}

void NdisIMCopySendCompletePerPacketInfo(NDIS_PACKET* to, NDIS_PACKET* from) {
    NdisIMCopySendPerPacketInfo(to, from);
}

// ---- Events and sleeping ----
namespace {

std::atomic<int>* EventWord(NDIS_EVENT* event) {
    static_assert(sizeof(std::atomic<int>) <= sizeof(NDIS_EVENT), "event word fits");
    return reinterpret_cast<std::atomic<int>*>(event);
}

} // namespace

void NdisInitializeEvent(NDIS_EVENT* event) {
    new (EventWord(event)) std::atomic<int>(0);
}

void NdisSetEvent(NDIS_EVENT* event) {
    EventWord(event)->store(1);
}

void NdisResetEvent(NDIS_EVENT* event) {
    EventWord(event)->store(0);
}

uint8_t NdisWaitEvent(NDIS_EVENT* event, uint32_t) {
    if (KmGetCurrentIrql() != KmPassiveLevel) {
        SimReportMisuse("NdisWaitEvent above PASSIVE_LEVEL");
    }
    TheModel().waits += 1;
    while (EventWord(event)->load() == 0) {
        std::this_thread::yield();
    }
    return 1;
}

namespace {
std::mutex g_hookLock;
std::function<void()> g_sleepHook;
} // namespace

void sim5::OnNextSleep(std::function<void()> hook) {
    std::lock_guard<std::mutex> hold(g_hookLock);
    g_sleepHook = std::move(hook);
}

void NdisMSleep(uint32_t microseconds) {
    if (KmGetCurrentIrql() != KmPassiveLevel) {
        SimReportMisuse("NdisMSleep above PASSIVE_LEVEL");
    }
    TheModel().waits += 1;
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> hold(g_hookLock);
        hook.swap(g_sleepHook);
    }
    if (hook) {
        hook();
    }
    std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
}
