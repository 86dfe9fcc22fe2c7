// Denial marks: a denied request leaves a mark under its request key; the response to it
// finds the mark, removes it and carries the denial status to the client.
#pragma once

#include <stdint.h>

#include "file_policy.h"
#include "keyed_table.h"
#include "smb_dispatch.h"

const uint32_t StatusAccessDenied = 0xC0000022;
const uint32_t StatusUserSessionDeleted = 0xC0000203;

// The table of `kind` for the dialect (UnknownSession is shared); null for None.
KeyedTable* MarkTable(SmbDialect dialect, MarkKind kind);

// The mark belongs to the message's client: a full mark table makes room with that client's
// own marks first.
bool RecordDenialMark(SmbDialect dialect, MarkKind kind, TableKey request,
                      const SmbMessage* message);

// Removes every mark the request left in the dialect's tables and the unknown-session
// table; what a narrowed create or rename left to its answer is settled as for a request
// that went unchanged.
void ForgetDenialMarks(SmbDialect dialect, TableKey request, bool atDispatch);

// Writes STATUS_ACCESS_DENIED into a response header (SMB1: with the NT-status flag).
void WriteAccessDenied(SmbDialect dialect, uint8_t* header);

// Keeps the blocked event of a request's denial (its `denial` note) with every mark the
// request left.
void KeepDenialNote(SmbDialect dialect, const SmbMessage* request);

// Looks the answer's request key up in each mark table of `kinds`, in order (the key is
// built only when a table holds marks); every mark found is
// removed. Where the answer shows that the server carried the request out (`done`: a
// success that the spoil should have made impossible), the answer passes unchanged and
// the denial's event is reported again with blocked 0, as a denial that failed; otherwise
// the mark's status is written into the response header (SMB1 replies also get the
// NT-status flag). True when the status was rewritten.
bool RewriteStatusFromMarks(SmbDialect dialect, const MarkKind* kinds, uint32_t count,
                            const SmbMessage* answer, bool done, const FileOperation* op);
