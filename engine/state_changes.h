// Requests that change the engine's picture of a connection (who a session is, which trees
// and opens exist) are held until the server answers them, and applied only when the answer
// says that they happened: a request the server refuses, or never answers, changes nothing.
#pragma once

#include <stdint.h>

#include "keyed_table.h"
#include "records.h"
#include "smb_dispatch.h"
#include "smb_message.h"

enum class StateChange : uint8_t {
    None = 0,
    SessionSetup,   // the user of a session: `user`
    SessionBinding, // a further connection of a session (SMB 3 multichannel)
    TreeDisconnect, // `treeId` of the session
    Close,          // the open `file`
    Logoff,         // the session
};

struct PendingChange {
    StateChange kind;
    uint8_t reserved[3];
    uint32_t clientAddress; // the connection the request came on
    uint32_t clientPorts;
    uint32_t treeId;
    TableKey file;
    SessionUser user; // a session set-up's only; the other changes end before it
};

// Keeps `change` for the answer to `request`, with the message's connection.
void HoldStateChange(const SmbMessage* message, SmbDialect dialect, TableKey request,
                     PendingChange* change);

// At the answer to `request` of `session`: takes what its request asked for and applies it
// when `status` is success and the answer goes to the connection the request came from.
// `guest`: an SMB2 set-up answer that makes the session a guest's. Returns what was applied
// (None when nothing was).
StateChange SettleStateChange(const SmbMessage* message, SmbDialect dialect, TableKey request,
                              uint64_t session, uint32_t status, bool guest);
