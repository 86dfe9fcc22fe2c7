// What the engine knows of who is connected and what they opened: the sessions with
// their users, the trees and the open files. A host that restarts (the live guard after
// a crash) keeps these and gives them back to the next engine, so that sessions begun
// before the restart stay known and guarded. Pending requests, marks and flows are not
// kept: they last one round trip.
#pragma once

#include <stdint.h>

#include "keyed_table.h"

enum class KeptTable : uint8_t { Sessions, Trees, IpcTrees, OpenFiles, SessionClients6 };
const uint32_t KeptTableCount = 5;

// Calls `visit` for each entry of each kept table, table by table, each under its own
// lock (the value is valid only during the call), until it returns false.
typedef bool (*KeptEntryVisitor)(void* context, KeptTable table, TableKey key, const uint8_t* value,
                                 uint32_t length);
void VisitKeptState(bool atDispatch, KeptEntryVisitor visit, void* context);

// A number that changes whenever any kept table changes (cheap: one read per table).
uint32_t KeptStateChanges();

// Stores one kept entry into a started engine. False for an unknown table, a value of a
// length the table never holds, or a table that is full or out of memory.
bool RestoreKeptEntry(bool atDispatch, KeptTable table, TableKey key, const void* value,
                      uint32_t length);
