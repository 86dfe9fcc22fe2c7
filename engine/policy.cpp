#include "policy.h"

#include "engine_limits.h"
#include "engine_state.h"
#include "pool.h"
#include "report_rings.h"
#include "rule_order.h"
#include "text.h"

namespace {

// A path or name that fills its whole field without a terminator is compared as far as
// the field goes, less the unit a terminator would take.
const uint32_t RulePathUnits = SharePathUnits - 1;
const uint32_t ListEntryUnits = NameUnits - 1;

int32_t ClampCount(int32_t count, int32_t limit) {
    if (count <= 0) {
        return 0;
    }
    return count > limit ? limit : count;
}

// True when `rulePath` followed by a backslash occurs in `path`.
bool ContainsRuleProbe(const Utf16Unit* path, uint32_t pathUnits, const Utf16Unit* rulePath,
                       uint32_t ruleUnits) {
    for (uint32_t at = 0; at + ruleUnits < pathUnits; ++at) {
        if (path[at + ruleUnits] == Backslash &&
            Utf16Equal(path + at, ruleUnits, rulePath, ruleUnits)) {
            return true;
        }
    }
    return false;
}

void SetAllFlags(AccessRule* rule, uint8_t value) {
    rule->Report = value;
    rule->DenyDelete = value;
    rule->DenyModify = value;
    rule->DenyRename = value;
    rule->DenyCreate = value;
    rule->DenyRead = value;
    rule->DenyAll = value;
    rule->KnownClientsOnly = value;
}

void CopyFlags(AccessRule* to, const AccessRule* from) {
    to->Report = from->Report;
    to->DenyDelete = from->DenyDelete;
    to->DenyModify = from->DenyModify;
    to->DenyRename = from->DenyRename;
    to->DenyCreate = from->DenyCreate;
    to->DenyRead = from->DenyRead;
    to->DenyAll = from->DenyAll;
    to->KnownClientsOnly = from->KnownClientsOnly;
}

// A record list with its lock; rules also keep their order by user.
struct RecordList {
    EngineLock* lock;
    AccessRule** records;
    uint32_t* count;
    uint32_t** byUser; // null for templates
    uint32_t limit;
};

RecordList RuleRecords() {
    EngineState& e = g_Engine;
    return RecordList{&e.RuleListLock, &e.RuleList, &e.RuleCount, &e.RuleOrder, RuleListLimit};
}

RecordList TemplateRecords() {
    EngineState& e = g_Engine;
    return RecordList{&e.TemplateListLock, &e.TemplateList, &e.TemplateCount, nullptr,
                      TemplateListLimit};
}

void FreeRecords(AccessRule* records, uint32_t* byUser, uint32_t count) {
    if (records != nullptr) {
        EngineFree(records, count * sizeof(AccessRule));
    }
    if (byUser != nullptr) {
        EngineFree(byUser, count * sizeof(uint32_t));
    }
}

// Grows a record list by one record under its lock; the old arrays are freed.
bool AppendRecord(const RecordList& list, const AccessRule* record, bool atDispatch) {
    EngineLockAcquire(list.lock, atDispatch);
    uint32_t n = *list.count;
    if (n >= list.limit) {
        EngineLockRelease(list.lock, atDispatch);
        return false;
    }
    auto* grown = static_cast<AccessRule*>(EngineAllocate((n + 1) * sizeof(AccessRule)));
    uint32_t* grownOrder = nullptr;
    if (grown != nullptr && list.byUser != nullptr) {
        grownOrder = static_cast<uint32_t*>(EngineAllocate((n + 1) * sizeof(uint32_t)));
        if (grownOrder == nullptr) {
            EngineFree(grown, (n + 1) * sizeof(AccessRule));
            grown = nullptr;
        }
    }
    if (grown == nullptr) {
        EngineLockRelease(list.lock, atDispatch);
        return false;
    }
    if (n != 0) {
        KmCopyMemory(grown, *list.records, n * sizeof(AccessRule));
    }
    KmCopyMemory(&grown[n], record, sizeof(AccessRule));
    uint32_t* oldOrder = nullptr;
    if (grownOrder != nullptr) {
        oldOrder = *list.byUser;
        uint32_t slot = OrderSlotForAppended(grown, oldOrder, n, &grown[n]);
        for (uint32_t i = 0, from = 0; i <= n; ++i) {
            grownOrder[i] = i == slot ? n : oldOrder[from++];
        }
        *list.byUser = grownOrder;
    }
    AccessRule* old = *list.records;
    *list.records = grown;
    *list.count = n + 1;
    EngineLockRelease(list.lock, atDispatch);
    FreeRecords(old, oldOrder, n);
    return true;
}

int32_t ReplaceRecords(const RecordList& list, const AccessRule* records, uint32_t n,
                       bool lowerUserNames) {
    if (n == 0) {
        return PolicyResultOk;
    }
    if (n > list.limit) {
        return PolicyResultNoMemory;
    }
    auto* fresh = static_cast<AccessRule*>(EngineAllocate(size_t(n) * sizeof(AccessRule)));
    if (fresh == nullptr) {
        return PolicyResultNoMemory;
    }
    uint32_t* order = nullptr;
    if (list.byUser != nullptr) {
        order = static_cast<uint32_t*>(EngineAllocate(size_t(n) * sizeof(uint32_t)));
        if (order == nullptr) {
            EngineFree(fresh, size_t(n) * sizeof(AccessRule));
            return PolicyResultNoMemory;
        }
    }
    KmCopyMemory(fresh, records, size_t(n) * sizeof(AccessRule));
    for (uint32_t i = 0; i < n; ++i) {
        // Nothing after a terminator is ever compared, so only the text before it is
        // lower-cased.
        Utf16LowerCase(fresh[i].Path, Utf16Length(fresh[i].Path, SharePathUnits));
        if (lowerUserNames) {
            Utf16LowerCase(fresh[i].UserName, Utf16Length(fresh[i].UserName, NameUnits));
        }
    }
    if (order != nullptr) {
        SortRuleOrder(fresh, order, n);
    }
    EngineLockAcquire(list.lock, false);
    AccessRule* old = *list.records;
    uint32_t* oldOrder = list.byUser != nullptr ? *list.byUser : nullptr;
    uint32_t oldCount = *list.count;
    *list.records = fresh;
    if (list.byUser != nullptr) {
        *list.byUser = order;
    }
    *list.count = n;
    EngineLockRelease(list.lock, false);
    FreeRecords(old, oldOrder, oldCount);
    return PolicyResultOk;
}

bool AnyEntryMatches(const Utf16Unit (*entries)[NameUnits], int32_t count, const Utf16Unit* name) {
    uint32_t nameUnits = Utf16Length(name, ListEntryUnits);
    for (int32_t i = 0; i < count; ++i) {
        uint32_t units = Utf16Length(entries[i], ListEntryUnits);
        if (Utf16Equal(entries[i], units, name, nameUnits)) {
            return true;
        }
    }
    return false;
}

} // namespace

bool MatchAccessRule(bool atDispatch, const Utf16Unit* path, const Utf16Unit* user,
                     AccessRule* rule) {
    EngineState& e = g_Engine;
    uint32_t pathUnits = Utf16Length(path, FullPathScanUnits);
    uint32_t userUnits = Utf16Length(user, ListEntryUnits);
    int32_t bestLength = -1;
    EngineLockAcquire(&e.RuleListLock, atDispatch);
    // Only the user's own rules, in list order: the longest path wins, the first of
    // equal length.
    uint32_t at = FirstRuleOfUser(e.RuleList, e.RuleOrder, e.RuleCount, user, userUnits);
    for (; at < e.RuleCount; ++at) {
        const AccessRule& candidate = e.RuleList[e.RuleOrder[at]];
        if (CompareRuleUser(&candidate, user, userUnits) != 0) {
            break;
        }
        uint32_t ruleUnits = Utf16Length(candidate.Path, RulePathUnits);
        if (int32_t(ruleUnits) <= bestLength) {
            continue;
        }
        if (ContainsRuleProbe(path, pathUnits, candidate.Path, ruleUnits)) {
            KmCopyMemory(rule, &candidate, sizeof candidate);
            bestLength = int32_t(ruleUnits);
        }
    }
    EngineLockRelease(&e.RuleListLock, atDispatch);
    return bestLength != -1;
}

bool UserHasDenyRule(bool atDispatch, const Utf16Unit* user) {
    EngineState& e = g_Engine;
    uint32_t userUnits = Utf16Length(user, ListEntryUnits);
    bool denies = false;
    EngineLockAcquire(&e.RuleListLock, atDispatch);
    uint32_t at = FirstRuleOfUser(e.RuleList, e.RuleOrder, e.RuleCount, user, userUnits);
    for (; !denies && at < e.RuleCount; ++at) {
        const AccessRule& r = e.RuleList[e.RuleOrder[at]];
        if (CompareRuleUser(&r, user, userUnits) != 0) {
            break;
        }
        denies = (r.DenyDelete | r.DenyModify | r.DenyRename | r.DenyCreate | r.DenyRead |
                  r.DenyAll | r.KnownClientsOnly) != 0;
    }
    EngineLockRelease(&e.RuleListLock, atDispatch);
    return denies;
}

bool LearnGrant(bool atDispatch, const Utf16Unit* shareName, const Utf16Unit* userName) {
    EngineState& e = g_Engine;
    EngineLockAcquire(&e.SettingsLock, atDispatch);
    bool learning = e.Settings != nullptr && e.Settings->LearningEnabled != 0;
    bool reportOnly = e.Settings != nullptr && e.Settings->LearnReportOnly != 0;
    EngineLockRelease(&e.SettingsLock, atDispatch);
    if (!learning) {
        return true;
    }

    uint32_t shareUnits = Utf16Length(shareName, RulePathUnits);
    uint32_t userUnits = Utf16Length(userName, ListEntryUnits);
    AccessRule candidate;
    KmZeroMemory(&candidate, sizeof candidate);
    bool templateFound = false;
    EngineLockAcquire(&e.TemplateListLock, atDispatch);
    for (uint32_t i = 0; i < e.TemplateCount; ++i) {
        const ShareTemplate& t = e.TemplateList[i];
        if (Utf16Equal(t.Path, Utf16Length(t.Path, RulePathUnits), shareName, shareUnits)) {
            KmCopyMemory(&candidate, &t, sizeof candidate);
            templateFound = true;
            break;
        }
    }
    EngineLockRelease(&e.TemplateListLock, atDispatch);
    Utf16CopyToField(candidate.Path, SharePathUnits, shareName, shareUnits);
    Utf16CopyToField(candidate.UserName, NameUnits, userName, userUnits);
    Utf16LowerCase(candidate.Path, SharePathUnits);
    Utf16LowerCase(candidate.UserName, NameUnits);
    if (!templateFound) {
        SetAllFlags(&candidate, 0);
        if (reportOnly) {
            candidate.Report = 1;
        } else {
            SetAllFlags(&candidate, 1);
        }
        // The share's first learned user also leaves a template behind, so later users
        // of the share get the same flags. A failed append leaves the list as it was.
        AppendRecord(TemplateRecords(), &candidate, atDispatch);
    }

    AccessRule rule;
    KmZeroMemory(&rule, sizeof rule);
    KmCopyMemory(rule.Path, candidate.Path, sizeof rule.Path);
    KmCopyMemory(rule.UserName, candidate.UserName, sizeof rule.UserName);
    CopyFlags(&rule, &candidate);
    if (AppendRecord(RuleRecords(), &rule, atDispatch)) {
        AppendLearnedGrant(atDispatch, candidate.UserName, candidate.Path);
    }
    return true;
}

bool IsExemptPath(bool atDispatch, const Utf16Unit* path) {
    EngineState& e = g_Engine;
    if (KmAtomicLoad8(&e.ExemptListsMayExist) == 0) {
        return false;
    }
    uint32_t pathUnits = Utf16Length(path, FullPathScanUnits);
    bool exempt = false;
    EngineLockAcquire(&e.SettingsLock, atDispatch);
    const EngineSettings* s = e.Settings;
    if (s != nullptr) {
        int32_t prefixes = ClampCount(s->PrefixCount, ExemptListEntries);
        for (int32_t i = 0; !exempt && i < prefixes; ++i) {
            const Utf16Unit* entry = s->ExemptPrefixList[i];
            exempt = Utf16Find(path, pathUnits, entry, Utf16Length(entry, ListEntryUnits)) == 0;
        }
        int32_t suffixes = ClampCount(s->SuffixCount, ExemptListEntries);
        for (int32_t i = 0; !exempt && i < suffixes; ++i) {
            // Only the first occurrence counts: with ".tmp", a.tmp is exempt, a.tmp.tmp not.
            const Utf16Unit* entry = s->ExemptSuffixList[i];
            uint32_t units = Utf16Length(entry, ListEntryUnits);
            int32_t at = Utf16Find(path, pathUnits, entry, units);
            exempt = at >= 0 && uint32_t(at) + units == pathUnits;
        }
        int32_t substrings = ClampCount(s->SubstringCount, ExemptListEntries);
        for (int32_t i = 0; !exempt && i < substrings; ++i) {
            const Utf16Unit* entry = s->ExemptSubstringList[i];
            exempt = Utf16Find(path, pathUnits, entry, Utf16Length(entry, ListEntryUnits)) >= 0;
        }
    }
    EngineLockRelease(&e.SettingsLock, atDispatch);
    return exempt;
}

bool IsKnownClient(bool atDispatch, uint64_t clientMac, uint32_t clientAddress,
                   const Utf16Unit* userName, const Utf16Unit* workstationName) {
    EngineState& e = g_Engine;
    bool known = false;
    EngineLockAcquire(&e.KnownClientListsLock, atDispatch);
    const KnownClientLists* k = e.KnownClients;
    if (k != nullptr) {
        int32_t words = ClampCount(k->WordCount, KnownClientEntries);
        for (int32_t i = 0; !known && i < words; ++i) {
            known = uint32_t(k->AddressWords[i]) == clientAddress;
        }
        int32_t macs = ClampCount(k->MacCount, KnownClientEntries);
        for (int32_t i = 0; !known && i < macs; ++i) {
            known = k->Macs[i] == clientMac;
        }
        known = known ||
                AnyEntryMatches(k->Users, ClampCount(k->UserCount, KnownClientEntries), userName);
        known = known || AnyEntryMatches(k->Workstations,
                                         ClampCount(k->WorkstationCount, KnownClientEntries),
                                         workstationName);
    }
    EngineLockRelease(&e.KnownClientListsLock, atDispatch);
    return known;
}

bool ReadAdmissionControl(bool atDispatch) {
    EngineState& e = g_Engine;
    if (KmAtomicLoad8(&e.AdmissionMayBeOn) == 0) {
        return false;
    }
    EngineLockAcquire(&e.SettingsLock, atDispatch);
    bool on = e.Settings != nullptr && e.Settings->AdmissionControl != 0;
    EngineLockRelease(&e.SettingsLock, atDispatch);
    return on;
}

int32_t ReplaceAccessRules(const AccessRule* rules, uint32_t count) {
    return ReplaceRecords(RuleRecords(), rules, count, true);
}

int32_t ReplaceShareTemplates(const ShareTemplate* templates, uint32_t count) {
    return ReplaceRecords(TemplateRecords(), templates, count, false);
}

void ReplaceEngineSettings(const EngineSettings* settings) {
    EngineState& e = g_Engine;
    EngineLockAcquire(&e.SettingsLock, false);
    if (e.Settings != nullptr) {
        KmCopyMemory(e.Settings, settings, sizeof *settings);
        const EngineSettings* s = e.Settings;
        bool lists = ClampCount(s->PrefixCount, ExemptListEntries) != 0 ||
                     ClampCount(s->SuffixCount, ExemptListEntries) != 0 ||
                     ClampCount(s->SubstringCount, ExemptListEntries) != 0;
        KmAtomicStore8(&e.ExemptListsMayExist, lists ? 1 : 0);
        KmAtomicStore8(&e.AdmissionMayBeOn, s->AdmissionControl != 0 ? 1 : 0);
    }
    EngineLockRelease(&e.SettingsLock, false);
}

void ReplaceKnownClientLists(const KnownClientLists* lists) {
    EngineState& e = g_Engine;
    EngineLockAcquire(&e.KnownClientListsLock, false);
    KnownClientLists* k = e.KnownClients;
    if (k != nullptr) {
        KmCopyMemory(k, lists, sizeof *lists);
        int32_t users = ClampCount(k->UserCount, KnownClientEntries);
        for (int32_t i = 0; i < users; ++i) {
            Utf16LowerCase(k->Users[i], NameUnits);
        }
        int32_t workstations = ClampCount(k->WorkstationCount, KnownClientEntries);
        for (int32_t i = 0; i < workstations; ++i) {
            Utf16LowerCase(k->Workstations[i], NameUnits);
        }
    }
    EngineLockRelease(&e.KnownClientListsLock, false);
}
