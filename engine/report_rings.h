// The two report rings the service drains through the control device, and the traffic
// counters it reads.
//
// A ring is 20 slots and a count, filled from slot 0. A record that arrives while all 20
// are used starts the ring over at slot 0: unread records are then lost.
#pragma once

#include <stdint.h>

#include "records.h"

// Queues one FileEvent. `user` may be null (the name fields stay zero). At most 1022
// bytes of the path are kept so that the record's path is always terminated.
// `clientAddress6` (16 bytes, or null for an IPv4 client) is kept beside the record, in
// the engine's own copy of the ring's client addresses: the record's address field is
// IPv4 (0 for an IPv6 client).
void ReportFileEvent(bool atDispatch, uint32_t clientAddress, const uint8_t* clientAddress6,
                     uint64_t clientMac, uint8_t kind, uint8_t blocked, const SessionUser* user,
                     const void* path, uint32_t pathBytes);

// How many events the ring holds now, and a way to say that the events queued since then
// for a client were not prevented after all (their blocked flag is cleared).
int32_t FileEventsQueued(bool atDispatch);
void UnblockFileEventsSince(bool atDispatch, int32_t queuedBefore, uint32_t clientAddress,
                            const uint8_t* clientAddress6);

// Queues one LearnedGrant; both names are zero-terminated UTF-16 and are cut to their
// fields, always leaving a terminator.
void AppendLearnedGrant(bool atDispatch, const Utf16Unit* userName, const Utf16Unit* shareName);

// Copies the queued records to `out` (room for a whole ring) in arrival order, empties the
// ring and returns the number of bytes copied.
uint32_t DrainFileEventRing(bool atDispatch, void* out);
// The same, and the queued records' client addresses as 16 bytes each (an IPv6 address,
// or zeros for an IPv4 client) into `addressesOut` (room for a whole ring), in the same
// order and under the same lock.
uint32_t DrainFileEventRingWithClients(bool atDispatch, void* out, void* addressesOut);
uint32_t DrainLearnedGrantRing(bool atDispatch, void* out);

// Copies the traffic counters; they keep running and are never reset by a read.
void ReadTrafficStats(SmbTrafficStats* out);
