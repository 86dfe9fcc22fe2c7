#include "smb_request_common.h"

#include "../platform/km.h"
#include "engine_state.h"
#include "ntlm_identity.h"
#include "session_state.h"

namespace {
// Shorter blobs cannot hold an NTLM message.
const uint32_t MinimumSecurityBlob = 8;
} // namespace

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
}

void ForgetTree(const SmbMessage* message, uint64_t session, uint32_t treeId) {
    TableKey tree = TreeKey(session, treeId);
    KeyedTableDelete(g_Engine.TreeTable, message->atDispatch, tree);
    KeyedTableDelete(g_Engine.IpcTreeTable, message->atDispatch, tree);
}

void CopyWireText(Utf16Unit* to, const uint8_t* from, uint32_t bytes, uint32_t maxBytes) {
    KmCopyMemory(to, from, bytes < maxBytes ? bytes : maxBytes);
}
