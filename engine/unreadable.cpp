#include "unreadable.h"

#include "client_address.h"
#include "engine_state.h"
#include "file_policy.h"
#include "policy.h"
#include "report_rings.h"
#include "session_state.h"
#include "smb1_fields.h"
#include "smb_protocol.h"
#include "wire.h"

namespace {

const uint16_t Smb1Flags2SecuritySignature = 0x0004;
const uint32_t Smb1Signature = 14; // 8 bytes
const uint32_t Smb2Signature = 48; // 16 bytes
// The byte of the signature that a refusal flips: any change to it fails the server's
// check of the message, which then never reaches a file.
const uint8_t SignatureFlip = 0xFF;

// What the event's path field says, per kind.
struct UnreadableKind {
    uint8_t eventKind;
    const char* cannot;  // the engine's limit on such a session
    const char* refused; // the same session, refused
};

const UnreadableKind Encrypted = {FileEventEncryptedSession,
                                  "(encrypted: operations cannot be read; rules are not applied)",
                                  "(encrypted: refused, the user has deny rules)"};
const UnreadableKind Compressed = {FileEventCompressedSession,
                                   "(compressed: operations cannot be read; rules are not applied)",
                                   "(compressed: refused, the user has deny rules)"};
const UnreadableKind Signed = {
    FileEventSignedSession,
    "(signed: denials end in the server's own error or a dropped connection)",
    "(signed: denials end in the server's own error or a dropped connection)"};

const uint32_t ReportTextUnits = 80;

// Reports the session's kind once: the first message of a kind inserts its key.
void ReportOnce(const UnreadableKind& kind, uint64_t session, const FrameView* view, bool request,
                bool refused, bool atDispatch) {
    EngineState& e = g_Engine;
    TableKey key{session, kind.eventKind};
    uint32_t held = 0;
    if (KeyedTableLookup(e.UnreadableSessions, atDispatch, key, nullptr, &held)) {
        return;
    }
    uint8_t mark = 1;
    if (!KeyedTableInsert(e.UnreadableSessions, atDispatch, key, &mark, 1)) {
        return;
    }
    KmAtomicAdd64(&e.UnreadableCounters.SessionsReported, 1);
    Utf16Unit text[ReportTextUnits] = {};
    const char* say = refused ? kind.refused : kind.cannot;
    uint32_t units = 0;
    for (; units + 1 < ReportTextUnits && say[units] != 0; ++units) {
        text[units] = Utf16Unit(uint8_t(say[units]));
    }
    SessionUser user;
    bool known = GetSessionUser(atDispatch, session, &user);
    const uint8_t* mac = view->ethernetHeader + (request ? EthSourceMac : EthDestinationMac);
    ReportFileEvent(atDispatch, ClientIpv4Of(view, request), ClientIpv6Of(view, request),
                    MacToU64(mac), kind.eventKind, refused ? 1 : 0, known ? &user : nullptr, text,
                    units * sizeof(Utf16Unit));
}

// The session a compressed message belongs to: that of the SMB2 header left uncompressed
// after an unchained header; 0 when there is none to read.
uint64_t CompressedSession(const uint8_t* header, uint32_t available) {
    if (available < CompressionHeaderLength + Smb2HeaderLength ||
        (ReadU16Le(header + CompressionFlags) & CompressionFlagChained) != 0 ||
        ReadU32Le(header + CompressionOffset) < Smb2HeaderLength) {
        return 0;
    }
    const uint8_t* inner = header + CompressionHeaderLength;
    if (ReadU32Le(inner) != Smb2ProtocolId) {
        return 0;
    }
    return ReadU64Le(inner + Smb2SessionId);
}

bool RefusesUser(uint64_t session, bool atDispatch) {
    if (KmAtomicLoad8(&g_Engine.RefuseUnreadable) == 0) {
        return false;
    }
    Utf16Unit userName[NameUnits];
    Utf16Unit workstation[NameUnits];
    return GetSessionNames(atDispatch, session, userName, workstation) && userName[0] != 0 &&
           UserHasDenyRule(atDispatch, userName);
}

} // namespace

bool HandleTransformMessage(SmbDirection direction, uint8_t* header, uint32_t available,
                            const FrameView* view, bool atDispatch) {
    EngineState& e = g_Engine;
    KmAtomicAdd64(&e.UnreadableCounters.MessagesUnread, 1);
    bool encrypted = ReadU32Le(header) == Smb2TransformProtocolId;
    uint64_t session = 0;
    if (encrypted && available >= TransformHeaderLength) {
        session = ReadU64Le(header + TransformSessionId);
    } else if (!encrypted) {
        session = CompressedSession(header, available);
    }
    bool request = direction == SmbDirection::Request;
    bool refuse = request && session != 0 && RefusesUser(session, atDispatch);
    ReportOnce(encrypted ? Encrypted : Compressed, session, view, request, refuse, atDispatch);
    if (!refuse) {
        return false;
    }
    KmAtomicAdd64(&e.UnreadableCounters.MessagesRefused, 1);
    if (encrypted) {
        header[TransformSignature] ^= SignatureFlip;
    } else {
        KmZeroMemory(header, SmbProtocolIdLength); // the server drops what it cannot name
    }
    return true;
}

// The flag and a signature: SMB1 clients set the flag on unsigned messages too (a zero
// signature), as a word that they support signing.
bool IsSignedMessage(SmbDialect dialect, const uint8_t* header) {
    if (dialect == SmbDialect::Smb2) {
        return (ReadU32Le(header + Smb2Flags) & Smb2FlagSigned) != 0 &&
               (ReadU64Le(header + Smb2Signature) | ReadU64Le(header + Smb2Signature + 8)) != 0;
    }
    return (ReadU16Le(header + smb1::Flags2) & Smb1Flags2SecuritySignature) != 0 &&
           ReadU64Le(header + Smb1Signature) != 0;
}

void NoteSignedRequest(SmbDialect dialect, const SmbMessage* message) {
    uint64_t session = dialect == SmbDialect::Smb2 ? ReadU64Le(message->header + Smb2SessionId)
                                                   : ReadU16Le(message->header + smb1::Uid);
    ReportOnce(Signed, session, message->view, true, false, message->atDispatch);
}

void SetRefuseUnreadable(bool on) {
    KmAtomicStore8(&g_Engine.RefuseUnreadable, on);
}

void ReadUnreadableStats(UnreadableStats* out) {
    const UnreadableStats& c = g_Engine.UnreadableCounters;
    out->MessagesUnread = KmAtomicLoad64(&c.MessagesUnread);
    out->MessagesRefused = KmAtomicLoad64(&c.MessagesRefused);
    out->SessionsReported = KmAtomicLoad64(&c.SessionsReported);
}
