// The IPv6 address of each session's client, beside the session table: the session record
// keeps its 32-bit IPv4 field (0 for an IPv6 client).
#pragma once

#include <stdint.h>

#include "records.h"

// Remembers the client address of a session whose user was just learned: an IPv6
// address (16 bytes), or null for an IPv4 client (then any address kept is forgotten).
void NoteSessionClient(bool atDispatch, uint64_t session, const uint8_t* clientAddress6);

// As EnumerateSessionUsers, each distinct record with its client's IPv6 address (zeros
// for an IPv4 client). Returns how many were written.
uint32_t EnumerateSessionClients(SessionClient* out, uint32_t capacity);
