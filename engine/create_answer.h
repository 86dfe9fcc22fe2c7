// The two ends of a create whose outcome only the server's answer tells: the request
// leaves what the answer must settle, the answer reports what the server did and turns
// the refusal of a narrowed create into an access denial.
#pragma once

#include <stdint.h>

#include "file_policy.h"
#include "keyed_table.h"
#include "smb_dispatch.h"
#include "smb_message.h"

// Called with an allowed create's verdict: remembers its outcome when it is watched.
void WatchCreateOutcome(const SmbMessage* message, SmbDialect dialect, TableKey request,
                        const CreateVerdict* verdict);

// A narrowed create whose narrowing could not reach the server is refused whole instead
// (framing spoils it where its last bytes travel): the refusal the answer then carries is
// the one the rule forbade. Nothing happens to a create that is not watched. The same for
// a narrowed rename or link: any failure it is answered with is the rule's refusal.
void RefuseWatchedCreateWhole(SmbDialect dialect, TableKey request, uint32_t refusedStatus,
                              bool atDispatch);

// The fields of a create answer that settle its outcome.
struct CreateAnswer {
    TableKey request;
    uint64_t session;
    uint32_t treeId;
    uint32_t status;
    uint32_t action; // CreateAction, or ActionUnknown
};

// `name` holds the create's name as sent (terminated, PathBufferUnits of room) and is
// turned into its full path. True when the answer's status was rewritten.
bool SettleCreateOutcome(SmbMessage* message, SmbDialect dialect, const CreateAnswer* answer,
                         Utf16Unit* name);

// Called with an allowed rename or link's replace verdict: remembers, when it is watched,
// what its answer settles and the texts of the events that wait for it.
void WatchReplaceOutcome(const SmbMessage* message, SmbDialect dialect, TableKey request,
                         const ReplaceVerdict* verdict, const Utf16Unit* oldPath,
                         const Utf16Unit* newPath);

// The answer to a rename or link, `status` as an NT status: reports the events that waited
// for it, and turns the name collision of a request narrowed for its target into an access
// denial. True when the status was rewritten.
bool SettleReplaceOutcome(SmbMessage* message, SmbDialect dialect, TableKey request,
                          uint64_t session, uint32_t treeId, uint32_t status);

// A narrowed request that travelled as it was sent: a create is not settled by its
// answer; a rename or link is settled as one under a rule that only reports (a success
// may have replaced the target).
void ForgetWatchedOutcome(SmbDialect dialect, TableKey request, bool atDispatch);
