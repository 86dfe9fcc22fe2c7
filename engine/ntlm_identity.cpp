#include "ntlm_identity.h"

#include "../platform/km.h"
#include "text.h"
#include "wire.h"

namespace {

// NTLMSSP AUTHENTICATE_MESSAGE
const uint32_t NtlmSignatureLow = 0x4D4C544E;  // "NTLM"
const uint32_t NtlmSignatureHigh = 0x00505353; // "SSP\0"
const uint32_t NtlmMessageType = 8;
const uint32_t NtlmAuthenticate = 3;
const uint32_t NtlmDomainName = 28; // each name: 2-byte length, 2-byte max, 4-byte offset
const uint32_t NtlmUserName = 36;
const uint32_t NtlmWorkstation = 44;
const uint32_t NtlmAuthenticateMinimum = 88;
// Each name keeps at most 63 units so that its field stays terminated.
const uint32_t NameCopyLimit = (NameUnits - 1) * sizeof(Utf16Unit);

// SPNEGO (DER) tags
const uint8_t TagNegTokenResp = 0xA1;
const uint8_t TagSequence = 0x30;
const uint8_t TagResponseToken = 0xA2;
const uint8_t TagOctetString = 0x04;
const uint8_t DerLongForm = 0x80;
// More length bytes than this describe more data than any blob the engine can see.
const uint32_t DerMaxLengthBytes = 4;

bool HasNtlmSignature(const uint8_t* blob, uint32_t length) {
    return length >= 8 && ReadU32Le(blob) == NtlmSignatureLow &&
           ReadU32Le(blob + 4) == NtlmSignatureHigh;
}

// Copies one name described by the (length, offset) pair at `descriptor`. A name that
// does not lie wholly inside the message is left empty.
void CopyName(const uint8_t* message, uint32_t length, uint32_t descriptor, Utf16Unit* field) {
    uint32_t nameBytes = ReadU16Le(message + descriptor);
    uint32_t offset = ReadU32Le(message + descriptor + 4);
    if (offset > length || nameBytes > length - offset) {
        return;
    }
    uint32_t copied = nameBytes < NameCopyLimit ? nameBytes : NameCopyLimit;
    KmCopyMemory(field, message + offset, copied);
}

// Reads a DER length at `*at`, moving `*at` past it. False when the length bytes do not
// fit in the blob or use a form the engine does not accept.
bool ReadDerLength(const uint8_t* blob, uint32_t length, uint32_t* at, uint32_t* value) {
    if (*at >= length) {
        return false;
    }
    uint8_t first = blob[(*at)++];
    if (first < DerLongForm) {
        *value = first;
        return true;
    }
    uint32_t count = first - DerLongForm;
    if (count == 0 || count > DerMaxLengthBytes || count > length - *at) {
        return false;
    }
    uint32_t result = 0;
    for (uint32_t i = 0; i < count; ++i) {
        result = result << 8 | blob[(*at)++];
    }
    *value = result;
    return true;
}

// The OCTET STRING inside responseToken; it must fill the responseToken exactly.
bool ParseResponseToken(const uint8_t* token, uint32_t length, SessionUser* user) {
    if (length == 0 || token[0] != TagOctetString) {
        return false;
    }
    uint32_t at = 1;
    uint32_t content;
    if (!ReadDerLength(token, length, &at, &content)) {
        return false;
    }
    if (content != length - at) {
        return false;
    }
    return ParseNtlmAuthenticate(token + at, content, user);
}

} // namespace

bool ParseNtlmAuthenticate(const uint8_t* message, uint32_t length, SessionUser* user) {
    if (length < NtlmAuthenticateMinimum || !HasNtlmSignature(message, length) ||
        ReadU32Le(message + NtlmMessageType) != NtlmAuthenticate) {
        return false;
    }
    CopyName(message, length, NtlmUserName, user->UserName);
    CopyName(message, length, NtlmDomainName, user->DomainName);
    CopyName(message, length, NtlmWorkstation, user->WorkstationName);
    Utf16LowerCase(user->UserName, NameUnits);
    Utf16LowerCase(user->DomainName, NameUnits);
    Utf16LowerCase(user->WorkstationName, NameUnits);
    return true;
}

bool ParseSpnegoResponse(const uint8_t* blob, uint32_t length, SessionUser* user) {
    if (length == 0 || blob[0] != TagNegTokenResp) {
        return false;
    }
    uint32_t at = 1;
    uint32_t outer;
    if (!ReadDerLength(blob, length, &at, &outer) || outer != length - at) {
        return false;
    }
    if (at >= length || blob[at] != TagSequence) {
        return false;
    }
    ++at;
    uint32_t sequenceLength;
    if (!ReadDerLength(blob, length, &at, &sequenceLength)) {
        return false;
    }
    // The SEQUENCE's elements: negState, supportedMech, responseToken, mechListMIC.
    while (at < length) {
        uint8_t tag = blob[at++];
        uint32_t elementLength;
        if (!ReadDerLength(blob, length, &at, &elementLength) || elementLength > length - at) {
            return false;
        }
        if (tag == TagResponseToken) {
            return ParseResponseToken(blob + at, elementLength, user);
        }
        at += elementLength;
    }
    return false;
}

bool IdentifyUser(const uint8_t* blob, uint32_t length, SessionUser* user) {
    bool parsed = false;
    if (length != 0 && blob[0] == TagNegTokenResp) {
        parsed = ParseSpnegoResponse(blob, length, user);
    }
    if (!parsed && HasNtlmSignature(blob, length)) {
        parsed = ParseNtlmAuthenticate(blob, length, user);
    }
    return parsed;
}
