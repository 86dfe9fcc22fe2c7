#include "control_device.h"

#include "engine_limits.h"
#include "engine_state.h"
#include "policy.h"
#include "pool.h"
#include "report_rings.h"
#include "session_clients.h"
#include "session_state.h"
#include "unreadable.h"
#include "wire.h"

namespace {

const uint32_t ResultWordBytes = 4;

struct Request {
    uint8_t* buffer;
    uint32_t inputLength;
    uint32_t outputLength;
    ControlStatusBlock* status;
};

void Fail(Request* r) {
    r->status->status = STATUS_INVALID_PARAMETER_CODE;
    r->status->information = 0;
}

void Succeed(Request* r, uintptr_t information) {
    r->status->status = STATUS_SUCCESS_CODE;
    r->status->information = information;
}

void ReplyResultWord(Request* r, int32_t result) {
    WriteU32Le(r->buffer, uint32_t(result));
    Succeed(r, ResultWordBytes);
}

// A set code: a buffer, an input of whole records (or exactly one block), and room for
// the result word.
bool SetCodeAcceptable(const Request* r, uint32_t recordBytes, bool exactlyOne) {
    if (r->buffer == nullptr || r->outputLength < ResultWordBytes) {
        return false;
    }
    return exactlyOne ? r->inputLength == recordBytes : r->inputLength % recordBytes == 0;
}

void GetVersion(Request* r) {
    if (r->buffer == nullptr || r->outputLength < 4) {
        return Fail(r);
    }
    WriteU32Le(r->buffer, EngineVersion);
    Succeed(r, 4);
}

// The records are copied out of the system buffer first: its start is overwritten by the
// result word.
void SetRules(Request* r, bool templates) {
    if (!SetCodeAcceptable(r, sizeof(AccessRule), false)) {
        return Fail(r);
    }
    uint32_t count = r->inputLength / sizeof(AccessRule);
    auto* records = reinterpret_cast<const AccessRule*>(r->buffer);
    int32_t result =
        templates ? ReplaceShareTemplates(records, count) : ReplaceAccessRules(records, count);
    ReplyResultWord(r, result == PolicyResultOk ? ControlResultOk : ControlResultNoMemory);
}

void SetAdmissionList(Request* r) {
    if (!SetCodeAcceptable(r, sizeof(AdmissionEntry), false)) {
        return Fail(r);
    }
    EngineState& e = g_Engine;
    // The fresh table is built before the guard is taken (allocation and the entries),
    // then swapped in whole: lookups see the old list or the new one, never a partial one.
    // A list that does not fit whole (past AdmissionTableLimit addresses, or out of
    // memory) is refused with the result word -1, and the old one stays in force.
    KeyedTable* fresh = CreateLimitedKeyedTable(AdmissionTableLimit, TableFullPolicy::Refuse, 0);
    uint32_t count = r->inputLength / sizeof(AdmissionEntry);
    bool whole = fresh != nullptr;
    for (uint32_t i = 0; i < count && whole; ++i) {
        const uint8_t* entry = r->buffer + i * sizeof(AdmissionEntry);
        uint8_t value = entry[offsetof(AdmissionEntry, Value)];
        whole = KeyedTableInsert(fresh, false, MakeTableKey(ReadIpv4Address(entry), 0), &value, 1);
    }
    if (!whole) {
        DestroyKeyedTable(fresh, false);
        return ReplyResultWord(r, ControlResultNoMemory);
    }
    EngineLockAcquire(&e.AdmissionGuardLock, false);
    KeyedTable* old = e.ClientAdmissionTable;
    e.ClientAdmissionTable = fresh;
    EngineLockRelease(&e.AdmissionGuardLock, false);
    DestroyKeyedTable(old, false);
    ReplyResultWord(r, ControlResultOk);
}

void SetKnownClients(Request* r) {
    if (!SetCodeAcceptable(r, sizeof(KnownClientLists), true)) {
        return Fail(r);
    }
    ReplaceKnownClientLists(reinterpret_cast<const KnownClientLists*>(r->buffer));
    ReplyResultWord(r, ControlResultOk);
}

void SetSettings(Request* r) {
    if (!SetCodeAcceptable(r, sizeof(EngineSettings), true)) {
        return Fail(r);
    }
    ReplaceEngineSettings(reinterpret_cast<const EngineSettings*>(r->buffer));
    ReplyResultWord(r, ControlResultOk);
}

void SetInspection(Request* r) {
    if (!SetCodeAcceptable(r, 1, true)) {
        return Fail(r);
    }
    SetInspectionEnabled(r->buffer[0] != 0);
    ReplyResultWord(r, ControlResultOk);
}

void AssignUsers(Request* r) {
    if (!SetCodeAcceptable(r, sizeof(UserAssignment), false)) {
        return Fail(r);
    }
    AssignSessionUsers(reinterpret_cast<UserAssignment*>(r->buffer),
                       r->inputLength / sizeof(UserAssignment));
    ReplyResultWord(r, ControlResultOk);
}

void ReadEvents(Request* r) {
    if (r->buffer == nullptr || r->outputLength != sizeof(FileEvent) * FileEventRingSlots) {
        return Fail(r);
    }
    Succeed(r, DrainFileEventRing(false, r->buffer));
}

void ReadEventClients(Request* r) {
    if (r->buffer == nullptr || r->outputLength != EventClientsOutputBytes) {
        return Fail(r);
    }
    // Drained with the addresses after a whole ring's room, then moved up behind the records.
    const uint32_t addressesAt = FileEventRingSlots * sizeof(FileEvent);
    uint32_t bytes = DrainFileEventRingWithClients(false, r->buffer, r->buffer + addressesAt);
    uint32_t events = bytes / sizeof(FileEvent);
    KmMoveMemory(r->buffer + bytes, r->buffer + addressesAt, events * ClientIpv6Bytes);
    Succeed(r, events * EventWithClientBytes);
}

void ReadLearned(Request* r) {
    if (r->buffer == nullptr || r->outputLength != sizeof(LearnedGrant) * LearnedGrantRingSlots) {
        return Fail(r);
    }
    Succeed(r, DrainLearnedGrantRing(false, r->buffer));
}

void ReadSessions(Request* r) {
    if (r->outputLength % sizeof(SessionUser) != 0 ||
        (r->outputLength != 0 && r->buffer == nullptr)) {
        return Fail(r);
    }
    uint32_t capacity = r->outputLength / sizeof(SessionUser);
    uint32_t written =
        capacity == 0 ? 0
                      : EnumerateSessionUsers(reinterpret_cast<SessionUser*>(r->buffer), capacity);
    Succeed(r, written * sizeof(SessionUser));
}

void ReadSessionClients(Request* r) {
    if (r->outputLength % sizeof(SessionClient) != 0 ||
        (r->outputLength != 0 && r->buffer == nullptr)) {
        return Fail(r);
    }
    uint32_t capacity = r->outputLength / sizeof(SessionClient);
    uint32_t written =
        EnumerateSessionClients(reinterpret_cast<SessionClient*>(r->buffer), capacity);
    Succeed(r, written * sizeof(SessionClient));
}

void ReadStats(Request* r) {
    if (r->buffer == nullptr || r->outputLength != sizeof(SmbTrafficStats)) {
        return Fail(r);
    }
    SmbTrafficStats stats;
    ReadTrafficStats(&stats);
    KmCopyMemory(r->buffer, &stats, sizeof stats);
    Succeed(r, sizeof stats);
}

void ReadUnreadable(Request* r) {
    if (r->buffer == nullptr || r->outputLength != sizeof(UnreadableStats)) {
        return Fail(r);
    }
    UnreadableStats stats;
    ReadUnreadableStats(&stats);
    KmCopyMemory(r->buffer, &stats, sizeof stats);
    Succeed(r, sizeof stats);
}

void SetRefusal(Request* r) {
    if (!SetCodeAcceptable(r, 1, true)) {
        return Fail(r);
    }
    SetRefuseUnreadable(r->buffer[0] != 0);
    ReplyResultWord(r, ControlResultOk);
}

struct ControlHandler {
    uint32_t code;
    void (*handle)(Request* r);
};

void SetRuleList(Request* r) {
    SetRules(r, false);
}
void SetTemplateList(Request* r) {
    SetRules(r, true);
}

const ControlHandler ControlHandlers[] = {
    {IOCTL_ENGINE_GET_VERSION, GetVersion},
    {IOCTL_ENGINE_SET_RULES, SetRuleList},
    {IOCTL_ENGINE_READ_EVENTS, ReadEvents},
    {IOCTL_ENGINE_SET_ADMISSION_LIST, SetAdmissionList},
    {IOCTL_ENGINE_SET_KNOWN_CLIENTS, SetKnownClients},
    {IOCTL_ENGINE_SET_SETTINGS, SetSettings},
    {IOCTL_ENGINE_SET_TEMPLATES, SetTemplateList},
    {IOCTL_ENGINE_READ_LEARNED, ReadLearned},
    {IOCTL_ENGINE_READ_SESSIONS, ReadSessions},
    {IOCTL_ENGINE_READ_STATS, ReadStats},
    {IOCTL_ENGINE_ASSIGN_USERS, AssignUsers},
    {IOCTL_ENGINE_SET_INSPECTION, SetInspection},
    {IOCTL_ENGINE_READ_EVENT_CLIENTS, ReadEventClients},
    {IOCTL_ENGINE_READ_UNREADABLE_STATS, ReadUnreadable},
    {IOCTL_ENGINE_SET_REFUSE_UNREADABLE, SetRefusal},
    {IOCTL_ENGINE_READ_SESSION_CLIENTS, ReadSessionClients},
};

} // namespace

void EngineDeviceControl(void* systemBuffer, uint32_t inputLength, uint32_t outputLength,
                         uint32_t controlCode, ControlStatusBlock* statusBlock) {
    Request request{static_cast<uint8_t*>(systemBuffer), inputLength, outputLength, statusBlock};
    statusBlock->information = 0;
    for (const ControlHandler& handler : ControlHandlers) {
        if (handler.code == controlCode) {
            handler.handle(&request);
            return;
        }
    }
    statusBlock->status = STATUS_INVALID_DEVICE_REQUEST_CODE;
}
