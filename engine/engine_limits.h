// Compile-time bounds on the engine's memory, sized for a large file server.
//
// Every table has an entry limit and the engine a total pool budget; past either, an
// insert fails exactly as if the pool were exhausted. Requests whose responses never come
// leave pending entries and marks behind; those older than EntryMaxAge are purged a few
// at a time as traffic passes.
#pragma once

#include <stdint.h>

// All engine pool allocations together (tables, rings, rule lists, work buffers).
const uint64_t EnginePoolBudget = 256ull * 1024 * 1024;

// Pending entries and marks older than this (100-ns units) are stale: 60 seconds.
const uint64_t EntryMaxAge = 60ull * 10000000;
// Entries looked at by one purge step, and SMB messages between two purge steps: a
// step's fixed cost (the table's lock, finding the cursor) is paid once per few messages.
const uint32_t PurgeStepEntries = 32;
const uint32_t MessagesPerPurgeStep = 4;

// Entry limits per table.
const uint32_t SessionTableLimit = 65536; // ~30 MB of SessionUser records
const uint32_t TreeTableLimit = 131072;   // ~77 MB of TreeRecords
const uint32_t IpcTreeTableLimit = 65536;
const uint32_t OpenFileTableLimit = 262144; // names of open files, ~40 MB at 100 bytes
const uint32_t RequestTableLimit = 65536;   // each pending-request and mark table
const uint32_t AdmissionTableLimit = 65536; // admitted client addresses, ~3.5 MB

// The policy lists. A push of more records than its limit is refused whole (result word
// -1) and the list in force stays; learning adds no rule or template past the limit. With
// the fixed blocks (settings with 3 x 64 exempt entries, known clients with 64 entries of
// each kind: 50 KB together) a policy costs at most ~24 MB of pool, ~45 MB for the moment
// a rule list is replaced and old and new are both held.
const uint32_t RuleListLimit = 32768;    // 656-byte rules and a 4-byte order entry: ~21 MB
const uint32_t TemplateListLimit = 4096; // 656-byte templates: ~2.6 MB
// TCP flows with a message spanning segments (up to ~2 KB each while it does).
const uint32_t SmbFlowTableLimit = 16384;
// Sessions whose unreadable traffic has been reported (a byte each).
const uint32_t UnreadableSessionTableLimit = 65536;
