// What the NDIS 5 and NDIS 6 models share: one record of the memory NDIS hands out, so that
// one NdisFreeMemory serves both, and sets of live objects that tell a freed object
// without reading it.
#pragma once

#include <cstdint>
#include <mutex>
#include <set>

// Objects handed out and not yet freed.
class SimLiveObjects {
  public:
    void Set(const void* object, bool live) {
        std::lock_guard<std::mutex> hold(lock_);
        if (live) {
            objects_.insert(object);
        } else {
            objects_.erase(object);
        }
    }
    bool Live(const void* object) {
        std::lock_guard<std::mutex> hold(lock_);
        return objects_.count(object) != 0;
    }

  private:
    std::mutex lock_;
    std::set<const void*> objects_;
};

// How NdisFreeMemory must name a block's length: NdisAllocateMemory[WithTag] blocks by their
// exact length; NdisAllocateMemoryWithTagPriority blocks by it or by 0, as the NDIS 6 filter
// sample frees them.
enum class SimFreeLength { Exact, ExactOrZero };

// A block of the simulated pool under `tag`, recorded for NdisFreeMemory; null when the
// pool's failure injection refuses it.
void* SimNdisAllocateMemory(uint32_t length, uint32_t tag, uint32_t flags, SimFreeLength free);
// Blocks allocated that way and not yet freed.
int64_t SimNdisMemoryBlocks();
