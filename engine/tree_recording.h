// Turning a successful tree-connect response into a recorded tree (or an IPC$ tree), and
// learning the connecting user's grant for the share.
#pragma once

#include <stdint.h>

#include "keyed_table.h"
#include "smb_message.h"

// `pending` is the dialect's pending-tree-connect table, `request` the response's request
// key, and (`session`, `treeId`) the tree key the server assigned.
void RecordTreeConnect(SmbMessage* message, KeyedTable* pending, TableKey request, uint64_t session,
                       uint32_t treeId, uint32_t status);
