#include "smb_request_common.h"

#include "../platform/km.h"
#include "engine_state.h"
#include "ntlm_identity.h"
#include "session_clients.h"
#include "session_state.h"

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

void LearnSessionUser(const SmbMessage* message, uint64_t session, const uint8_t* blob,
                      uint32_t blobLength) {
    if (blobLength <= MinimumSecurityBlob) {
        return;
    }
    SessionUser user;
    KmZeroMemory(&user, sizeof user);
    if (!IdentifyUser(blob, blobLength, &user) || user.UserName[0] == 0) {
        return;
    }
    user.ClientMac = message->clientMac;
    user.ClientAddress = message->clientAddress;
    StoreSessionUser(message->atDispatch, session, &user);
    NoteSessionClient(message->atDispatch, session, message->clientAddress6);
}

void ForgetTree(const SmbMessage* message, uint64_t session, uint32_t treeId) {
    TableKey tree = TreeKey(session, treeId);
    KeyedTableDelete(g_Engine.TreeTable, message->atDispatch, tree);
    KeyedTableDelete(g_Engine.IpcTreeTable, message->atDispatch, tree);
}

void CopyWireText(Utf16Unit* to, const uint8_t* from, uint32_t bytes, uint32_t maxBytes) {
    KmCopyMemory(to, from, bytes < maxBytes ? bytes : maxBytes);
}
