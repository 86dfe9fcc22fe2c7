#include "smb_framing.h"

#include "client_address.h"
#include "create_answer.h"
#include "denial_marks.h"
#include "engine_state.h"
#include "pool.h"
#include "report_rings.h"
#include "smb1_fields.h"
#include "smb_protocol.h"
#include "unreadable.h"
#include "wire.h"

namespace {

const uint32_t TcpSequence = 4;
const uint32_t TcpFlags = 13;
const uint8_t TcpFin = 0x01;
const uint8_t TcpSyn = 0x02;
const uint8_t TcpRst = 0x04;

// NetBIOS session packets besides the session message (session request, positive and
// negative answer, retarget, keep-alive) are framed by their length and not decoded.
const uint8_t NetbiosFirstControlType = 0x81;
const uint8_t NetbiosKeepAlive = 0x85;

const uint32_t NoMember = 0xFFFFFFFF;
// Segments after the last spoil of a flow until its kept spoils are let go: retransmissions
// come well within them.
const uint32_t PatchKeepSegments = 64;

// Hunting: the flow lost bytes, and the next SMB header is looked for in every segment
// until one is found.
enum class FlowPhase : uint8_t { AtBoundary, InMessage, Hunting };

// Bytes the engine changed in a segment, kept by stream position.
struct FlowPatch {
    uint32_t seq;
    uint8_t length;
    uint8_t bytes[FlowPatchBytes];
};

// Where the stream stands; the held bytes follow it in the record.
struct FlowHead {
    uint32_t nextSeq;       // stream position of the first byte not yet seen
    uint32_t messageStart;  // stream position of the message in progress (its NetBIOS header)
    uint32_t messageLength; // its NetBIOS length
    uint32_t messageSeen;   // bytes of it seen so far
    uint32_t nextMember;    // message offset of the next member to decide, or NoMember
    uint32_t heldFrom;      // message offset of the first held byte
    uint16_t heldBytes;
    FlowPhase phase;
    uint8_t headerHave; // bytes of a NetBIOS header split over segments, in image[]
    uint8_t patchCount;
    uint8_t patchNext;
    uint8_t segmentsSincePatch;
    uint8_t reserved;
    FlowPatch patches[FlowPatchSlots];
};

struct SmbFlowRecord : FlowHead {
    // A NetBIOS header, then the held message bytes: handlers see the held bytes exactly
    // as they see a frame's.
    uint8_t image[NetbiosHeaderLength + FlowHeldBytes];
};
static_assert(sizeof(SmbFlowRecord) <= KeyedTableMaxValue, "a flow record is one table value");
static_assert(sizeof(SmbFlowRecord) == sizeof(FlowHead) + NetbiosHeaderLength + FlowHeldBytes,
              "the held bytes follow the head");

// A record holding no message bytes: its head and the NetBIOS header.
struct HeadOnlyRecord {
    FlowHead head;
    uint8_t netbios[NetbiosHeaderLength];
};
const uint32_t FlowRecordFixedBytes = sizeof(HeadOnlyRecord);
static_assert(FlowRecordFixedBytes == sizeof(SmbFlowRecord) - FlowHeldBytes, "record layout");

struct FlowWork {
    SmbFlowRecord record;
    uint8_t pristine[FlowHeldBytes]; // a member's bytes before its handler ran
};

struct Segment {
    uint8_t* payload;
    uint32_t seq;
    uint32_t length;
};

bool SeqBefore(uint32_t a, uint32_t b) {
    return int32_t(a - b) < 0;
}

uint8_t* SegmentByte(const Segment& segment, uint32_t position) {
    uint32_t at = position - segment.seq;
    return at < segment.length ? segment.payload + at : nullptr;
}

uint32_t Min(uint32_t a, uint32_t b) {
    return a < b ? a : b;
}

struct FramingPass {
    const MessageDecoding* decoding;
    FrameView* view;
    bool atDispatch;
    uint64_t now;
    Segment segment;
    bool rewrote;
    bool stateless;     // a retransmission: decide whole messages again, keep no record
    bool retransmitted; // the segment brought no byte of the flow not seen before
    bool startLooked;   // the segment's first bytes were already found to start a message
};

bool IsNetbiosType(uint8_t type) {
    return type == NetbiosSessionMessage ||
           (type >= NetbiosFirstControlType && type <= NetbiosKeepAlive);
}

bool IsSmbProtocol(const uint8_t* at) {
    uint32_t protocol = ReadU32Le(at);
    return protocol == Smb2ProtocolId || protocol == Smb1ProtocolId ||
           IsTransformProtocol(protocol);
}

// Whether `left` bytes at `at` look like the start of a NetBIOS packet. Used where the
// stream position is not known: a flow's first segment seen, or after a gap.
bool LooksLikeMessageStart(const uint8_t* at, uint32_t left) {
    if (!IsNetbiosType(at[0])) {
        return false;
    }
    if (left < NetbiosHeaderLength) {
        return true;
    }
    if (at[0] == NetbiosKeepAlive) {
        return ReadU24Be(at + NetbiosLength) == 0;
    }
    if (at[0] == NetbiosSessionMessage && left >= NetbiosHeaderLength + SmbProtocolIdLength) {
        return IsSmbProtocol(at + NetbiosHeaderLength);
    }
    return true;
}

// The first offset from `from` where an SMB message plainly starts, or the segment's end.
uint32_t FindMessageStart(const Segment& segment, uint32_t from) {
    const uint32_t probe = NetbiosHeaderLength + SmbProtocolIdLength;
    for (uint32_t at = from; at + probe <= segment.length; ++at) {
        const uint8_t* p = segment.payload + at;
        // The 'S' of the protocol identifier first: it rules out most bytes of data.
        if (p[NetbiosHeaderLength + 1] == 'S' && p[NetbiosType] == NetbiosSessionMessage &&
            IsSmbProtocol(p + NetbiosHeaderLength)) {
            return at;
        }
    }
    return segment.length;
}

bool IsSmb2Response(const uint8_t* header) {
    return (ReadU32Le(header + Smb2Flags) & Smb2FlagServerToRedir) != 0;
}
bool IsSmb1Reply(const uint8_t* header) {
    return (header[Smb1Flags] & Smb1FlagReply) != 0;
}

// One whole message in place: every member of an SMB2 chain, or one SMB1 message.
bool DecodeWholeMessage(const FramingPass* pass, uint8_t* netbios, uint32_t length) {
    if (netbios[NetbiosType] != NetbiosSessionMessage || length < SmbProtocolIdLength) {
        return false;
    }
    const MessageDecoding& d = *pass->decoding;
    bool inbound = d.direction == SmbDirection::Request;
    uint8_t* header = netbios + NetbiosHeaderLength;
    uint32_t protocol = ReadU32Le(header);
    if (protocol == Smb2ProtocolId) {
        // Every SMB message pays for a few entries of the purge of requests whose
        // response never came.
        PurgeStaleRequests(pass->atDispatch, pass->now);
        if (length < Smb2HeaderLength || IsSmb2Response(header) == inbound) {
            return false;
        }
        return WalkSmb2Chain(netbios, length, pass->view, pass->atDispatch, d.direction, d.smb2);
    }
    if (protocol == Smb1ProtocolId) {
        PurgeStaleRequests(pass->atDispatch, pass->now);
        if (length < Smb1HeaderLength || IsSmb1Reply(header) == inbound) {
            return false;
        }
        return d.smb1(netbios, header, length, pass->view, pass->atDispatch);
    }
    if (IsTransformProtocol(protocol)) {
        return HandleTransformMessage(d.direction, header, length, pass->view, pass->atDispatch);
    }
    return false;
}

// ---- What a decision reads ----------------------------------------------------------

// For each SMB2 request the engine decides: how far its fixed fields go that the decision
// reads (a file id ends them where there is one, so that the frame completing them holds
// the id's last bytes), and the variable buffer it reads, if any.
struct Smb2RequestReach {
    uint16_t command;
    uint16_t fixedEnd;
    uint16_t bufferOffsetAt; // 0: no buffer
    uint16_t bufferLengthAt;
    uint8_t bufferLengthBytes;
};

const uint32_t Body = Smb2HeaderLength;
const Smb2RequestReach Smb2RequestReaches[] = {
    {Smb2SessionSetup, Body + 24, Body + 12, Body + 14, 2},
    {Smb2TreeConnect, Body + 8, Body + 4, Body + 6, 2},
    {Smb2Create, Body + 56, Body + 44, Body + 46, 2},
    {Smb2Close, Body + 24, 0, 0, 0},
    {Smb2Write, Body + 32, 0, 0, 0},
    {Smb2Ioctl, Body + 24, 0, 0, 0},
    {Smb2QueryInfo, Body + 40, 0, 0, 0},
    {Smb2SetInfo, Body + 32, Body + 8, Body + 4, 4},
};
// Answers: the header and the fields of a CREATE answer up to its file id; other answers
// are read in their first body bytes.
const uint32_t Smb2CreateAnswerReach = Body + 80;
const uint32_t Smb2AnswerReach = Body + 16;

// Bytes from the member's header that its decision reads; `have` bytes are held.
uint32_t Smb2DecisionReach(SmbDirection direction, const uint8_t* header, uint32_t have) {
    if (have < Smb2HeaderLength) {
        return Smb2HeaderLength;
    }
    uint16_t command = ReadU16Le(header + Smb2Command);
    if (direction == SmbDirection::Response) {
        return command == Smb2Create ? Smb2CreateAnswerReach : Smb2AnswerReach;
    }
    for (const Smb2RequestReach& reach : Smb2RequestReaches) {
        if (reach.command != command) {
            continue;
        }
        if (reach.bufferOffsetAt == 0 || have < reach.fixedEnd) {
            return reach.fixedEnd;
        }
        uint32_t offset = ReadU16Le(header + reach.bufferOffsetAt);
        uint32_t length = reach.bufferLengthBytes == 2 ? ReadU16Le(header + reach.bufferLengthAt)
                                                       : ReadU32Le(header + reach.bufferLengthAt);
        uint32_t end = length == 0 ? 0 : offset + Min(length, FlowHeldBytes);
        return end > reach.fixedEnd ? end : reach.fixedEnd;
    }
    return Smb2HeaderLength + Smb2FixedPart(direction, command);
}

// Writes whose data runs into later segments: the words hold all that is decided.
bool IsSmb1WriteCommand(uint8_t command) {
    const uint8_t writes[] = {Smb1Write,    Smb1WriteAndUnlock, Smb1WriteRaw,
                              Smb1WriteMpx, Smb1WriteAndClose,  Smb1WriteAndX};
    for (uint8_t write : writes) {
        if (write == command) {
            return true;
        }
    }
    return false;
}

const uint32_t Smb1WordCount = Smb1HeaderLength;
const uint32_t Smb1AndXCommand = Smb1HeaderLength + 1;
const uint8_t Smb1NoAndXCommand = 0xFF;
const uint32_t Smb1AnswerReach = 512;

// Bytes of an SMB1 message `length` long that its decision reads: the words of a write
// (its data is not read) unless a command is chained to it, and otherwise the whole
// message as far as it can be held.
uint32_t Smb1DecisionReach(SmbDirection direction, const uint8_t* header, uint32_t have,
                           uint32_t length) {
    if (have <= Smb1WordCount) {
        return Smb1WordCount + 1;
    }
    if (direction == SmbDirection::Response) {
        return Min(length, Smb1AnswerReach);
    }
    uint32_t wordsEnd = Smb1WordCount + 1 + 2u * header[Smb1WordCount] + 2;
    bool chained = header[Smb1Command] == Smb1WriteAndX && have > Smb1AndXCommand &&
                   header[Smb1AndXCommand] != Smb1NoAndXCommand;
    if (IsSmb1WriteCommand(header[Smb1Command]) && !chained) {
        return Min(length, wordsEnd);
    }
    return Min(length, FlowHeldBytes);
}

// ---- Carrying spoils into the frame ------------------------------------------------

// Writes one byte of the segment at a stream position and keeps it for retransmissions.
void SpoilSegmentByte(FramingPass* pass, SmbFlowRecord* r, uint8_t* at, uint32_t position,
                      uint8_t value) {
    *at = value;
    pass->rewrote = true;
    r->segmentsSincePatch = 0;
    if (r->patchCount != 0) {
        uint32_t last = (r->patchNext + FlowPatchSlots - 1) % FlowPatchSlots;
        FlowPatch& patch = r->patches[last];
        if (patch.seq + patch.length == position && patch.length < FlowPatchBytes) {
            patch.bytes[patch.length++] = value;
            return;
        }
    }
    FlowPatch& patch = r->patches[r->patchNext];
    patch.seq = position;
    patch.length = 1;
    patch.bytes[0] = value;
    r->patchNext = uint8_t((r->patchNext + 1) % FlowPatchSlots);
    if (r->patchCount < FlowPatchSlots) {
        r->patchCount += 1;
    }
}

// Writes the `count` bytes of `pattern` at a stream position. False, writing nothing, when
// any of them lies outside the segment.
bool SpoilRun(FramingPass* pass, SmbFlowRecord* r, uint32_t position, const uint8_t* pattern,
              uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        if (SegmentByte(pass->segment, position + i) == nullptr) {
            return false;
        }
    }
    for (uint32_t i = 0; i < count; ++i) {
        SpoilSegmentByte(pass, r, SegmentByte(pass->segment, position + i), position + i,
                         pattern[i]);
    }
    return true;
}

// A name with a stream part that goes on into a path (":\"), or that ends where its stream
// part starts (":"), is refused by the server before any file is looked up, wildcards
// and all. Written over the last whole units of a name that lie in the segment.
const uint8_t RefusedUnicodeName[] = {':', 0, '\\', 0};
const uint8_t RefusedAsciiName[] = {':', '\\'};
const uint32_t StatusObjectNameInvalid = 0xC0000033;

bool SpoilNameTail(FramingPass* pass, SmbFlowRecord* r, uint32_t namePosition, uint32_t nameBytes,
                   bool unicode) {
    const uint8_t* pattern = unicode ? RefusedUnicodeName : RefusedAsciiName;
    uint32_t unit = unicode ? 2 : 1;
    uint32_t end = nameBytes - nameBytes % unit;
    if (end >= 2 * unit && SpoilRun(pass, r, namePosition + end - 2 * unit, pattern, 2 * unit)) {
        return true;
    }
    return end >= unit && SpoilRun(pass, r, namePosition + end - unit, pattern, unit);
}

const uint32_t Smb2CreateNameOffset = Body + 44;
const uint32_t Smb2CreateNameLength = Body + 46;
const uint32_t Smb2SetInfoClass = Body + 3;
const uint32_t Smb2SetInfoBufferLength = Body + 4;
const uint32_t Smb2SetInfoBufferOffset = Body + 8;
const uint32_t Smb2RenameNameLength = 16;
const uint32_t Smb2RenameName = 20;
const uint8_t Smb2RenameClasses[] = {10, 11, 65, 72}; // rename and link, plain and extended
const uint8_t Smb2DispositionClasses[] = {13, 64};    // delete on close, plain and extended
const uint32_t Smb2DispositionFlagBytes = 4;
// Where each file-id request keeps its id, and the upper half of the id's volatile part
// (no open has an id that large).
struct FileIdAt {
    uint16_t command;
    uint16_t offset;
};
const FileIdAt Smb2FileIds[] = {
    {Smb2Write, Body + 16}, {Smb2Ioctl, Body + 8},    {Smb2QueryInfo, Body + 24},
    {Smb2Close, Body + 8},  {Smb2SetInfo, Body + 16},
};
const uint32_t VolatileUpperHalf = 12;
const uint8_t NoSuchOpen[] = {0xFF, 0xFF, 0xFF, 0xFF};

bool InList(uint8_t value, const uint8_t* list, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        if (list[i] == value) {
            return true;
        }
    }
    return false;
}

// A spoil that the decision wrote into bytes already gone in earlier frames is replaced
// by one in the bytes of this frame that the decision read last: the name of a create or
// a rename target, the flag of a delete on close, the file id of a request on an open.
bool SpoilSmb2InSegment(FramingPass* pass, SmbFlowRecord* r, const uint8_t* h, uint32_t available,
                        uint32_t memberPosition) {
    uint16_t command = ReadU16Le(h + Smb2Command);
    if (command == Smb2Create && available >= Smb2CreateNameLength + 2) {
        uint32_t offset = ReadU16Le(h + Smb2CreateNameOffset);
        uint32_t length = ReadU16Le(h + Smb2CreateNameLength);
        return SpoilNameTail(pass, r, memberPosition + offset, length, true);
    }
    if (command == Smb2SetInfo && available > Smb2SetInfoBufferOffset + 2) {
        uint8_t infoClass = h[Smb2SetInfoClass];
        uint32_t buffer = ReadU16Le(h + Smb2SetInfoBufferOffset);
        uint32_t length = ReadU32Le(h + Smb2SetInfoBufferLength);
        if (InList(infoClass, Smb2RenameClasses, sizeof Smb2RenameClasses) &&
            buffer + Smb2RenameName <= available) {
            uint32_t nameBytes = ReadU32Le(h + buffer + Smb2RenameNameLength);
            return SpoilNameTail(pass, r, memberPosition + buffer + Smb2RenameName, nameBytes,
                                 true);
        }
        if (InList(infoClass, Smb2DispositionClasses, sizeof Smb2DispositionClasses)) {
            // A cleared flag deletes nothing.
            const uint8_t cleared[Smb2DispositionFlagBytes] = {};
            uint32_t flagBytes = Min(length, Smb2DispositionFlagBytes);
            return flagBytes != 0 && SpoilRun(pass, r, memberPosition + buffer, cleared, flagBytes);
        }
    }
    // A related member names its file by the chain, not by its id.
    if ((ReadU32Le(h + Smb2Flags) & Smb2FlagRelatedOperations) != 0) {
        return false;
    }
    for (const FileIdAt& id : Smb2FileIds) {
        if (id.command != command) {
            continue;
        }
        // Any byte of the upper half makes the id one no open has.
        bool spoiled = false;
        uint32_t upper = memberPosition + id.offset + VolatileUpperHalf;
        for (uint32_t i = 0; i < sizeof NoSuchOpen; ++i) {
            uint8_t* at = SegmentByte(pass->segment, upper + i);
            if (at != nullptr) {
                SpoilSegmentByte(pass, r, at, upper + i, NoSuchOpen[i]);
                spoiled = true;
            }
        }
        return spoiled;
    }
    return false;
}

// SMB1 requests that end with a name (or, for renames, the new name).
const uint8_t Smb1NameLastCommands[] = {
    Smb1CreateDirectory, Smb1DeleteDirectory, Smb1Open,     Smb1Create,       Smb1Delete,
    Smb1Rename,          Smb1CreateNew,       Smb1OpenAndX, Smb1NtCreateAndX, Smb1NtRename,
};

bool SpoilSmb1InSegment(FramingPass* pass, SmbFlowRecord* r, const uint8_t* h, uint32_t available,
                        uint32_t messagePosition) {
    if (!InList(h[Smb1Command], Smb1NameLastCommands, sizeof Smb1NameLastCommands) ||
        r->messageLength > available) {
        return false;
    }
    // The name and its terminator end the message; names in Unicode stand on even offsets
    // from the header. A name whose terminator is spoiled runs to the message's end.
    bool unicode = (ReadU16Le(h + smb1::Flags2) & smb1::Flags2Unicode) != 0;
    uint32_t end = r->messageLength;
    uint32_t nameStart = Smb1HeaderLength + 1 + 2u * h[Smb1WordCount] + 2;
    if (unicode) {
        nameStart += nameStart % 2;
    }
    if ((unicode && end % 2 != 0) || end <= nameStart) {
        return false;
    }
    return SpoilNameTail(pass, r, messagePosition + nameStart, end - nameStart, unicode);
}

// Decides one member (or SMB1 message) from the held bytes, and carries what its handler
// changed into this frame.
void DecideHeldMember(FramingPass* pass, FlowWork* work, SmbDialect dialect, uint32_t rel,
                      uint32_t available, uint32_t memberOffset) {
    SmbFlowRecord* r = &work->record;
    uint8_t* h = r->image + NetbiosHeaderLength + rel;
    KmCopyMemory(work->pristine, h, available);
    int32_t eventsBefore = FileEventsQueued(pass->atDispatch);
    const MessageDecoding& d = *pass->decoding;
    SmbHandler handle = dialect == SmbDialect::Smb2 ? d.smb2 : d.smb1;
    if (!handle(r->image, h, available, pass->view, pass->atDispatch)) {
        return;
    }
    uint32_t position = r->messageStart + NetbiosHeaderLength + memberOffset;
    bool missed = false;
    for (uint32_t i = 0; i < available; ++i) {
        if (h[i] == work->pristine[i]) {
            continue;
        }
        uint8_t* at = SegmentByte(pass->segment, position + i);
        if (at == nullptr) {
            missed = true;
        } else {
            SpoilSegmentByte(pass, r, at, position + i, h[i]);
        }
    }
    if (!missed || d.direction == SmbDirection::Response) {
        return;
    }
    // The fields are read as sent: the handler's own spoil may have changed them.
    const uint8_t* sent = work->pristine;
    bool landed = dialect == SmbDialect::Smb2
                      ? SpoilSmb2InSegment(pass, r, sent, available, position)
                      : SpoilSmb1InSegment(pass, r, sent, available, position);
    if (landed) {
        RefuseWatchedCreateWhole(dialect,
                                 RequestKeyOf(dialect, sent, ConnectionOf(pass->view, true)),
                                 StatusObjectNameInvalid, pass->atDispatch);
        return;
    }
    // Nothing of the decision lies in this frame: the server will carry the request out.
    // Its denial is taken back, so that its answer is not turned into one, and its events
    // say it was not prevented.
    ForgetDenialMarks(dialect, RequestKeyOf(dialect, h, ConnectionOf(pass->view, true)),
                      pass->atDispatch);
    UnblockFileEventsSince(pass->atDispatch, eventsBefore, ClientIpv4Of(pass->view, true),
                           ClientIpv6Of(pass->view, true));
}

// A message the engine cannot read, from its held bytes. A refusal changes one byte of
// it; where that byte went by in an earlier frame, the first byte of the message in this
// frame is flipped instead: an encrypted message's authentication then fails as surely.
void DecideHeldTransform(FramingPass* pass, FlowWork* work, uint8_t* h, uint32_t available) {
    SmbFlowRecord* r = &work->record;
    KmCopyMemory(work->pristine, h, available);
    if (!HandleTransformMessage(pass->decoding->direction, h, available, pass->view,
                                pass->atDispatch)) {
        return;
    }
    uint32_t position = r->messageStart + NetbiosHeaderLength;
    for (uint32_t i = 0; i < available; ++i) {
        if (h[i] == work->pristine[i]) {
            continue;
        }
        uint8_t* at = SegmentByte(pass->segment, position + i);
        if (at == nullptr) {
            uint32_t first = SeqBefore(position, pass->segment.seq) ? pass->segment.seq : position;
            at = SegmentByte(pass->segment, first);
            if (at == nullptr) {
                return;
            }
            SpoilSegmentByte(pass, r, at, first, uint8_t(*at ^ 0xFF));
            return;
        }
        SpoilSegmentByte(pass, r, at, position + i, h[i]);
    }
}

// A CREATE whose name runs past what the record holds is decided on the part it holds, as
// full paths are decided on their first characters anyway: its held copy names only that
// part (the frame keeps the name as sent).
void ClampCreateName(uint8_t* h, uint32_t available) {
    if (ReadU16Le(h + Smb2Command) != Smb2Create || available < Smb2CreateNameLength + 2) {
        return;
    }
    uint32_t offset = ReadU16Le(h + Smb2CreateNameOffset);
    uint32_t length = ReadU16Le(h + Smb2CreateNameLength);
    if (offset < available && length > available - offset) {
        WriteU16Le(h + Smb2CreateNameLength, uint16_t((available - offset) & ~1u));
    }
}

// Decides the members whose decision the held bytes now complete. `ended`: the message's
// last byte has been seen.
void DecideHeld(FramingPass* pass, FlowWork* work, bool ended) {
    SmbFlowRecord* r = &work->record;
    bool inbound = pass->decoding->direction == SmbDirection::Request;
    uint32_t heldEnd = r->heldFrom + r->heldBytes;
    while (r->nextMember != NoMember) {
        uint32_t member = r->nextMember;
        if (member < r->heldFrom || (member >= heldEnd && !ended)) {
            return;
        }
        uint32_t rel = member - r->heldFrom;
        uint32_t have = heldEnd > member ? heldEnd - member : 0;
        if (have < SmbProtocolIdLength) {
            if (ended) {
                r->nextMember = NoMember;
            }
            return;
        }
        uint8_t* h = r->image + NetbiosHeaderLength + rel;
        uint32_t protocol = ReadU32Le(h);
        bool windowFull = rel + have >= FlowHeldBytes;
        if (protocol == Smb1ProtocolId && member == 0) {
            uint32_t reach =
                Smb1DecisionReach(pass->decoding->direction, h, have, r->messageLength);
            if (have < reach && !windowFull && !ended) {
                return;
            }
            r->nextMember = NoMember;
            PurgeStaleRequests(pass->atDispatch, pass->now);
            if (have >= Smb1HeaderLength && IsSmb1Reply(h) != inbound) {
                DecideHeldMember(pass, work, SmbDialect::Smb1, rel, have, member);
            }
            return;
        }
        if (IsTransformProtocol(protocol) && member == 0) {
            if (have < TransformHeaderLength && !windowFull && !ended) {
                return;
            }
            r->nextMember = NoMember;
            DecideHeldTransform(pass, work, h, Min(have, r->messageLength));
            return;
        }
        if (protocol != Smb2ProtocolId) {
            r->nextMember = NoMember;
            return;
        }
        uint32_t extent = r->messageLength - member;
        uint32_t next = have >= Smb2HeaderLength ? ReadU32Le(h + Smb2NextCommand) : 0;
        bool nextValid =
            next >= Smb2HeaderLength && next % Smb2CompoundAlignment == 0 && next < extent;
        if (nextValid) {
            extent = next;
        }
        uint32_t reach = Min(Smb2DecisionReach(pass->decoding->direction, h, have), extent);
        if (have < reach && !windowFull && !ended) {
            return;
        }
        if (have < Smb2HeaderLength) {
            r->nextMember = NoMember;
            return;
        }
        uint32_t available = Min(have, extent);
        if (have < reach) {
            ClampCreateName(h, available);
        }
        if (member == 0) {
            PurgeStaleRequests(pass->atDispatch, pass->now);
        }
        // The first member says which way the message goes; a message the wrong way is
        // left alone whole, as the chain walk does.
        if (member == 0 && IsSmb2Response(h) == inbound) {
            r->nextMember = NoMember;
            return;
        }
        uint16_t command = ReadU16Le(h + Smb2Command);
        bool fixedPresent =
            available >= Smb2HeaderLength + Smb2FixedPart(pass->decoding->direction, command);
        if (fixedPresent || available >= reach) {
            DecideHeldMember(pass, work, SmbDialect::Smb2, rel, available, member);
        }
        r->nextMember = nextValid ? member + next : NoMember;
    }
}

// Holds the message bytes [at, at + count) of `chunk` that the members still to decide
// read, and decides them as their bytes complete. A member that starts beyond what the
// record can hold starts the held bytes over at itself.
void HoldAndDecide(FramingPass* pass, FlowWork* work, const uint8_t* chunk, uint32_t at,
                   uint32_t count, bool ended) {
    SmbFlowRecord* r = &work->record;
    while (r->nextMember != NoMember) {
        if (r->nextMember >= r->heldFrom + FlowHeldBytes) {
            if (r->nextMember < at) {
                r->nextMember = NoMember; // its first bytes went by unheld
                return;
            }
            r->heldFrom = r->nextMember;
            r->heldBytes = 0;
        }
        uint32_t heldEnd = r->heldFrom + r->heldBytes;
        if (heldEnd < at) {
            r->nextMember = NoMember;
            return;
        }
        uint32_t end = Min(at + count, r->heldFrom + FlowHeldBytes);
        if (end > heldEnd) {
            KmCopyMemory(r->image + NetbiosHeaderLength + r->heldBytes, chunk + (heldEnd - at),
                         end - heldEnd);
            r->heldBytes = uint16_t(end - r->heldFrom);
        }
        DecideHeld(pass, work, ended && end == at + count);
        if (r->nextMember == NoMember) {
            r->heldBytes = 0; // nothing more of this message is read
            return;
        }
        if (r->nextMember < r->heldFrom + FlowHeldBytes || r->nextMember >= at + count) {
            return;
        }
    }
}

void ReapplyPatches(FramingPass* pass, SmbFlowRecord* r) {
    for (uint32_t p = 0; p < r->patchCount; ++p) {
        const FlowPatch& patch = r->patches[p];
        for (uint32_t i = 0; i < patch.length; ++i) {
            uint8_t* at = SegmentByte(pass->segment, patch.seq + i);
            if (at != nullptr && *at != patch.bytes[i]) {
                *at = patch.bytes[i];
                pass->rewrote = true;
            }
        }
    }
}

FlowWork* NewFlowWork() {
    auto* work = static_cast<FlowWork*>(EngineAllocate(sizeof(FlowWork)));
    if (work != nullptr) {
        KmZeroMemory(&work->record, FlowRecordFixedBytes);
    }
    return work;
}

// Walks the segment from `offset`. Without a record the offset is taken to be a message
// boundary; a message that runs past the segment gets one (unless the pass is stateless).
void WalkSegment(FramingPass* pass, FlowWork** work, uint32_t offset) {
    const Segment& s = pass->segment;
    while (offset < s.length) {
        uint32_t left = s.length - offset;
        uint8_t* at = s.payload + offset;
        SmbFlowRecord* r = *work != nullptr ? &(*work)->record : nullptr;
        if (r != nullptr && r->phase == FlowPhase::Hunting) {
            offset = FindMessageStart(s, offset);
            if (offset < s.length) {
                r->phase = FlowPhase::AtBoundary;
                r->headerHave = 0;
            }
            continue;
        }
        bool atBoundary = r == nullptr || (r->phase == FlowPhase::AtBoundary && r->headerHave == 0);
        if (atBoundary) {
            if (r == nullptr || pass->stateless) {
                // Without a record only a segment that starts a message is framed: most
                // such segments carry the data of a write seen from its middle.
                bool looked = offset == 0 && pass->startLooked;
                if (!looked && !LooksLikeMessageStart(at, left)) {
                    return;
                }
            } else if (!IsNetbiosType(at[0])) {
                r->phase = FlowPhase::Hunting; // the stream was lost
                continue;
            }
            if (left >= NetbiosHeaderLength) {
                uint32_t length = ReadU24Be(at + NetbiosLength);
                if (length <= left - NetbiosHeaderLength) {
                    if (DecodeWholeMessage(pass, at, length)) {
                        pass->rewrote = true;
                    }
                    offset += NetbiosHeaderLength + length;
                    continue;
                }
            }
            if (pass->stateless) {
                return;
            }
            if (*work == nullptr) {
                *work = NewFlowWork();
                if (*work == nullptr) {
                    return;
                }
                r = &(*work)->record;
            }
            r->phase = FlowPhase::AtBoundary;
            r->headerHave = 0;
            r->messageStart = s.seq + offset;
        }
        if (r->phase == FlowPhase::AtBoundary) {
            uint32_t take = Min(NetbiosHeaderLength - r->headerHave, left);
            KmCopyMemory(r->image + r->headerHave, at, take);
            r->headerHave = uint8_t(r->headerHave + take);
            offset += take;
            if (r->headerHave < NetbiosHeaderLength) {
                break;
            }
            r->headerHave = 0;
            if (!IsNetbiosType(r->image[NetbiosType])) {
                r->phase = FlowPhase::Hunting;
                continue;
            }
            r->messageLength = ReadU24Be(r->image + NetbiosLength);
            r->messageSeen = 0;
            r->heldFrom = 0;
            r->heldBytes = 0;
            r->nextMember = r->image[NetbiosType] == NetbiosSessionMessage ? 0 : NoMember;
            r->phase = r->messageLength == 0 ? FlowPhase::AtBoundary : FlowPhase::InMessage;
            continue;
        }
        uint32_t take = Min(left, r->messageLength - r->messageSeen);
        bool ended = r->messageSeen + take == r->messageLength;
        if (r->nextMember != NoMember) {
            HoldAndDecide(pass, *work, at, r->messageSeen, take, ended);
        }
        r->messageSeen += take;
        offset += take;
        if (ended) {
            r->phase = FlowPhase::AtBoundary;
            r->heldBytes = 0;
        }
    }
}

// Where in-order bytes of a flow with a record begin in this segment, or the segment's
// length when there are none.
uint32_t ResumeFlow(FramingPass* pass, FlowWork** work) {
    SmbFlowRecord* r = &(*work)->record;
    const Segment& s = pass->segment;
    if (s.seq == r->nextSeq) {
        return 0;
    }
    if (SeqBefore(s.seq, r->nextSeq)) {
        ReapplyPatches(pass, r);
        uint32_t seen = r->nextSeq - s.seq;
        if (seen < s.length) {
            return seen;
        }
        // All of it came before: whole messages at its start are decided again, as in its
        // first copy; the record stays as it is.
        pass->stateless = true;
        pass->retransmitted = true;
        FlowWork* none = nullptr;
        WalkSegment(pass, &none, 0);
        pass->stateless = false;
        return s.length;
    }
    // Bytes of the flow went by unseen: what the record held is of no use.
    r->phase = FlowPhase::Hunting;
    r->headerHave = 0;
    r->heldBytes = 0;
    return 0;
}

// A segment in the middle of a message that has nothing left to decide, on a flow whose
// record holds no bytes and no spoils: only the stream position moves, in place. This is
// every segment of a large WRITE or READ after its first.
enum class FlowLook : uint8_t { NoRecord, Record, Skipped };

FlowLook SkipWithinMessage(KeyedTable* flows, bool atDispatch, TableKey key, const Segment& s,
                           bool mayMove) {
    HeadOnlyRecord quick;
    uint32_t length = sizeof quick;
    if (!KeyedTableLookup(flows, atDispatch, key, &quick, &length)) {
        return FlowLook::NoRecord;
    }
    FlowHead& h = quick.head;
    if (!mayMove || length != sizeof quick || h.heldBytes != 0 || h.patchCount != 0 ||
        h.phase != FlowPhase::InMessage || h.nextMember != NoMember || h.nextSeq != s.seq ||
        s.length >= h.messageLength - h.messageSeen) {
        return FlowLook::Record;
    }
    h.nextSeq += s.length;
    h.messageSeen += s.length;
    return KeyedTableUpdate(flows, atDispatch, key, &quick, sizeof quick) ? FlowLook::Skipped
                                                                          : FlowLook::Record;
}

bool RecordNeeded(const SmbFlowRecord* r) {
    return r->phase != FlowPhase::AtBoundary || r->headerHave != 0 || r->patchCount != 0;
}

} // namespace

bool FrameSmbSegment(const MessageDecoding& decoding, FrameView* view, bool atDispatch,
                     uint64_t now) {
    const uint8_t* tcp = view->tcpHeader;
    uint8_t flags = tcp[TcpFlags];
    KeyedTable* flows = g_Engine.SmbFlowTable;
    Segment segment{view->payload, ReadU32Be(tcp + TcpSequence), view->payloadLength};
    bool control = (flags & (TcpSyn | TcpRst | TcpFin)) != 0;
    // While no flow has a record (most of the time: messages that fit their segments
    // leave none), a segment is framed from its start without a look at the table.
    bool keyed = control || !KeyedTableIsEmpty(flows);
    if (!keyed &&
        (segment.length == 0 || !LooksLikeMessageStart(segment.payload, segment.length))) {
        return false; // the middle of a transfer seen from there on
    }
    TableKey key{};
    FlowLook look = FlowLook::NoRecord;
    if (keyed) {
        key = FlowKeyOf(view);
        if ((flags & (TcpSyn | TcpRst)) != 0) {
            KeyedTableDelete(flows, atDispatch, key); // a new stream, or none
        }
        if (segment.length != 0) {
            look = SkipWithinMessage(flows, atDispatch, key, segment, !control);
        }
        if (look == FlowLook::Skipped) {
            return false;
        }
    }
    FramingPass pass{};
    pass.decoding = &decoding;
    pass.view = view;
    pass.atDispatch = atDispatch;
    pass.now = now;
    pass.segment = segment;
    pass.startLooked = !keyed;
    FlowWork* work = nullptr;
    uint32_t offset = 0;
    uint32_t stored = 0;
    if (look == FlowLook::Record) {
        work = NewFlowWork();
        if (work != nullptr) {
            stored = sizeof(SmbFlowRecord);
            KeyedTableLookup(flows, atDispatch, key, &work->record, &stored);
            offset = ResumeFlow(&pass, &work);
        }
    }
    if (pass.segment.length != 0) {
        WalkSegment(&pass, &work, offset);
    }
    if (work != nullptr) {
        if (!keyed) {
            key = FlowKeyOf(view);
        }
        SmbFlowRecord* r = &work->record;
        if (!pass.retransmitted) {
            r->nextSeq = pass.segment.seq + pass.segment.length;
            if (r->patchCount != 0 && ++r->segmentsSincePatch > PatchKeepSegments &&
                r->phase == FlowPhase::AtBoundary) {
                r->patchCount = 0;
                r->patchNext = 0;
            }
        }
        if ((flags & (TcpFin | TcpRst)) == 0 && RecordNeeded(r)) {
            uint32_t bytes = FlowRecordFixedBytes + r->heldBytes;
            if (!KeyedTableUpdate(flows, atDispatch, key, r, bytes)) {
                KeyedTableInsert(flows, atDispatch, key, r, bytes);
            }
        } else {
            KeyedTableDelete(flows, atDispatch, key);
        }
        EngineFree(work, sizeof(FlowWork));
    } else if (keyed && (flags & TcpFin) != 0) {
        KeyedTableDelete(flows, atDispatch, key);
    }
    return pass.rewrote;
}
