#include "keyed_table.h"

#include "pool.h"

struct TableNode {
    TableNode* left;
    TableNode* right;
    uint64_t keyLow;
    uint64_t keyHigh;
    uint64_t stamp; // system time of the insert
    uint32_t length;
    int32_t height;
    uint32_t owner;    // the client address that stored it, 0 for none
    uint16_t capacity; // value bytes the block has room for: `length` rounded up to 16
    uint8_t rank;
    // `capacity` value bytes follow the node.
};

namespace {

// An AVL tree of height h holds at least Fib(h+2)-1 entries, so 64 levels are far more
// than any table can reach in memory.
const int MaxDepth = 64;

// Entries sampled to choose one to evict from a full table.
const uint32_t EvictionSample = 32;

uint8_t* ValueOf(TableNode* node) {
    return reinterpret_cast<uint8_t*>(node + 1);
}

size_t NodeBytes(const TableNode* node) {
    return sizeof(TableNode) + node->capacity;
}

uint32_t CapacityFor(uint32_t length) {
    return (length + 15) & ~15u;
}

// A spare is reused only for a value close to the one it was made for, so that reuse never
// makes an entry cost much more than a node of its own would.
const uint32_t SpareSlack = 128;

// Under the table's lock: a kept node with room for `capacity` value bytes, or null.
TableNode* TakeSpare(KeyedTable* table, uint32_t capacity) {
    for (TableNode*& slot : table->spares) {
        TableNode* spare = slot;
        if (spare != nullptr && spare->capacity >= capacity &&
            spare->capacity - capacity <= SpareSlack) {
            slot = nullptr;
            return spare;
        }
    }
    return nullptr;
}

// Under the table's lock: keeps a removed node for a later insert when a slot is free.
// False when the caller must free it (after the lock is released).
bool KeepSpare(KeyedTable* table, TableNode* node) {
    for (TableNode*& slot : table->spares) {
        if (slot == nullptr) {
            slot = node;
            return true;
        }
    }
    return false;
}

void FreeNodeUnlessKept(TableNode* node) {
    if (node != nullptr) {
        EngineFree(node, NodeBytes(node));
    }
}

// Under the table's lock.
void FreeSpares(KeyedTable* table) {
    for (TableNode*& slot : table->spares) {
        FreeNodeUnlessKept(slot);
        slot = nullptr;
    }
}

void FillNode(TableNode* node, TableKey key, const void* value, uint32_t length, uint32_t owner,
              uint8_t rank) {
    node->left = nullptr;
    node->right = nullptr;
    node->keyLow = key.KeyLow;
    node->keyHigh = key.KeyHigh;
    node->length = length;
    node->height = 1;
    node->stamp = KmQuerySystemTime();
    node->owner = owner;
    node->rank = rank;
    if (value != nullptr) {
        KmCopyMemory(ValueOf(node), value, length);
    } else {
        KmZeroMemory(ValueOf(node), length);
    }
}

TableKey KeyOf(const TableNode* node) {
    return TableKey{node->keyLow, node->keyHigh};
}

// Ordered by KeyHigh first, so the entries of one session lie together.
int CompareKey(TableKey key, const TableNode* node) {
    if (key.KeyHigh != node->keyHigh) {
        return key.KeyHigh < node->keyHigh ? -1 : 1;
    }
    if (key.KeyLow != node->keyLow) {
        return key.KeyLow < node->keyLow ? -1 : 1;
    }
    return 0;
}

// The count is written only under the table's lock, but read without it by the
// operations that have nothing to do in an empty table: most request and mark tables
// are empty most of the time, and a look at the count costs far less than the lock.
// Under the table's lock: one more change for those who watch the table from outside.
void NoteChange(KeyedTable* table) {
    __atomic_store_n(&table->changes, table->changes + 1, __ATOMIC_RELEASE);
}

void SetCount(KeyedTable* table, uint32_t count) {
    NoteChange(table);
    __atomic_store_n(&table->count, count, __ATOMIC_RELEASE);
}

bool SurelyEmpty(const KeyedTable* table) {
    return __atomic_load_n(&table->count, __ATOMIC_ACQUIRE) == 0;
}

int32_t HeightOf(const TableNode* node) {
    return node != nullptr ? node->height : 0;
}

void UpdateHeight(TableNode* node) {
    int32_t l = HeightOf(node->left);
    int32_t r = HeightOf(node->right);
    node->height = 1 + (l > r ? l : r);
}

TableNode* RotateRight(TableNode* top) {
    TableNode* pivot = top->left;
    top->left = pivot->right;
    pivot->right = top;
    UpdateHeight(top);
    UpdateHeight(pivot);
    return pivot;
}

TableNode* RotateLeft(TableNode* top) {
    TableNode* pivot = top->right;
    top->right = pivot->left;
    pivot->left = top;
    UpdateHeight(top);
    UpdateHeight(pivot);
    return pivot;
}

TableNode* Rebalance(TableNode* node) {
    UpdateHeight(node);
    int32_t balance = HeightOf(node->left) - HeightOf(node->right);
    if (balance > 1) {
        if (HeightOf(node->left->left) < HeightOf(node->left->right)) {
            node->left = RotateLeft(node->left);
        }
        return RotateRight(node);
    }
    if (balance < -1) {
        if (HeightOf(node->right->right) < HeightOf(node->right->left)) {
            node->right = RotateRight(node->right);
        }
        return RotateLeft(node);
    }
    return node;
}

void RebalancePath(TableNode** path[], int depth) {
    for (int i = depth - 1; i >= 0; --i) {
        *path[i] = Rebalance(*path[i]);
    }
}

TableNode* FindNode(KeyedTable* table, TableKey key) {
    TableNode* node = table->root;
    while (node != nullptr) {
        bool before =
            key.KeyHigh != node->keyHigh ? key.KeyHigh < node->keyHigh : key.KeyLow < node->keyLow;
        if (!before && key.KeyHigh == node->keyHigh && key.KeyLow == node->keyLow) {
            return node;
        }
        node = before ? node->left : node->right;
    }
    return nullptr;
}

// Links `fresh` into the tree; returns the node it replaced, if any.
TableNode* LinkNode(KeyedTable* table, TableNode* fresh, TableKey key, bool* linked) {
    TableNode** path[MaxDepth];
    int depth = 0;
    TableNode** link = &table->root;
    while (*link != nullptr) {
        TableNode* current = *link;
        int order = CompareKey(key, current);
        if (order == 0) {
            fresh->left = current->left;
            fresh->right = current->right;
            fresh->height = current->height;
            *link = fresh;
            NoteChange(table);
            *linked = true;
            return current;
        }
        if (depth == MaxDepth) {
            *linked = false;
            return nullptr;
        }
        path[depth++] = link;
        link = order < 0 ? &current->left : &current->right;
    }
    *link = fresh;
    SetCount(table, table->count + 1);
    RebalancePath(path, depth);
    *linked = true;
    return nullptr;
}

TableNode* UnlinkNode(KeyedTable* table, TableKey key);

// Up to `room` keys of entries after `after` in key order (wrapping to the first entry
// once), stopping before `after` comes round again. Returns how many were written.
uint32_t KeysAfter(KeyedTable* table, TableKey after, TableKey* keys, TableNode** nodes,
                   uint32_t room) {
    uint32_t found = 0;
    for (int pass = 0; pass < 2 && found < room; ++pass) {
        // In-order walk of the keys greater than `after` (first pass) or of all keys
        // not greater than it (second pass).
        TableNode* stack[MaxDepth];
        int depth = 0;
        TableNode* node = table->root;
        while ((node != nullptr || depth > 0) && found < room) {
            while (node != nullptr && depth < MaxDepth) {
                // Skip left subtrees that hold only keys at or before `after`.
                if (pass == 0 && CompareKey(after, node) >= 0) {
                    node = node->right;
                    continue;
                }
                stack[depth++] = node;
                node = node->left;
            }
            if (depth == 0) {
                break;
            }
            node = stack[--depth];
            if (pass == 1 && CompareKey(after, node) < 0) {
                return found; // back where the first pass started
            }
            keys[found] = KeyOf(node);
            nodes[found] = node;
            ++found;
            node = node->right;
        }
    }
    return found;
}

bool IsStale(const KeyedTable* table, const TableNode* node, uint64_t now) {
    return table->maxAge != 0 && now > node->stamp && now - node->stamp > table->maxAge;
}

// Whether `a` goes before `b` for the entry of `fresh` to make room: the fresh entry's
// owner's own entries first, then lower ranks, then older ones.
bool EvictBefore(const TableNode* a, const TableNode* b, const TableNode* fresh) {
    bool aOwn = fresh->owner != 0 && a->owner == fresh->owner;
    bool bOwn = fresh->owner != 0 && b->owner == fresh->owner;
    if (aOwn != bOwn) {
        return aOwn;
    }
    if (a->rank != b->rank) {
        return a->rank < b->rank;
    }
    return a->stamp < b->stamp;
}

// Makes room in a full table for `fresh` by removing one of a few entries after the cursor
// (never one of a higher rank), if the table's policy lets it go.
TableNode* EvictOne(KeyedTable* table, const TableNode* fresh, uint64_t now) {
    TableKey keys[EvictionSample];
    TableNode* nodes[EvictionSample];
    uint32_t n = KeysAfter(table, table->cursor, keys, nodes, EvictionSample);
    if (n == 0) {
        return nullptr;
    }
    table->cursor = keys[n - 1];
    uint32_t chosen = n;
    for (uint32_t i = 0; i < n; ++i) {
        if (nodes[i]->rank <= fresh->rank &&
            (chosen == n || EvictBefore(nodes[i], nodes[chosen], fresh))) {
            chosen = i;
        }
    }
    if (chosen == n) {
        return nullptr;
    }
    bool own = fresh->owner != 0 && nodes[chosen]->owner == fresh->owner;
    if (table->whenFull == TableFullPolicy::Refuse && !own && !IsStale(table, nodes[chosen], now)) {
        return nullptr;
    }
    return UnlinkNode(table, keys[chosen]);
}

TableNode* UnlinkNode(KeyedTable* table, TableKey key) {
    TableNode** path[MaxDepth + 1];
    int depth = 0;
    TableNode** link = &table->root;
    while (*link != nullptr) {
        int order = CompareKey(key, *link);
        if (order == 0) {
            break;
        }
        path[depth++] = link;
        link = order < 0 ? &(*link)->left : &(*link)->right;
    }
    TableNode* target = *link;
    if (target == nullptr) {
        return nullptr;
    }
    if (target->left == nullptr || target->right == nullptr) {
        *link = target->left != nullptr ? target->left : target->right;
    } else {
        // Two children: the in-order successor takes the target's place.
        int targetLevel = depth;
        path[depth++] = link;
        TableNode** successorLink = &target->right;
        while ((*successorLink)->left != nullptr) {
            path[depth++] = successorLink;
            successorLink = &(*successorLink)->left;
        }
        TableNode* successor = *successorLink;
        *successorLink = successor->right;
        successor->left = target->left;
        successor->right = target->right;
        successor->height = target->height;
        *link = successor;
        if (depth > targetLevel + 1) {
            path[targetLevel + 1] = &successor->right; // was &target->right
        }
    }
    SetCount(table, table->count - 1);
    RebalancePath(path, depth);
    return target;
}

} // namespace

KeyedTable* CreateLimitedKeyedTable(uint32_t limit, TableFullPolicy whenFull, uint64_t maxAge) {
    auto* table = static_cast<KeyedTable*>(EngineAllocate(sizeof(KeyedTable)));
    if (table == nullptr) {
        return nullptr;
    }
    table->root = nullptr;
    table->count = 0;
    table->limit = limit;
    table->whenFull = whenFull;
    table->maxAge = maxAge;
    table->cursor = TableKey{0, 0};
    table->changes = 0;
    for (TableNode*& slot : table->spares) {
        slot = nullptr;
    }
    EngineLockInit(&table->lock);
    return table;
}

KeyedTable* CreateKeyedTable() {
    return CreateLimitedKeyedTable(0, TableFullPolicy::Refuse, 0);
}

namespace {

// Frees every node of a locked table and leaves it empty, its cursor at the start.
void FreeAllNodes(KeyedTable* table) {
    // Rotating left children up turns the tree into a right-leaning list that can be
    // freed front to back without a stack.
    TableNode* node = table->root;
    while (node != nullptr) {
        if (node->left != nullptr) {
            TableNode* pivot = node->left;
            node->left = pivot->right;
            pivot->right = node;
            node = pivot;
        } else {
            TableNode* next = node->right;
            EngineFree(node, NodeBytes(node));
            node = next;
        }
    }
    table->root = nullptr;
    table->cursor = TableKey{0, 0};
    SetCount(table, 0);
}

} // namespace

void DestroyKeyedTable(KeyedTable* table, bool atDispatch) {
    if (table == nullptr) {
        return;
    }
    EngineLockAcquire(&table->lock, atDispatch);
    FreeAllNodes(table);
    FreeSpares(table);
    EngineLockRelease(&table->lock, atDispatch);
    EngineFree(table, sizeof(KeyedTable));
}

void KeyedTableDropSpares(KeyedTable* table) {
    if (table != nullptr) {
        EngineLockAcquire(&table->lock, false);
        FreeSpares(table);
        EngineLockRelease(&table->lock, false);
    }
}

void ClearKeyedTable(KeyedTable* table, bool atDispatch) {
    if (table == nullptr) {
        return;
    }
    EngineLockAcquire(&table->lock, atDispatch);
    FreeAllNodes(table);
    FreeSpares(table);
    EngineLockRelease(&table->lock, atDispatch);
}

bool KeyedTableInsert(KeyedTable* table, bool atDispatch, TableKey key, const void* value,
                      uint32_t length) {
    return KeyedTableInsertOwned(table, atDispatch, key, value, length, 0, 0);
}

bool KeyedTableInsertOwned(KeyedTable* table, bool atDispatch, TableKey key, const void* value,
                           uint32_t length, uint32_t owner, uint8_t rank) {
    if (table == nullptr) {
        return false;
    }
    if (length > KeyedTableMaxValue) {
        length = KeyedTableMaxValue;
    }
    // A kept node is taken and filled under the lock the insert takes anyway; only when
    // none fits is a new one allocated and filled outside it.
    uint32_t capacity = CapacityFor(length);
    EngineLockAcquire(&table->lock, atDispatch);
    TableNode* fresh = TakeSpare(table, capacity);
    if (fresh == nullptr) {
        EngineLockRelease(&table->lock, atDispatch);
        fresh = static_cast<TableNode*>(EngineAllocate(sizeof(TableNode) + capacity));
        if (fresh == nullptr) {
            return false;
        }
        fresh->capacity = uint16_t(capacity);
        FillNode(fresh, key, value, length, owner, rank);
        EngineLockAcquire(&table->lock, atDispatch);
    } else {
        FillNode(fresh, key, value, length, owner, rank);
    }
    bool linked = false;
    TableNode* evicted = nullptr;
    TableNode* replaced = nullptr;
    bool full =
        table->limit != 0 && table->count >= table->limit && FindNode(table, key) == nullptr;
    if (full) {
        evicted = EvictOne(table, fresh, fresh->stamp);
        full = evicted == nullptr;
    }
    if (!full) {
        replaced = LinkNode(table, fresh, key, &linked);
    }
    TableNode* unused = linked ? nullptr : fresh;
    TableNode* toFree[3] = {replaced, evicted, unused};
    for (TableNode*& node : toFree) {
        if (node != nullptr && KeepSpare(table, node)) {
            node = nullptr;
        }
    }
    EngineLockRelease(&table->lock, atDispatch);
    for (TableNode* node : toFree) {
        FreeNodeUnlessKept(node);
    }
    return linked;
}

bool KeyedTableUpdate(KeyedTable* table, bool atDispatch, TableKey key, const void* value,
                      uint32_t length) {
    if (table == nullptr || SurelyEmpty(table)) {
        return false;
    }
    EngineLockAcquire(&table->lock, atDispatch);
    TableNode* node = FindNode(table, key);
    bool updated = node != nullptr && node->length == length;
    if (updated) {
        KmCopyMemory(ValueOf(node), value, length);
        node->stamp = KmQuerySystemTime();
        NoteChange(table);
    }
    EngineLockRelease(&table->lock, atDispatch);
    return updated;
}

bool KeyedTableLookup(KeyedTable* table, bool atDispatch, TableKey key, void* destination,
                      uint32_t* length) {
    if (table == nullptr || SurelyEmpty(table)) {
        *length = 0;
        return false;
    }
    EngineLockAcquire(&table->lock, atDispatch);
    TableNode* node = FindNode(table, key);
    if (node == nullptr) {
        *length = 0;
    } else if (destination != nullptr) {
        uint32_t copied = node->length < *length ? node->length : *length;
        KmCopyMemory(destination, ValueOf(node), copied);
        *length = copied;
    }
    EngineLockRelease(&table->lock, atDispatch);
    return node != nullptr;
}

bool KeyedTableTake(KeyedTable* table, bool atDispatch, TableKey key, void* destination,
                    uint32_t* length) {
    if (table == nullptr || SurelyEmpty(table)) {
        *length = 0;
        return false;
    }
    EngineLockAcquire(&table->lock, atDispatch);
    TableNode* removed = UnlinkNode(table, key);
    if (removed == nullptr) {
        *length = 0;
    } else if (destination != nullptr) {
        uint32_t copied = removed->length < *length ? removed->length : *length;
        KmCopyMemory(destination, ValueOf(removed), copied);
        *length = copied;
    }
    bool kept = removed != nullptr && KeepSpare(table, removed);
    EngineLockRelease(&table->lock, atDispatch);
    if (removed == nullptr) {
        return false;
    }
    if (!kept) {
        FreeNodeUnlessKept(removed);
    }
    return true;
}

bool KeyedTableDelete(KeyedTable* table, bool atDispatch, TableKey key) {
    uint32_t unused = 0;
    return KeyedTableTake(table, atDispatch, key, nullptr, &unused);
}

uint32_t KeyedTablePurgeStep(KeyedTable* table, bool atDispatch, uint64_t now, uint32_t entries) {
    if (table == nullptr || entries == 0 || table->maxAge == 0 || SurelyEmpty(table)) {
        return 0;
    }
    const uint32_t MaxStep = 32;
    if (entries > MaxStep) {
        entries = MaxStep;
    }
    TableKey keys[MaxStep];
    TableNode* nodes[MaxStep];
    TableNode* stale[MaxStep];
    uint32_t removed = 0;
    uint32_t freed = 0;
    EngineLockAcquire(&table->lock, atDispatch);
    if (table->count != 0) {
        uint32_t n = KeysAfter(table, table->cursor, keys, nodes, entries);
        // Decide first: unlinking rebalances the tree, which does not move nodes but
        // may change what lies after the cursor.
        uint32_t candidates = 0;
        for (uint32_t i = 0; i < n; ++i) {
            if (IsStale(table, nodes[i], now)) {
                keys[candidates++] = keys[i];
            }
        }
        if (n != 0) {
            table->cursor = KeyOf(nodes[n - 1]);
        }
        for (uint32_t i = 0; i < candidates; ++i) {
            TableNode* node = UnlinkNode(table, keys[i]);
            if (node == nullptr) {
                continue;
            }
            removed += 1;
            if (!KeepSpare(table, node)) {
                stale[freed++] = node;
            }
        }
    }
    EngineLockRelease(&table->lock, atDispatch);
    for (uint32_t i = 0; i < freed; ++i) {
        FreeNodeUnlessKept(stale[i]);
    }
    return removed;
}

uint32_t KeyedTableCount(KeyedTable* table, bool atDispatch) {
    if (table == nullptr) {
        return 0;
    }
    EngineLockAcquire(&table->lock, atDispatch);
    uint32_t count = table->count;
    EngineLockRelease(&table->lock, atDispatch);
    return count;
}

void KeyedTableForEach(KeyedTable* table, bool atDispatch, KeyedTableVisitor visit, void* context) {
    if (table == nullptr) {
        return;
    }
    EngineLockAcquire(&table->lock, atDispatch);
    TableNode* stack[MaxDepth];
    int depth = 0;
    TableNode* node = table->root;
    while (node != nullptr || depth > 0) {
        while (node != nullptr && depth < MaxDepth) {
            stack[depth++] = node;
            node = node->left;
        }
        node = stack[--depth];
        TableKey key{node->keyLow, node->keyHigh};
        if (!visit(context, key, ValueOf(node), node->length)) {
            break;
        }
        node = node->right;
    }
    EngineLockRelease(&table->lock, atDispatch);
}
