// The engine's ordered map from a 128-bit key to a value of at most 2048 bytes.
//
// A balanced (AVL) binary tree of our own. An entry costs one pool block holding a small
// node header and exactly its value bytes; no operation allocates a temporary entry, and
// only an insert allocates at all. Every operation runs under the table's spin lock and
// copies values in and out: nobody keeps a pointer into a table after the lock is gone.
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

struct KeyedTable {
    TableNode* root;
    uint32_t count;
    EngineLock lock;
};

KeyedTable* CreateKeyedTable();
// Removes every entry and frees the table. A null table is ignored.
void DestroyKeyedTable(KeyedTable* table, bool atDispatch);

// Stores `length` bytes of `value` under `key` (a null value stores that many zero
// bytes); the length is clamped to 2048. An existing entry with the key is replaced.
// True when an entry with the key now holds the value.
bool KeyedTableInsert(KeyedTable* table, bool atDispatch, TableKey key, const void* value,
                      uint32_t length);

// On entry *length is the capacity of `destination`; on return the bytes copied
// (0 when not found). Without a destination a found entry leaves *length as it was.
bool KeyedTableLookup(KeyedTable* table, bool atDispatch, TableKey key, void* destination,
                      uint32_t* length);

// True when an entry was removed.
bool KeyedTableDelete(KeyedTable* table, bool atDispatch, TableKey key);

// Entries held now (0 for a null table).
uint32_t KeyedTableCount(KeyedTable* table, bool atDispatch);

// Calls `visit` for each entry in key order under the table's lock, until it returns
// false. The value pointer is valid only during the call; `visit` must not call back
// into the table.
typedef bool (*KeyedTableVisitor)(void* context, TableKey key, const uint8_t* value,
                                  uint32_t length);
void KeyedTableForEach(KeyedTable* table, bool atDispatch, KeyedTableVisitor visit, void* context);
