#include "report_rings.h"

#include "engine_state.h"

namespace {

const uint8_t ZeroIpv6Address[ClientIpv6Bytes] = {};

// Slot index for the next record; a full ring starts over at slot 0. The slot counts as
// used from here on.
int32_t NextSlot(int32_t* count, int32_t* used, int32_t slots) {
    if (*count >= slots) {
        *count = 0;
    }
    if (*used <= *count) {
        *used = *count + 1;
    }
    return *count;
}

void CopyName(Utf16Unit* field, uint32_t fieldUnits, const Utf16Unit* name) {
    uint32_t i = 0;
    for (; name != nullptr && i + 1 < fieldUnits && name[i] != 0; ++i) {
        field[i] = name[i];
    }
    for (; i < fieldUnits; ++i) {
        field[i] = 0;
    }
}

bool SameIpv6Client(int32_t slot, const uint8_t* clientAddress6) {
    const uint8_t* kept = g_Engine.FileEventClients6[slot];
    if (clientAddress6 == nullptr) {
        return KmEqualMemory(kept, ZeroIpv6Address, ClientIpv6Bytes);
    }
    return KmEqualMemory(kept, clientAddress6, ClientIpv6Bytes);
}

void SetSlotClient(int32_t slot, const uint8_t* clientAddress6) {
    uint8_t* kept = g_Engine.FileEventClients6[slot];
    if (clientAddress6 == nullptr) {
        KmZeroMemory(kept, ClientIpv6Bytes);
    } else {
        KmCopyMemory(kept, clientAddress6, ClientIpv6Bytes);
    }
}

} // namespace

void ReportFileEvent(bool atDispatch, uint32_t clientAddress, const uint8_t* clientAddress6,
                     uint64_t clientMac, uint8_t kind, uint8_t blocked, const SessionUser* user,
                     const void* path, uint32_t pathBytes) {
    EngineState& e = g_Engine;
    if (e.FileEventRing == nullptr) {
        return;
    }
    uint64_t now = KmQuerySystemTime();
    EngineLockAcquire(&e.FileEventRingLock, atDispatch);
    int32_t index = NextSlot(&e.FileEventCount, &e.FileEventSlotsUsed, FileEventRingSlots);
    FileEvent* slot = &e.FileEventRing[index];
    KmZeroMemory(slot, sizeof *slot);
    SetSlotClient(index, clientAddress6);
    slot->Time = now;
    slot->ClientAddress = clientAddress;
    slot->ClientMac = clientMac;
    slot->Kind = kind;
    slot->Blocked = blocked;
    if (user != nullptr) {
        KmCopyMemory(slot->UserName, user->UserName, sizeof slot->UserName);
        KmCopyMemory(slot->WorkstationName, user->WorkstationName, sizeof slot->WorkstationName);
        KmCopyMemory(slot->DomainName, user->DomainName, sizeof slot->DomainName);
    }
    if (path != nullptr) {
        uint32_t kept = pathBytes < FileEventPathMaxText ? pathBytes : FileEventPathMaxText;
        KmCopyMemory(slot->Path, path, kept);
    }
    e.FileEventCount += 1;
    EngineLockRelease(&e.FileEventRingLock, atDispatch);
}

void AppendLearnedGrant(bool atDispatch, const Utf16Unit* userName, const Utf16Unit* shareName) {
    EngineState& e = g_Engine;
    if (e.LearnedGrantRing == nullptr) {
        return;
    }
    EngineLockAcquire(&e.LearnedGrantRingLock, atDispatch);
    LearnedGrant* slot = &e.LearnedGrantRing[NextSlot(
        &e.LearnedGrantCount, &e.LearnedGrantSlotsUsed, LearnedGrantRingSlots)];
    CopyName(slot->ShareName, SharePathUnits, shareName);
    CopyName(slot->UserName, NameUnits, userName);
    e.LearnedGrantCount += 1;
    EngineLockRelease(&e.LearnedGrantRingLock, atDispatch);
}

namespace {

uint32_t DrainRing(bool atDispatch, EngineLock* lock, const void* ring, int32_t* count,
                   uint32_t slotBytes, void* out) {
    if (ring == nullptr) {
        return 0;
    }
    EngineLockAcquire(lock, atDispatch);
    uint32_t bytes = uint32_t(*count) * slotBytes;
    KmCopyMemory(out, ring, bytes);
    *count = 0;
    EngineLockRelease(lock, atDispatch);
    return bytes;
}

} // namespace

int32_t FileEventsQueued(bool atDispatch) {
    EngineState& e = g_Engine;
    EngineLockAcquire(&e.FileEventRingLock, atDispatch);
    int32_t queued = e.FileEventCount;
    EngineLockRelease(&e.FileEventRingLock, atDispatch);
    return queued;
}

void UnblockFileEventsSince(bool atDispatch, int32_t queuedBefore, uint32_t clientAddress,
                            const uint8_t* clientAddress6) {
    EngineState& e = g_Engine;
    if (e.FileEventRing == nullptr) {
        return;
    }
    EngineLockAcquire(&e.FileEventRingLock, atDispatch);
    // A ring that started over since then holds the new events from slot 0.
    int32_t from = e.FileEventCount >= queuedBefore ? queuedBefore : 0;
    for (int32_t slot = from; slot < e.FileEventCount; ++slot) {
        if (e.FileEventRing[slot].ClientAddress == clientAddress &&
            SameIpv6Client(slot, clientAddress6)) {
            e.FileEventRing[slot].Blocked = 0;
        }
    }
    EngineLockRelease(&e.FileEventRingLock, atDispatch);
}

uint32_t DrainFileEventRing(bool atDispatch, void* out) {
    EngineState& e = g_Engine;
    return DrainRing(atDispatch, &e.FileEventRingLock, e.FileEventRing, &e.FileEventCount,
                     sizeof(FileEvent), out);
}

uint32_t DrainFileEventRingWithClients(bool atDispatch, void* out, void* addressesOut) {
    EngineState& e = g_Engine;
    if (e.FileEventRing == nullptr) {
        return 0;
    }
    EngineLockAcquire(&e.FileEventRingLock, atDispatch);
    uint32_t count = uint32_t(e.FileEventCount);
    KmCopyMemory(out, e.FileEventRing, count * sizeof(FileEvent));
    KmCopyMemory(addressesOut, e.FileEventClients6, count * ClientIpv6Bytes);
    e.FileEventCount = 0;
    EngineLockRelease(&e.FileEventRingLock, atDispatch);
    return count * sizeof(FileEvent);
}

uint32_t DrainLearnedGrantRing(bool atDispatch, void* out) {
    EngineState& e = g_Engine;
    return DrainRing(atDispatch, &e.LearnedGrantRingLock, e.LearnedGrantRing, &e.LearnedGrantCount,
                     sizeof(LearnedGrant), out);
}

void ReadTrafficStats(SmbTrafficStats* out) {
    const SmbTrafficStats* stats = g_Engine.TrafficStats;
    if (stats == nullptr) {
        KmZeroMemory(out, sizeof *out);
        return;
    }
    out->OutboundPackets = KmAtomicLoad64(&stats->OutboundPackets);
    out->InboundPackets = KmAtomicLoad64(&stats->InboundPackets);
    out->OutboundBytes = KmAtomicLoad64(&stats->OutboundBytes);
    out->InboundBytes = KmAtomicLoad64(&stats->InboundBytes);
    out->OutboundIntervalBytes = KmAtomicLoad64(&stats->OutboundIntervalBytes);
    out->InboundIntervalBytes = KmAtomicLoad64(&stats->InboundIntervalBytes);
}
