// Records that the engine stores in its tables and exchanges with user mode.
//
// The byte layouts are fixed: the service reads and writes them through the control
// device, so every size and offset is checked below. Text is UTF-16LE in fixed fields,
// zero-terminated inside the field, kept in the folded case of text.h.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef uint16_t Utf16Unit;

// An IPv6 client address, beside records whose address field is IPv4.
const uint32_t ClientIpv6Bytes = 16;

const uint32_t NameUnits = 64;       // user, workstation, domain names
const uint32_t SharePathUnits = 256; // share names and rule paths

struct SessionUser {
    Utf16Unit UserName[NameUnits];
    Utf16Unit WorkstationName[NameUnits];
    Utf16Unit DomainName[NameUnits];
    uint64_t ClientMac;     // six MAC bytes, first byte most significant
    uint32_t ClientAddress; // IPv4 address in header byte order
    // Zero in every record the control device hands out. In the engine's session table:
    // the ports of the connection the session was set up on (client port << 16 | server
    // port), or 0 for a record that no connection made (assigned by the service).
    uint32_t Reserved;
};
static_assert(sizeof(SessionUser) == 400, "SessionUser size");
static_assert(offsetof(SessionUser, WorkstationName) == 128, "SessionUser layout");
static_assert(offsetof(SessionUser, DomainName) == 256, "SessionUser layout");
static_assert(offsetof(SessionUser, ClientMac) == 384, "SessionUser layout");
static_assert(offsetof(SessionUser, ClientAddress) == 392, "SessionUser layout");

// IOCTL_ENGINE_ASSIGN_USERS carries SessionUser records; only the user name, the
// workstation name and the address are read.
typedef SessionUser UserAssignment;

struct TreeRecord {
    Utf16Unit ShareName[SharePathUnits];
    uint64_t ClientMac;
    uint32_t ClientAddress;
    uint32_t ClientPorts; // the connection the tree was connected on, as in SessionUser
};
static_assert(offsetof(TreeRecord, ClientMac) == 512, "TreeRecord layout");
static_assert(offsetof(TreeRecord, ClientAddress) == 520, "TreeRecord layout");

// Also the layout of a share template, which ignores the user name.
struct AccessRule {
    Utf16Unit Path[SharePathUnits];
    Utf16Unit UserName[NameUnits];
    uint8_t Reserved[8];
    uint8_t Report;
    uint8_t DenyDelete;
    uint8_t DenyModify;
    uint8_t DenyRename;
    uint8_t DenyCreate;
    uint8_t DenyRead;
    uint8_t DenyAll;
    uint8_t KnownClientsOnly;
};
typedef AccessRule ShareTemplate;
static_assert(sizeof(AccessRule) == 656, "AccessRule size");
static_assert(offsetof(AccessRule, UserName) == 512, "AccessRule layout");
static_assert(offsetof(AccessRule, Report) == 648, "AccessRule layout");
static_assert(offsetof(AccessRule, KnownClientsOnly) == 655, "AccessRule layout");

const uint32_t FileEventPathBytes = 1030;
// The path text is cut so that at least one terminating unit always remains.
const uint32_t FileEventPathMaxText = 1022;

struct FileEvent {
    uint32_t ClientAddress;
    uint32_t Reserved;
    uint64_t ClientMac;
    uint64_t Time; // UTC, 100-ns units since 1601
    uint8_t Kind;
    uint8_t Blocked;
    Utf16Unit UserName[NameUnits];
    Utf16Unit WorkstationName[NameUnits];
    Utf16Unit DomainName[NameUnits];
    uint8_t Path[FileEventPathBytes]; // UTF-16 bytes, possibly an odd count
};
static_assert(sizeof(FileEvent) == 1440, "FileEvent size");
static_assert(offsetof(FileEvent, ClientMac) == 8, "FileEvent layout");
static_assert(offsetof(FileEvent, Time) == 16, "FileEvent layout");
static_assert(offsetof(FileEvent, Kind) == 24, "FileEvent layout");
static_assert(offsetof(FileEvent, Blocked) == 25, "FileEvent layout");
static_assert(offsetof(FileEvent, UserName) == 26, "FileEvent layout");
static_assert(offsetof(FileEvent, WorkstationName) == 154, "FileEvent layout");
static_assert(offsetof(FileEvent, DomainName) == 282, "FileEvent layout");
static_assert(offsetof(FileEvent, Path) == 410, "FileEvent layout");

struct LearnedGrant {
    Utf16Unit UserName[NameUnits];
    Utf16Unit ShareName[SharePathUnits];
};
static_assert(sizeof(LearnedGrant) == 640, "LearnedGrant size");
static_assert(offsetof(LearnedGrant, ShareName) == 128, "LearnedGrant layout");

// IOCTL_ENGINE_READ_SESSION_CLIENTS: the records of IOCTL_ENGINE_READ_SESSIONS, each with
// its client's IPv6 address (zeros for an IPv4 client, whose address is in the record).
struct SessionClient {
    SessionUser User;
    uint8_t ClientIpv6[ClientIpv6Bytes];
};
static_assert(sizeof(SessionClient) == 416, "SessionClient size");

// IOCTL_ENGINE_READ_UNREADABLE_STATS: SMB messages passed without being read (encrypted
// or compressed), those of them refused, and the sessions reported as unreadable or
// signed. A record of its own: SmbTrafficStats keeps its layout.
struct UnreadableStats {
    uint64_t MessagesUnread;
    uint64_t MessagesRefused;
    uint64_t SessionsReported;
};
static_assert(sizeof(UnreadableStats) == 24, "UnreadableStats size");

struct SmbTrafficStats {
    uint64_t OutboundPackets;
    uint64_t InboundPackets;
    uint64_t OutboundBytes;
    uint64_t InboundBytes;
    uint64_t OutboundIntervalBytes;
    uint64_t InboundIntervalBytes;
};
static_assert(sizeof(SmbTrafficStats) == 48, "SmbTrafficStats size");

const int32_t ExemptListEntries = 64;

struct EngineSettings {
    uint8_t LearningEnabled;
    uint8_t LearnReportOnly;
    uint8_t AdmissionControl;
    uint8_t Reserved[8197];
    int32_t SubstringCount;
    Utf16Unit ExemptSubstringList[ExemptListEntries][NameUnits];
    int32_t SuffixCount;
    Utf16Unit ExemptSuffixList[ExemptListEntries][NameUnits];
    int32_t PrefixCount;
    Utf16Unit ExemptPrefixList[ExemptListEntries][NameUnits];
};
static_assert(sizeof(EngineSettings) == 32788, "EngineSettings size");
static_assert(offsetof(EngineSettings, SubstringCount) == 8200, "EngineSettings layout");
static_assert(offsetof(EngineSettings, ExemptSubstringList) == 8204, "EngineSettings layout");
static_assert(offsetof(EngineSettings, SuffixCount) == 16396, "EngineSettings layout");
static_assert(offsetof(EngineSettings, ExemptSuffixList) == 16400, "EngineSettings layout");
static_assert(offsetof(EngineSettings, PrefixCount) == 24592, "EngineSettings layout");
static_assert(offsetof(EngineSettings, ExemptPrefixList) == 24596, "EngineSettings layout");

const int32_t KnownClientEntries = 64;

struct KnownClientLists {
    int32_t WordCount;
    uint16_t AddressWords[KnownClientEntries];
    int32_t MacCount;
    uint64_t Macs[KnownClientEntries];
    int32_t UserCount;
    Utf16Unit Users[KnownClientEntries][NameUnits];
    int32_t WorkstationCount;
    Utf16Unit Workstations[KnownClientEntries][NameUnits];
};
static_assert(sizeof(KnownClientLists) == 17040, "KnownClientLists size");
static_assert(offsetof(KnownClientLists, AddressWords) == 4, "KnownClientLists layout");
static_assert(offsetof(KnownClientLists, MacCount) == 132, "KnownClientLists layout");
static_assert(offsetof(KnownClientLists, Macs) == 136, "KnownClientLists layout");
static_assert(offsetof(KnownClientLists, UserCount) == 648, "KnownClientLists layout");
static_assert(offsetof(KnownClientLists, Users) == 652, "KnownClientLists layout");
static_assert(offsetof(KnownClientLists, WorkstationCount) == 8844, "KnownClientLists layout");
static_assert(offsetof(KnownClientLists, Workstations) == 8848, "KnownClientLists layout");

struct AdmissionEntry {
    uint32_t ClientAddress;
    uint8_t Unused[256];
    uint8_t Value; // stored with the address; presence alone admits
    uint8_t Unused2[3];
};
static_assert(sizeof(AdmissionEntry) == 264, "AdmissionEntry size");
static_assert(offsetof(AdmissionEntry, Value) == 260, "AdmissionEntry layout");

const int32_t FileEventRingSlots = 20;
// IOCTL_ENGINE_READ_EVENT_CLIENTS drains the FileEvent records as IOCTL_ENGINE_READ_EVENTS
// does (its output must have room for a whole ring and its addresses), and right after the
// N records it writes one 16-byte client address per record in the same order: an IPv6
// client's address, or zeros for an IPv4 client (whose address is the record's own
// field). It returns N * EventWithClientBytes, so that an I/O manager that copies back only
// the bytes returned (METHOD_BUFFERED) carries the addresses too.
const uint32_t EventWithClientBytes = 1440 + ClientIpv6Bytes;
const uint32_t EventClientsOutputBytes = FileEventRingSlots * EventWithClientBytes;
const int32_t LearnedGrantRingSlots = 20;
static_assert(sizeof(FileEvent) * FileEventRingSlots == 28800, "file event ring size");
static_assert(sizeof(LearnedGrant) * LearnedGrantRingSlots == 12800, "learned grant ring size");
