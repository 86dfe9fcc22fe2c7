// Builders for NTLMSSP messages and the SPNEGO negTokenResp that carries them.
#pragma once

#include <string>

#include "frames.h"

Bytes Utf16Le(const std::string& ascii);

// The three NTLMSSP message types. Names are written as UTF-16LE.
Bytes NtlmNegotiate();
Bytes NtlmChallenge();
struct NtlmNames {
    Bytes user;
    Bytes domain;
    Bytes workstation;
};
Bytes NtlmAuthenticate(const NtlmNames& names);
Bytes NtlmAuthenticate(const std::string& user, const std::string& domain,
                       const std::string& workstation);

// A DER element: tag, length (short form below 0x80 unless `lengthBytes` forces the long
// form with that many bytes), content.
Bytes DerElement(uint8_t tag, const Bytes& content, int lengthBytes = 0);

// negTokenResp { negState, supportedMech, responseToken(OCTET STRING token) }.
Bytes SpnegoResponse(const Bytes& token, int lengthBytes = 0, bool withStateAndMech = true);
