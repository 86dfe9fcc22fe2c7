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

// The tree a TREE_CONNECT_ANDX request connects, held for the commands chained after it in
// the same message (the server runs them in that tree before its answer names it): the UNC
// path of `pathBytes` bytes in the work buffer is stored as tree `treeId` of `session`, an
// id no server assigns, without learning. ReleaseChainTree removes it once the chain is
// decided.
void HoldChainTree(SmbMessage* message, uint64_t session, uint32_t treeId, uint32_t pathBytes);
void ReleaseChainTree(bool atDispatch, uint64_t session, uint32_t treeId);
