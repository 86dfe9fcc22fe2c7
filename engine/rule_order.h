// An order of the rule list by user name (then by list position), so that a lookup walks
// only the rules of one user instead of the whole list.
#pragma once

#include <stdint.h>

#include "records.h"

// Compares a rule's user name (at most 63 units are significant) with `user`.
int CompareRuleUser(const AccessRule* rule, const Utf16Unit* user, uint32_t userUnits);

// Fills order[0..n) with 0..n-1 sorted by (user name, position). No allocation.
void SortRuleOrder(const AccessRule* rules, uint32_t* order, uint32_t n);

// First position in `order` whose rule's user is not below `user`.
uint32_t FirstRuleOfUser(const AccessRule* rules, const uint32_t* order, uint32_t n,
                         const Utf16Unit* user, uint32_t userUnits);

// Where a rule appended at position n goes: after every rule of a user not above its own.
uint32_t OrderSlotForAppended(const AccessRule* rules, const uint32_t* order, uint32_t n,
                              const AccessRule* appended);
