// The engine's ordered map from a 128-bit key to a value of at most 2048 bytes.
//
// A balanced (AVL) binary tree of our own. An entry costs one pool block holding a small
// node header (with the time it was stored) and its value bytes, rounded up to 16; no
// operation allocates a temporary entry, and only an insert allocates at all. A table keeps
// a few removed nodes as spares for its next inserts: most entries of the request tables
// live for one round trip, and a spare is taken and given back under the lock the insert
// and the delete hold anyway, where the pool costs an allocation and a free. Every operation runs
// under the table's spin lock and copies values in and out: nobody keeps a pointer into a table
// after the lock is gone.
#pragma once

#include <stdint.h>

#include "engine_lock.h"

const uint32_t KeyedTableMaxValue = 2048;

struct TableKey {
    uint64_t KeyLow;
    uint64_t KeyHigh;
};

// Builds a key from four 32-bit words: KeyLow = w1:w0, KeyHigh = w3:w2.
inline TableKey MakeTableKey(uint32_t w0, uint32_t w1, uint32_t w2 = 0, uint32_t w3 = 0) {
    return TableKey{uint64_t(w1) << 32 | w0, uint64_t(w3) << 32 | w2};
}

struct TableNode;

// Removed nodes a table keeps for reuse.
const uint32_t TableSpareNodes = 4;

// What an insert of a new key does when the table holds its limit of entries. Either way a
// few entries after the table's cursor are sampled, and the candidate is chosen among those
// whose rank is not above the new entry's: the oldest of the inserting owner's own entries
// if the sample holds any, otherwise the oldest of the lowest rank.
enum class TableFullPolicy : uint8_t {
    Refuse,      // the candidate makes room only when it is stale (older than maxAge);
                 // otherwise the insert fails, as if the pool were exhausted
    EvictOldest, // the candidate always makes room
};

struct KeyedTable {
    TableNode* root;
    uint32_t count;
    uint32_t limit; // 0: no limit
    TableFullPolicy whenFull;
    uint64_t maxAge; // 100-ns units; entries older than this are stale (0: never)
    TableKey cursor; // where the next purge step or eviction sample starts
    EngineLock lock;
    uint32_t changes; // grows with every entry stored, replaced, updated or removed
    TableNode* spares[TableSpareNodes]; // under the lock
};

// A table without an entry limit.
KeyedTable* CreateKeyedTable();
KeyedTable* CreateLimitedKeyedTable(uint32_t limit, TableFullPolicy whenFull, uint64_t maxAge);
// Removes every entry and frees the table. A null table is ignored.
void DestroyKeyedTable(KeyedTable* table, bool atDispatch);

// Removes every entry; the table stays, with its limit, policy and age, as created.
void ClearKeyedTable(KeyedTable* table, bool atDispatch);

// Frees the removed nodes the table keeps for reuse; its entries stay.
void KeyedTableDropSpares(KeyedTable* table);

// Stores `length` bytes of `value` under `key` (a null value stores that many zero
// bytes); the length is clamped to 2048. An existing entry with the key is replaced.
// True when an entry with the key now holds the value.
bool KeyedTableInsert(KeyedTable* table, bool atDispatch, TableKey key, const void* value,
                      uint32_t length);

// The same, for an entry that belongs to `owner` (a client address; 0 for none) and has
// `rank` (entries of a higher rank never make room for entries of a lower one). A full table
// evicts the owner's own entries first, so that one client's flood pushes out its own.
bool KeyedTableInsertOwned(KeyedTable* table, bool atDispatch, TableKey key, const void* value,
                           uint32_t length, uint32_t owner, uint8_t rank = 0);

// Overwrites the value of an existing entry whose value has exactly `length` bytes, in
// place and without allocating. False when there is no such entry (nothing changes).
bool KeyedTableUpdate(KeyedTable* table, bool atDispatch, TableKey key, const void* value,
                      uint32_t length);

// On entry *length is the capacity of `destination`; on return the bytes copied
// (0 when not found). Without a destination a found entry leaves *length as it was.
bool KeyedTableLookup(KeyedTable* table, bool atDispatch, TableKey key, void* destination,
                      uint32_t* length);

// True when an entry was removed.
bool KeyedTableDelete(KeyedTable* table, bool atDispatch, TableKey key);

// A look-up that also removes the entry it finds, under one hold of the lock: for an
// answer that settles what its request left. `destination` and `length` as for a look-up.
bool KeyedTableTake(KeyedTable* table, bool atDispatch, TableKey key, void* destination,
                    uint32_t* length);

// Looks at up to `entries` (at most 32) entries in key order after the table's cursor
// (wrapping to the start), removes the stale ones, and moves the cursor on. Returns the
// number removed. Bounded work: meant to run a step at a time on the data path.
uint32_t KeyedTablePurgeStep(KeyedTable* table, bool atDispatch, uint64_t now, uint32_t entries);

// True when the table holds no entry (or is null): one atomic read, no lock, for a quick
// look before a key is built. An insert running at the same time may not be seen yet.
inline bool KeyedTableIsEmpty(const KeyedTable* table) {
    return table == nullptr || __atomic_load_n(&table->count, __ATOMIC_ACQUIRE) == 0;
}

// A number that changes whenever an entry is stored, replaced, updated or removed: one
// atomic read, for those who copy a table only when it changed.
inline uint32_t KeyedTableChanges(const KeyedTable* table) {
    return table == nullptr ? 0 : __atomic_load_n(&table->changes, __ATOMIC_ACQUIRE);
}

// Entries held now (0 for a null table).
uint32_t KeyedTableCount(KeyedTable* table, bool atDispatch);

// Calls `visit` for each entry in key order under the table's lock, until it returns
// false. The value pointer is valid only during the call; `visit` must not call back
// into the table.
typedef bool (*KeyedTableVisitor)(void* context, TableKey key, const uint8_t* value,
                                  uint32_t length);
void KeyedTableForEach(KeyedTable* table, bool atDispatch, KeyedTableVisitor visit, void* context);
