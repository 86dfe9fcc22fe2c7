// The engine's driver-wide state: tables, rule and configuration blocks, report rings,
// traffic counters, and the lock that guards each of them.
#pragma once

#include <stdint.h>

#include "engine_lock.h"
#include "keyed_table.h"
#include "records.h"

// Request-keyed tables of one dialect, keyed by RequestKeyOf: the request's ids and its
// TCP connection. SMB1 has no QueryInfoMarks, SMB2 no QueryPathMarks or QueryFileMarks; those
// stay null.
struct DialectTables {
    KeyedTable* PendingTreeConnects; // value: the tree-connect path, bytes
    KeyedTable* PendingCreates;      // value: the create's file name, bytes
    KeyedTable* CreateOutcomeMap;    // value: CreateOutcome of a create whose answer decides
    KeyedTable* PendingChanges;      // value: PendingChange of a request its answer confirms
    KeyedTable* WriteMarks;
    KeyedTable* CreateClientMarks;
    KeyedTable* CreateAccessMarks;
    KeyedTable* CreateNewMarks;
    KeyedTable* CreateDeleteMarks;
    KeyedTable* DeleteMarks;
    KeyedTable* RenameMarks;
    KeyedTable* QueryPathMarks;
    KeyedTable* QueryFileMarks;
    KeyedTable* QueryInfoMarks;
};

// The interval refresh of one traffic direction.
struct TrafficClock {
    uint64_t snapshot;    // byte total at the last refresh
    uint64_t lastRefresh; // system time of the last refresh
};

struct EngineState {
    // Frames are classified but neither counted nor decoded while this is 0.
    // Unlocked; accessed with relaxed atomics.
    uint8_t InspectionEnabled;

    AccessRule* RuleList;
    uint32_t RuleCount;
    uint32_t* RuleOrder; // positions in RuleList, sorted by user name, then position
    EngineLock RuleListLock;

    ShareTemplate* TemplateList;
    uint32_t TemplateCount;
    EngineLock TemplateListLock;

    EngineSettings* Settings;
    EngineLock SettingsLock;
    // Whether the per-message checks must look at the settings at all: 0 when the last
    // settings pushed have admission control off, or every exempt list empty. Written with
    // the settings under their lock, read without it (relaxed atomics); 1 until the first
    // push, so that the settings block decides.
    uint8_t AdmissionMayBeOn;
    uint8_t ExemptListsMayExist;

    KnownClientLists* KnownClients;
    EngineLock KnownClientListsLock;

    // Each ring: the records not yet read, and how many slots from the start hold a
    // record (written since the engine started or was reset), so that a reset zeroes
    // only those. Both under the ring's lock.
    FileEvent* FileEventRing;
    // Beside each slot: its client's IPv6 address, zeros for an IPv4 client. Hosts read
    // it with the records through IOCTL_ENGINE_READ_EVENT_CLIENTS.
    uint8_t FileEventClients6[FileEventRingSlots][ClientIpv6Bytes];
    int32_t FileEventCount;
    int32_t FileEventSlotsUsed;
    EngineLock FileEventRingLock;

    LearnedGrant* LearnedGrantRing;
    int32_t LearnedGrantCount;
    int32_t LearnedGrantSlotsUsed;
    EngineLock LearnedGrantRingLock;

    // Unlocked; updated with relaxed atomics on the inspection paths.
    SmbTrafficStats* TrafficStats;
    TrafficClock InboundClock;
    TrafficClock OutboundClock;

    // Replaced whole under the guard; the guard is taken before the table's own lock.
    KeyedTable* ClientAdmissionTable;
    EngineLock AdmissionGuardLock;

    KeyedTable* SessionUserTable;    // session key -> SessionUser
    KeyedTable* TreeTable;           // (tree id, session key) -> TreeRecord
    KeyedTable* IpcTreeTable;        // (tree id, session key) -> nothing
    KeyedTable* OpenFileTable;       // file id -> name relative to the share
    KeyedTable* UnknownSessionMarks; // (message id, session key) -> nothing
    KeyedTable* SmbFlowTable;        // (addresses, ports) -> where a flow's stream stands
    KeyedTable* UnreadableSessions;  // (session key, event kind) -> reported (a byte)
    KeyedTable* SessionClients6;     // session key -> an IPv6 client's address

    // Unreadable traffic: counters (relaxed atomics) and the refusal setting (atomic).
    UnreadableStats UnreadableCounters;
    uint8_t RefuseUnreadable;

    DialectTables Smb1;
    DialectTables Smb2;

    // Which request table the next purge step looks at (atomic).
    uint32_t PurgeTurn;
};

extern EngineState g_Engine;

// Creates every table, ring and block empty, with inspection off. On any allocation
// failure everything created so far is released and false is returned.
bool EngineStart();
// Releases everything; safe after a failed or partial start.
void EngineStop();
// Brings a started engine back to the state EngineStart leaves, keeping the tables,
// rings and blocks it allocated: every entry, record, rule, template, setting, counter
// and kept work buffer goes. For hosts that start afresh often (the fuzz targets); like
// EngineStop, it runs while no frame or control request is in the engine.
void EngineReset();
// Frees the nodes every table keeps for reuse and the kept work buffers, so that the
// next messages allocate what they need: for tests that fail allocations one by one.
void EngineDropSpares();

// Purging pending requests and marks whose response never came: every few calls, one
// bounded step over a few entries of one request table, the tables taking turns.
void PurgeStaleRequests(bool atDispatch, uint64_t now);

// True when `clientAddress` is on the admission list; the byte stored with it is copied
// to *value. Presence alone admits, whatever the byte.
bool IsAdmittedClient(bool atDispatch, uint32_t clientAddress, uint8_t* value);

inline bool InspectionEnabled() {
    return KmAtomicLoad8(&g_Engine.InspectionEnabled) != 0;
}
inline void SetInspectionEnabled(bool on) {
    KmAtomicStore8(&g_Engine.InspectionEnabled, on);
}
