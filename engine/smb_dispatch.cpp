#include "smb_dispatch.h"

#include "client_address.h"
#include "denial_marks.h"
#include "engine_state.h"
#include "file_policy.h"
#include "policy.h"
#include "pool.h"
#include "smb_protocol.h"
#include "unreadable.h"
#include "wire.h"

namespace {

enum class AdmissionVerdict { Decode, PassUndecoded, Refused };

// While admission control is on, listed clients pass undecoded and every other client
// gets its message spoiled: a zero protocol identifier makes the server drop it.
AdmissionVerdict ApplyAdmissionGate(const SmbMessage* message) {
    if (!ReadAdmissionControl(message->atDispatch)) {
        return AdmissionVerdict::Decode;
    }
    uint8_t stored;
    // The list names IPv4 addresses: an IPv6 client is never on it.
    if (message->clientAddress6 == nullptr &&
        IsAdmittedClient(message->atDispatch, message->clientAddress, &stored)) {
        return AdmissionVerdict::PassUndecoded;
    }
    KmZeroMemory(message->header, SmbProtocolIdLength);
    return AdmissionVerdict::Refused;
}

// Work buffers kept between messages, as a lookaside list keeps blocks: a message takes
// one from a slot with one exchange and puts it back with one compare-exchange, and goes
// to the pool only when every slot is empty (or full, on the way back). Slots are words
// updated with atomics, so processors never wait on each other here.
// Each buffer holds the work area, then the note of a denial's event.
const uint32_t KeptWorkBuffers = 4;
const uint32_t WorkAllocationBytes = WorkBufferBytes + sizeof(DenialNote);
uint8_t* g_KeptWork[KeptWorkBuffers];

uint8_t* TakeWorkBuffer() {
    for (uint8_t*& slot : g_KeptWork) {
        if (__atomic_load_n(&slot, __ATOMIC_RELAXED) == nullptr) {
            continue;
        }
        uint8_t* kept = __atomic_exchange_n(&slot, nullptr, __ATOMIC_ACQUIRE);
        if (kept != nullptr) {
            return kept;
        }
    }
    return static_cast<uint8_t*>(EngineAllocate(WorkAllocationBytes));
}

void GiveBackWorkBuffer(uint8_t* work) {
    for (uint8_t*& slot : g_KeptWork) {
        uint8_t* empty = nullptr;
        if (__atomic_compare_exchange_n(&slot, &empty, work, false, __ATOMIC_RELEASE,
                                        __ATOMIC_RELAXED)) {
            return;
        }
    }
    EngineFree(work, WorkAllocationBytes);
}

uint16_t CommandOf(SmbDialect dialect, const SmbMessage* message) {
    return dialect == SmbDialect::Smb2 ? ReadU16Le(message->command) : *message->command;
}

// Requests that SMB2 and SMB3 clients sign whether or not the session signs the rest
// (the tree connect, the negotiate validation control), and the session's setup: signed
// or not, they say nothing of the session's later messages.
bool IsSignedByProtocol(SmbDialect dialect, uint16_t command) {
    return IsSessionEstablishmentCommand(dialect, command) ||
           (dialect == SmbDialect::Smb2 && command == Smb2Ioctl);
}

} // namespace

bool IsSessionEstablishmentCommand(SmbDialect dialect, uint16_t command) {
    if (dialect == SmbDialect::Smb2) {
        return command <= Smb2TreeDisconnect; // NEGOTIATE to TREE_DISCONNECT
    }
    return command >= Smb1TreeDisconnect && command <= Smb1TreeConnectAndX;
}

bool DispatchSmbMessage(SmbDialect dialect, SmbDirection direction, const SmbDecoderIndex* decoders,
                        uint8_t* netbios, uint8_t* header, uint32_t available, FrameView* view,
                        bool atDispatch, const ChainedCommand* chained) {
    SmbMessage message{};
    message.netbios = netbios;
    message.header = header;
    message.base = header;
    message.available = available;
    message.command = header + (dialect == SmbDialect::Smb2 ? Smb2Command : Smb1Command);
    message.finalCommand = true;
    if (chained != nullptr) {
        message.base = header + chained->shift;
        message.available = available - chained->shift;
        message.command = chained->command;
        message.finalCommand = chained->final;
        message.chainTree = chained->chainTree;
        message.hasChainFid = chained->hasFid;
        message.chainFid = chained->fid;
        if (chained->openCommand != 0) {
            message.chainOpen = header + chained->openShift;
            message.chainOpenCommand = chained->openCommand;
        }
    }
    message.view = view;
    message.atDispatch = atDispatch;
    message.direction = direction;

    // The remote side is the client: the sender of a request, the addressee of a response.
    bool request = direction == SmbDirection::Request;
    const uint8_t* mac = view->ethernetHeader + (request ? EthSourceMac : EthDestinationMac);
    message.clientMac = MacToU64(mac);
    message.clientAddress = ClientIpv4Of(view, request);
    message.clientAddress6 = ClientIpv6Of(view, request);
    uint16_t clientPort = request ? view->sourcePort : view->destinationPort;
    uint16_t serverPort = request ? view->destinationPort : view->sourcePort;
    message.clientPorts = uint32_t(clientPort) << 16 | serverPort;

    uint16_t command = CommandOf(dialect, &message);
    // Once per message: an AndX chain's later commands share its header.
    if (request && message.base == header && IsSignedMessage(dialect, header) &&
        !IsSignedByProtocol(dialect, command)) {
        NoteSignedRequest(dialect, &message);
    }
    if (request && !IsSessionEstablishmentCommand(dialect, command)) {
        AdmissionVerdict verdict = ApplyAdmissionGate(&message);
        if (verdict != AdmissionVerdict::Decode) {
            return verdict == AdmissionVerdict::Refused;
        }
    }

    SmbCommandDecoder decode = FindDecoder(decoders, command);
    if (decode == nullptr) {
        return false;
    }
    // Only messages that are decoded pay for the work buffer. Without one the message
    // passes undecoded.
    message.workArea = TakeWorkBuffer();
    if (message.workArea == nullptr) {
        return false;
    }
    // The work area is cleared when a decoder first asks for it (SmbWork); the note's
    // path is written with its length and read no further, so only its header is cleared.
    message.denial = reinterpret_cast<DenialNote*>(message.workArea + WorkBufferBytes);
    KmZeroMemory(message.denial, DenialNoteHeaderBytes);
    bool rewrote = decode(&message);
    if (request && rewrote && message.denial->kind != 0) {
        KeepDenialNote(dialect, &message);
    }
    GiveBackWorkBuffer(message.workArea);
    return rewrote;
}

void ReleaseKeptWorkBuffers() {
    for (uint8_t*& slot : g_KeptWork) {
        uint8_t* kept = __atomic_exchange_n(&slot, nullptr, __ATOMIC_ACQUIRE);
        if (kept != nullptr) {
            EngineFree(kept, WorkAllocationBytes);
        }
    }
}
