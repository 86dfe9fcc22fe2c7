#include "smb_request_common.h"

#include "../platform/km.h"
#include "engine_state.h"
#include "ntlm_identity.h"
#include "pool.h"
#include "session_state.h"
#include "state_changes.h"

namespace {
// Shorter blobs cannot hold an NTLM message.
const uint32_t MinimumSecurityBlob = 8;

const uint32_t ContentChangingFsctls[] = {
    0x001440F2, // FSCTL_SRV_COPYCHUNK
    0x001480F2, // FSCTL_SRV_COPYCHUNK_WRITE
    0x000980C8, // FSCTL_SET_ZERO_DATA
    0x00098344, // FSCTL_DUPLICATE_EXTENTS_TO_FILE
    0x000983E8, // FSCTL_DUPLICATE_EXTENTS_TO_FILE_EX
};
} // namespace

bool IsContentChangingFsctl(uint32_t controlCode) {
    for (uint32_t code : ContentChangingFsctls) {
        if (code == controlCode) {
            return true;
        }
    }
    return false;
}

void LearnSessionUser(const SmbMessage* message, SmbDialect dialect, TableKey request,
                      const uint8_t* blob, uint32_t blobLength, bool binding) {
    if (blobLength <= MinimumSecurityBlob) {
        return;
    }
    // The change is large (it carries a whole SessionUser): it lives in the pool, not on the
    // stack.
    auto* change = static_cast<PendingChange*>(EngineAllocateZeroed(sizeof(PendingChange)));
    if (change == nullptr) {
        return;
    }
    SessionUser& user = change->user;
    if (IdentifyUser(blob, blobLength, &user) && user.UserName[0] != 0) {
        change->kind = binding ? StateChange::SessionBinding : StateChange::SessionSetup;
        user.ClientMac = message->clientMac;
        user.ClientAddress = message->clientAddress;
        user.Reserved = message->clientPorts;
        HoldStateChange(message, dialect, request, change);
    }
    EngineFree(change, sizeof(PendingChange));
}

namespace {

void Hold(const SmbMessage* message, SmbDialect dialect, TableKey request, StateChange kind,
          uint32_t treeId, TableKey file) {
    PendingChange change;
    KmZeroMemory(&change, sizeof change);
    change.kind = kind;
    change.treeId = treeId;
    change.file = file;
    HoldStateChange(message, dialect, request, &change);
}

} // namespace

void HoldTreeDisconnect(const SmbMessage* message, SmbDialect dialect, TableKey request,
                        uint32_t treeId) {
    Hold(message, dialect, request, StateChange::TreeDisconnect, treeId, TableKey{0, 0});
}

void HoldClose(const SmbMessage* message, SmbDialect dialect, TableKey request, TableKey file) {
    Hold(message, dialect, request, StateChange::Close, 0, file);
}

void HoldLogoff(const SmbMessage* message, SmbDialect dialect, TableKey request) {
    Hold(message, dialect, request, StateChange::Logoff, 0, TableKey{0, 0});
}

void CopyWireText(Utf16Unit* to, const uint8_t* from, uint32_t bytes, uint32_t maxBytes) {
    KmCopyMemory(to, from, bytes < maxBytes ? bytes : maxBytes);
}
