// Tagged pool with per-tag accounting and fault injection.
//
// The accounts are lock-free (a fixed array of atomic slots), so that hosts measured on
// the simulation are not serialised by it: concurrent allocations meet only on the
// atomic counters of their own tag.
#include <atomic>
#include <cstdlib>

#include "misuse.h"
#include "sim.h"

namespace {

const int MaxTags = 64;

struct TagAccount {
    std::atomic<uint32_t> tag{0}; // 0: slot not yet claimed
    std::atomic<uint64_t> blocks{0};
    std::atomic<uint64_t> bytes{0};
};

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

TagAccount g_accounts[MaxTags];
std::atomic<uint64_t> g_allocations{0};
std::atomic<uint64_t> g_failAt{0};

// The slot of `tag`, claimed on first use; null when every slot is taken (or, with
// `claim` false, when the tag has never been seen).
TagAccount* AccountFor(uint32_t tag, bool claim) {
    for (TagAccount& account : g_accounts) {
        uint32_t seen = account.tag.load(std::memory_order_acquire);
        if (seen == tag) {
            return &account;
        }
        if (seen == 0) {
            if (!claim) {
                return nullptr;
            }
            uint32_t expected = 0;
            if (account.tag.compare_exchange_strong(expected, tag) || expected == tag) {
                return &account;
            }
        }
    }
    return nullptr;
}

} // namespace

bool SimAllocationAllowed() {
    uint64_t serial = g_allocations.fetch_add(1, std::memory_order_relaxed) + 1;
    uint64_t failAt = g_failAt.load(std::memory_order_relaxed);
    return failAt == 0 || serial != failAt;
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
    if (TagAccount* account = AccountFor(tag, true)) {
        account->blocks.fetch_add(1, std::memory_order_relaxed);
        account->bytes.fetch_add(bytes, std::memory_order_relaxed);
    }
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
    if (TagAccount* account = AccountFor(header->tag, false)) {
        account->blocks.fetch_sub(1, std::memory_order_relaxed);
        account->bytes.fetch_sub(header->bytes, std::memory_order_relaxed);
    }
    header->magic = FreedMagic;
    std::free(header);
}

SimPoolUsage SimPoolUsageForTag(uint32_t tag) {
    TagAccount* account = AccountFor(tag, false);
    if (account == nullptr) {
        return {0, 0};
    }
    return {account->blocks.load(), account->bytes.load()};
}

uint64_t SimPoolAllocationCount() {
    return g_allocations.load();
}

void SimPoolFailAllocation(uint64_t nth) {
    g_failAt.store(nth == 0 ? 0 : g_allocations.load() + nth);
}

uint32_t SimPoolBlockTag(const void* block) {
    const BlockHeader* header = static_cast<const BlockHeader*>(block) - 1;
    if (header->magic != LiveMagic) {
        SimReportMisuse("free of a block that is not live pool (double free?)");
        return 0;
    }
    return header->tag;
}
