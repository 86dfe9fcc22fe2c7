// Tagged pool with per-tag accounting and fault injection.
//
// The accounting takes no process-wide lock: like the kernel's per-processor pool
// tracking tables, each thread counts into a shard of its own with plain loads and
// stores, and a reader adds the shards up. A block freed by another thread than the one
// that allocated it leaves one shard short and the other over; the sum stays right.
#include <atomic>
#include <cstdlib>

#include "misuse.h"
#include "sim.h"

namespace {

const int MaxTags = 32;
// Threads that count at the same time; more share one slower, locked shard.
const int MaxShards = 64;

// Each block carries its size and tag in front of the caller's bytes, so a free can
// check the tag and settle the account. 16 bytes keep the caller's part aligned.
struct BlockHeader {
    uint64_t bytes;
    uint32_t tag;
    uint32_t magic;
};
static_assert(sizeof(BlockHeader) == 16, "block header keeps 16-byte alignment");
const uint32_t LiveMagic = 0x4B4D5053;  // "SPMK"
const uint32_t FreedMagic = 0x44455246; // "FRED"

// Tags get a slot on first use; slots are never given back.
std::atomic<uint32_t> g_tags[MaxTags];

struct Shard {
    std::atomic<bool> owned;
    std::atomic<uint64_t> allocations;
    std::atomic<uint64_t> blocks[MaxTags];
    std::atomic<uint64_t> bytes[MaxTags];
};
Shard g_shards[MaxShards];
Shard g_sharedShard; // for threads beyond MaxShards: updated with locked adds

// Fault injection: when armed, the allocation that takes the countdown to zero fails.
std::atomic<bool> g_armed{false};
std::atomic<uint64_t> g_countdown{0};

// Adds to a counter of the calling thread's shard. An owned shard has one writer.
void Add(Shard* shard, std::atomic<uint64_t>* counter, uint64_t delta) {
    if (shard == &g_sharedShard) {
        counter->fetch_add(delta, std::memory_order_relaxed);
    } else {
        counter->store(counter->load(std::memory_order_relaxed) + delta, std::memory_order_relaxed);
    }
}

// A thread holds a shard from its first pool call until it ends; the counts stay in the
// shard for the next thread that takes it.
struct ShardLease {
    Shard* shard = nullptr;
    ~ShardLease() {
        if (shard != nullptr && shard != &g_sharedShard) {
            shard->owned.store(false, std::memory_order_release);
        }
        // Pool calls made later in this thread's exit count into the shared shard.
        shard = &g_sharedShard;
    }
};
thread_local ShardLease t_lease;

Shard* MyShard() {
    if (t_lease.shard != nullptr) {
        return t_lease.shard;
    }
    t_lease.shard = &g_sharedShard;
    for (Shard& shard : g_shards) {
        bool expected = false;
        if (shard.owned.compare_exchange_strong(expected, true, std::memory_order_acquire)) {
            t_lease.shard = &shard;
            break;
        }
    }
    return t_lease.shard;
}

// The slot of a tag, claimed on first use; -1 when every slot holds another tag.
int SlotOf(uint32_t tag) {
    if (tag == 0) {
        return -1; // 0 marks a free slot
    }
    for (int i = 0; i < MaxTags; ++i) {
        uint32_t held = g_tags[i].load(std::memory_order_acquire);
        if (held == tag) {
            return i;
        }
        if (held == 0) {
            uint32_t expected = 0;
            if (g_tags[i].compare_exchange_strong(expected, tag) || expected == tag) {
                return i;
            }
        }
    }
    return -1;
}

// A few tags a thread used last, with their slots (slots are never given back, so a
// remembered slot stays right): a host's per-frame blocks skip the walk over the tags.
struct RecentTag {
    uint32_t tag;
    int slot;
};
thread_local RecentTag t_recent[4];

int CachedSlotOf(uint32_t tag) {
    RecentTag& recent = t_recent[(tag ^ tag >> 8 ^ tag >> 16 ^ tag >> 24) & 3];
    if (recent.tag != tag || tag == 0) {
        int slot = SlotOf(tag);
        if (slot < 0) {
            return slot;
        }
        recent = RecentTag{tag, slot};
    }
    return recent.slot;
}

void Account(uint32_t tag, int64_t blocks, int64_t bytes) {
    int slot = CachedSlotOf(tag);
    if (slot < 0) {
        return;
    }
    Shard* shard = MyShard();
    Add(shard, &shard->blocks[slot], uint64_t(blocks));
    Add(shard, &shard->bytes[slot], uint64_t(bytes));
}

bool InjectedFailure() {
    if (!g_armed.load(std::memory_order_relaxed)) {
        return false;
    }
    if (g_countdown.fetch_sub(1) != 1) {
        return false;
    }
    g_armed.store(false);
    return true;
}

uint64_t SumOf(std::atomic<uint64_t> Shard::*counter) {
    uint64_t sum = (g_sharedShard.*counter).load(std::memory_order_relaxed);
    for (Shard& shard : g_shards) {
        sum += (shard.*counter).load(std::memory_order_relaxed);
    }
    return sum;
}

uint64_t SumOf(std::atomic<uint64_t> (Shard::*counters)[MaxTags], int slot) {
    uint64_t sum = (g_sharedShard.*counters)[slot].load(std::memory_order_relaxed);
    for (Shard& shard : g_shards) {
        sum += (shard.*counters)[slot].load(std::memory_order_relaxed);
    }
    return sum;
}

} // namespace

bool SimAllocationAllowed() {
    Shard* shard = MyShard();
    Add(shard, &shard->allocations, 1);
    return !InjectedFailure();
}

void* KmAllocatePool(size_t bytes, uint32_t tag) {
    if (!SimAllocationAllowed()) {
        return nullptr;
    }
    if (KmGetCurrentIrql() > KmDispatchLevel) {
        SimReportMisuse("non-paged pool allocated above DISPATCH_LEVEL");
    }
    auto* header = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + bytes));
    if (header == nullptr) {
        return nullptr;
    }
    header->bytes = bytes;
    header->tag = tag;
    header->magic = LiveMagic;
    Account(tag, 1, int64_t(bytes));
    return header + 1;
}

void KmFreePool(void* block, uint32_t tag) {
    if (block == nullptr) {
        SimReportMisuse("free of a null pool block");
        return;
    }
    BlockHeader* header = static_cast<BlockHeader*>(block) - 1;
    if (header->magic != LiveMagic) {
        SimReportMisuse("free of a block that is not live pool (double free?)");
        return;
    }
    if (header->tag != tag) {
        SimReportMisuse("pool block freed with a tag other than its own");
    }
    Account(header->tag, -1, -int64_t(header->bytes));
    header->magic = FreedMagic;
    std::free(header);
}

SimPoolUsage SimPoolUsageForTag(uint32_t tag) {
    for (int i = 0; i < MaxTags; ++i) {
        if (g_tags[i].load(std::memory_order_acquire) == tag) {
            return {SumOf(&Shard::blocks, i), SumOf(&Shard::bytes, i)};
        }
    }
    return {0, 0};
}

uint64_t SimPoolAllocationCount() {
    return SumOf(&Shard::allocations);
}

void SimPoolFailAllocation(uint64_t nth) {
    g_armed.store(false);
    g_countdown.store(nth);
    g_armed.store(nth != 0);
}

uint32_t SimPoolBlockTag(const void* block) {
    const BlockHeader* header = static_cast<const BlockHeader*>(block) - 1;
    if (header->magic != LiveMagic) {
        SimReportMisuse("free of a block that is not live pool (double free?)");
        return 0;
    }
    return header->tag;
}
