// Internals of the NDIS 5 model shared by its files.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "../misuse.h"
#include "../sim.h"
#include "ndis5_sim.h"

namespace sim5 {

enum class Owner { Driver, Below, Above };

// Every packet pool; the driver's come from NdisAllocatePacketPoolEx.
struct PacketPool {
    uint32_t magic;
    Owner owner;
    uint32_t reservedLength;
    uint32_t limit;
    std::atomic<int64_t> inUse{0};
};

// Raises the calling thread to DISPATCH_LEVEL for the scope (when asked).
class DispatchScope {
  public:
    explicit DispatchScope(bool raise = true)
        : raised_(raise && KmGetCurrentIrql() < KmDispatchLevel) {
        if (raised_) {
            SimRaiseIrql(KmDispatchLevel);
        }
    }
    ~DispatchScope() {
        if (raised_) {
            SimLowerIrql(KmPassiveLevel);
        }
    }

  private:
    bool raised_;
};

const uint32_t NdisMemoryTag = KmPoolTag("NDIS");

struct Model {
    std::mutex lock;
    NDIS_MINIPORT_CHARACTERISTICS miniport{};
    NDIS_PROTOCOL_CHARACTERISTICS protocol{};
    bool miniportRegistered = false;
    bool protocolRegistered = false;
    bool wrapperOpen = false;
    void (*unload)(void*) = nullptr;
    LoadOptions load;
    // The control device.
    bool deviceExists = false;
    int deviceRegistrations = 0;
    KmDispatchRoutine dispatch[KmIrpMjMaximumFunction + 1] = {};
    std::vector<Binding*> bindings;
    std::vector<std::thread> completions; // threads of pending open, close and init
    std::atomic<int64_t> pools{0}, packets{0}, buffers{0}, configurations{0}, bufferPools{0};
    std::set<const void*> liveBufferPools;
    int reEnumerations = 0;
    bool associated = false;   // NdisIMAssociateMiniport was called
    std::atomic<int> waits{0}; // NdisWaitEvent and NdisMSleep calls so far
};
Model& TheModel();

// Packets and buffers for the actors (not counted as the driver's, never failed).
PacketPool* NewPool(Owner owner, uint32_t reservedLength);
void DeletePool(PacketPool* pool);
NDIS_PACKET* NewPacket(PacketPool* pool, bool countForDriver);
void DeletePacket(NDIS_PACKET* packet);
PacketPool* PoolOf(NDIS_PACKET* packet); // null when not a live packet of the model
NDIS_BUFFER* NewBuffer(Owner owner, void* data, uint32_t length, bool mapped);
void DeleteBuffer(NDIS_BUFFER* buffer);
void MakeUnmappable(NDIS_BUFFER* buffer);
bool IsDriverBuffer(NDIS_BUFFER* buffer);
std::vector<uint8_t> PacketBytes(NDIS_PACKET* packet);
// The packet's bytes read again when it comes back; false when the packet or one of its
// buffers is no longer alive.
bool PacketBytesIfAlive(NDIS_PACKET* packet, std::vector<uint8_t>* bytes);

// Binding look-ups for the NDIS calls.
Binding* BindingByUpperName(const NDIS_STRING* name);
Binding* BindingByLowerName(const NDIS_STRING* name);

} // namespace sim5
