// The access policy: rules, share templates and learning, exempt paths, known clients.
//
// Every list is read and replaced under its own lock, so a lookup sees a whole old or a
// whole new list. Callers pass paths and names in the folded case of text.h; rules,
// templates and known names are folded when stored.
#pragma once

#include <stdint.h>

#include "records.h"

// Result words of the list replacements.
const int32_t PolicyResultOk = 0;
const int32_t PolicyResultNoMemory = -1;

// The rule for `user` whose path, followed by a backslash, occurs in `path`; the longest
// such rule path wins, the first in list order among equals. `path` and `user` are
// zero-terminated (`path` at most FullPathScanUnits units are looked at).
bool MatchAccessRule(bool atDispatch, const Utf16Unit* path, const Utf16Unit* user,
                     AccessRule* rule);

// While learning is on, adds a rule for (share, user) with the flags of the share's
// template (a new template when there is none) and reports it as a LearnedGrant.
bool LearnGrant(bool atDispatch, const Utf16Unit* shareName, const Utf16Unit* userName);

bool IsExemptPath(bool atDispatch, const Utf16Unit* path);

// True when one of the user's rules denies anything (any deny flag, or known clients
// only).
bool UserHasDenyRule(bool atDispatch, const Utf16Unit* user);

bool IsKnownClient(bool atDispatch, uint64_t clientMac, uint32_t clientAddress,
                   const Utf16Unit* userName, const Utf16Unit* workstationName);

bool ReadAdmissionControl(bool atDispatch);

// Replace the whole rule or template list with `count` records (folding paths, and rule
// user names). Zero records leave the list as it is. More records than RuleListLimit or
// TemplateListLimit, or no memory for them: PolicyResultNoMemory, the old list in force.
int32_t ReplaceAccessRules(const AccessRule* rules, uint32_t count);
int32_t ReplaceShareTemplates(const ShareTemplate* templates, uint32_t count);
// Copy whole blocks over the current ones.
void ReplaceEngineSettings(const EngineSettings* settings);
void ReplaceKnownClientLists(const KnownClientLists* lists);

// How far a path is scanned for a terminator.
const uint32_t FullPathScanUnits = 1024;
