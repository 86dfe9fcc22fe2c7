#include "ntlm.h"

#include "policy_builders.h"
#include "wire_bytes.h"

namespace {

Bytes Signature(uint32_t type, size_t size) {
    Bytes m(size, 0);
    const char sig[] = "NTLMSSP";
    std::copy(sig, sig + 8, m.begin());
    PutLe32(m, 8, type);
    return m;
}

// Appends `data` as the payload of the (length, max length, offset) field at `field`.
void AddPayload(Bytes& message, size_t field, const Bytes& data) {
    PutLe16(message, field, uint16_t(data.size()));
    PutLe16(message, field + 2, uint16_t(data.size()));
    PutLe32(message, field + 4, uint32_t(message.size()));
    message.insert(message.end(), data.begin(), data.end());
}

} // namespace

Bytes Utf16Le(const std::string& ascii) {
    Bytes out;
    for (Utf16Unit unit : Utf8ToUnits(ascii)) {
        out.push_back(uint8_t(unit));
        out.push_back(uint8_t(unit >> 8));
    }
    return out;
}

Bytes NtlmNegotiate() {
    Bytes m = Signature(1, 32);
    PutLe32(m, 12, 0xE2088297); // flags
    return m;
}

Bytes NtlmChallenge() {
    Bytes m = Signature(2, 56);
    PutLe32(m, 20, 0xE2898215);
    for (int i = 0; i < 8; ++i) {
        m[24 + i] = uint8_t(0xA0 + i); // server challenge
    }
    return m;
}

Bytes NtlmAuthenticate(const NtlmNames& names) {
    // 88 fixed bytes: the fields, flags, version and MIC.
    Bytes m = Signature(3, 88);
    AddPayload(m, 12, Bytes(24, 0x11));   // LmChallengeResponse
    AddPayload(m, 20, Bytes(48, 0x22));   // NtChallengeResponse
    AddPayload(m, 28, names.domain);      // DomainName
    AddPayload(m, 36, names.user);        // UserName
    AddPayload(m, 44, names.workstation); // Workstation
    AddPayload(m, 52, Bytes(16, 0x33));   // EncryptedRandomSessionKey
    PutLe32(m, 60, 0xE2888215);
    return m;
}

Bytes NtlmAuthenticate(const std::string& user, const std::string& domain,
                       const std::string& workstation) {
    return NtlmAuthenticate(NtlmNames{Utf16Le(user), Utf16Le(domain), Utf16Le(workstation)});
}

Bytes DerElement(uint8_t tag, const Bytes& content, int lengthBytes) {
    Bytes out{tag};
    size_t n = content.size();
    if (lengthBytes == 0 && n < 0x80) {
        out.push_back(uint8_t(n));
    } else {
        int count = lengthBytes;
        if (count == 0) {
            for (size_t v = n; v != 0; v >>= 8) {
                ++count;
            }
        }
        out.push_back(uint8_t(0x80 + count));
        for (int i = count - 1; i >= 0; --i) {
            out.push_back(uint8_t(n >> (8 * i)));
        }
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes SpnegoResponse(const Bytes& token, int lengthBytes, bool withStateAndMech) {
    Bytes sequence;
    if (withStateAndMech) {
        Bytes negState = DerElement(0xA0, DerElement(0x0A, Bytes{1}));
        // 1.3.6.1.4.1.311.2.2.10, the NTLMSSP mechanism.
        Bytes mech = DerElement(0xA1, DerElement(0x06, Bytes{0x2B, 0x06, 0x01, 0x04, 0x01, 0x82,
                                                             0x37, 0x02, 0x02, 0x0A}));
        sequence = Concat({negState, mech});
    }
    Bytes responseToken = DerElement(0xA2, DerElement(0x04, token, lengthBytes), lengthBytes);
    sequence = Concat({sequence, responseToken});
    return DerElement(0xA1, DerElement(0x30, sequence, lengthBytes), lengthBytes);
}
