#include "rule_order.h"

#include "text.h"

namespace {

const uint32_t SignificantUnits = NameUnits - 1;

int CompareUsers(const AccessRule* a, const AccessRule* b) {
    return CompareRuleUser(a, b->UserName, Utf16Length(b->UserName, SignificantUnits));
}

// (user, position) order of two list positions.
bool Before(const AccessRule* rules, uint32_t x, uint32_t y) {
    int order = CompareUsers(&rules[x], &rules[y]);
    return order != 0 ? order < 0 : x < y;
}

void SiftDown(const AccessRule* rules, uint32_t* order, uint32_t start, uint32_t end) {
    uint32_t root = start;
    for (;;) {
        uint32_t child = 2 * root + 1;
        if (child >= end) {
            return;
        }
        if (child + 1 < end && Before(rules, order[child], order[child + 1])) {
            ++child;
        }
        if (!Before(rules, order[root], order[child])) {
            return;
        }
        uint32_t swap = order[root];
        order[root] = order[child];
        order[child] = swap;
        root = child;
    }
}

} // namespace

int CompareRuleUser(const AccessRule* rule, const Utf16Unit* user, uint32_t userUnits) {
    for (uint32_t i = 0; i < SignificantUnits; ++i) {
        Utf16Unit a = rule->UserName[i];
        Utf16Unit b = i < userUnits ? user[i] : 0;
        if (a != b) {
            return a < b ? -1 : 1;
        }
        if (a == 0) {
            return 0;
        }
    }
    return 0;
}

void SortRuleOrder(const AccessRule* rules, uint32_t* order, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        order[i] = i;
    }
    // Heap sort: bounded time and no extra memory, which suits a kernel lock holder.
    for (uint32_t start = n / 2; start-- > 0;) {
        SiftDown(rules, order, start, n);
    }
    for (uint32_t end = n; end > 1; --end) {
        uint32_t swap = order[0];
        order[0] = order[end - 1];
        order[end - 1] = swap;
        SiftDown(rules, order, 0, end - 1);
    }
}

uint32_t FirstRuleOfUser(const AccessRule* rules, const uint32_t* order, uint32_t n,
                         const Utf16Unit* user, uint32_t userUnits) {
    uint32_t low = 0;
    uint32_t high = n;
    // Most names already differ in their first unit; only equal first units need the
    // whole comparison.
    Utf16Unit first = userUnits != 0 ? user[0] : 0;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        const AccessRule* rule = &rules[order[middle]];
        Utf16Unit ruleFirst = rule->UserName[0];
        bool before =
            ruleFirst != first ? ruleFirst < first : CompareRuleUser(rule, user, userUnits) < 0;
        if (before) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low;
}

uint32_t OrderSlotForAppended(const AccessRule* rules, const uint32_t* order, uint32_t n,
                              const AccessRule* appended) {
    uint32_t low = 0;
    uint32_t high = n;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        if (CompareUsers(&rules[order[middle]], appended) <= 0) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low;
}
