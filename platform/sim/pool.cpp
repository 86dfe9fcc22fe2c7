// Tagged pool with per-tag accounting and fault injection.
#include <atomic>
#include <cstdlib>
#include <mutex>

#include "misuse.h"
#include "sim.h"

namespace {

const int MaxTags = 32;

struct TagAccount {
    uint32_t tag;
    uint64_t blocks;
    uint64_t bytes;
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

std::mutex g_lock;
TagAccount g_accounts[MaxTags];
int g_accountCount;
std::atomic<uint64_t> g_allocations{0};
std::atomic<uint64_t> g_failAt{0};

TagAccount* AccountFor(uint32_t tag) {
    for (int i = 0; i < g_accountCount; ++i) {
        if (g_accounts[i].tag == tag) {
            return &g_accounts[i];
        }
    }
    if (g_accountCount == MaxTags) {
        return nullptr;
    }
    g_accounts[g_accountCount] = {tag, 0, 0};
    return &g_accounts[g_accountCount++];
}

} // namespace

void* KmAllocatePool(size_t bytes, uint32_t tag) {
    uint64_t serial = g_allocations.fetch_add(1) + 1;
    uint64_t failAt = g_failAt.load();
    if (failAt != 0 && serial == failAt) {
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
    {
        std::lock_guard<std::mutex> hold(g_lock);
        TagAccount* account = AccountFor(tag);
        if (account != nullptr) {
            account->blocks += 1;
            account->bytes += bytes;
        }
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
    {
        std::lock_guard<std::mutex> hold(g_lock);
        TagAccount* account = AccountFor(header->tag);
        if (account != nullptr) {
            account->blocks -= 1;
            account->bytes -= header->bytes;
        }
    }
    header->magic = FreedMagic;
    std::free(header);
}

SimPoolUsage SimPoolUsageForTag(uint32_t tag) {
    std::lock_guard<std::mutex> hold(g_lock);
    for (int i = 0; i < g_accountCount; ++i) {
        if (g_accounts[i].tag == tag) {
            return {g_accounts[i].blocks, g_accounts[i].bytes};
        }
    }
    return {0, 0};
}

uint64_t SimPoolAllocationCount() {
    return g_allocations.load();
}

void SimPoolFailAllocation(uint64_t nth) {
    g_failAt.store(nth == 0 ? 0 : g_allocations.load() + nth);
}
