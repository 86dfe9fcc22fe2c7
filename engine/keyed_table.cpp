#include "keyed_table.h"

#include "pool.h"

struct TableNode {
    TableNode* left;
    TableNode* right;
    uint64_t keyLow;
    uint64_t keyHigh;
    uint32_t length;
    int32_t height;
    // `length` value bytes follow the node.
};

namespace {

// An AVL tree of height h holds at least Fib(h+2)-1 entries, so 64 levels are far more
// than any table can reach in memory.
const int MaxDepth = 64;

uint8_t* ValueOf(TableNode* node) {
    return reinterpret_cast<uint8_t*>(node + 1);
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
        int order = CompareKey(key, node);
        if (order == 0) {
            return node;
        }
        node = order < 0 ? node->left : node->right;
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
    table->count += 1;
    RebalancePath(path, depth);
    *linked = true;
    return nullptr;
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
    table->count -= 1;
    RebalancePath(path, depth);
    return target;
}

} // namespace

KeyedTable* CreateKeyedTable() {
    auto* table = static_cast<KeyedTable*>(EngineAllocate(sizeof(KeyedTable)));
    if (table == nullptr) {
        return nullptr;
    }
    table->root = nullptr;
    table->count = 0;
    EngineLockInit(&table->lock);
    return table;
}

void DestroyKeyedTable(KeyedTable* table, bool atDispatch) {
    if (table == nullptr) {
        return;
    }
    EngineLockAcquire(&table->lock, atDispatch);
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
            EngineFree(node);
            node = next;
        }
    }
    table->root = nullptr;
    table->count = 0;
    EngineLockRelease(&table->lock, atDispatch);
    EngineFree(table);
}

bool KeyedTableInsert(KeyedTable* table, bool atDispatch, TableKey key, const void* value,
                      uint32_t length) {
    if (table == nullptr) {
        return false;
    }
    if (length > KeyedTableMaxValue) {
        length = KeyedTableMaxValue;
    }
    // The node is built before the lock is taken, so the lock covers only the linking.
    auto* fresh = static_cast<TableNode*>(EngineAllocate(sizeof(TableNode) + length));
    if (fresh == nullptr) {
        return false;
    }
    fresh->left = nullptr;
    fresh->right = nullptr;
    fresh->keyLow = key.KeyLow;
    fresh->keyHigh = key.KeyHigh;
    fresh->length = length;
    fresh->height = 1;
    if (value != nullptr) {
        KmCopyMemory(ValueOf(fresh), value, length);
    } else {
        KmZeroMemory(ValueOf(fresh), length);
    }
    bool linked = false;
    EngineLockAcquire(&table->lock, atDispatch);
    TableNode* replaced = LinkNode(table, fresh, key, &linked);
    EngineLockRelease(&table->lock, atDispatch);
    if (replaced != nullptr) {
        EngineFree(replaced);
    }
    if (!linked) {
        EngineFree(fresh);
    }
    return linked;
}

bool KeyedTableLookup(KeyedTable* table, bool atDispatch, TableKey key, void* destination,
                      uint32_t* length) {
    if (table == nullptr) {
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

bool KeyedTableDelete(KeyedTable* table, bool atDispatch, TableKey key) {
    if (table == nullptr) {
        return false;
    }
    EngineLockAcquire(&table->lock, atDispatch);
    TableNode* removed = UnlinkNode(table, key);
    EngineLockRelease(&table->lock, atDispatch);
    if (removed == nullptr) {
        return false;
    }
    EngineFree(removed);
    return true;
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
