// Who a session belongs to, read from the NTLM AUTHENTICATE message that the client sends
// in its last session set-up request, raw or inside an SPNEGO negTokenResp.
//
// Every offset and length is bounded by the blob before a byte is copied: a malformed
// blob yields nothing, a name that reaches outside the message counts as absent.
#pragma once

#include <stdint.h>

#include "records.h"

// Fills the user, workstation and domain names (lower case, at most 63 units each) of a
// zeroed record. True when an AUTHENTICATE message was parsed; the caller still checks
// that the user name is not empty.
bool IdentifyUser(const uint8_t* blob, uint32_t length, SessionUser* user);

bool ParseSpnegoResponse(const uint8_t* blob, uint32_t length, SessionUser* user);
bool ParseNtlmAuthenticate(const uint8_t* message, uint32_t length, SessionUser* user);
