// Bindings of the NDIS 5 model: the adapter below (open, close, sends, receives, requests,
// status and PnP), the virtual miniport instance with its miniport block, and the protocol
// above it (sends, indications, returns, queries and sets).
#include <algorithm>
#include <cstring>
#include <memory>
#include <random>

#include "model.h"

namespace sim5 {

namespace {

const uint32_t ReservedAbove = 16;
const uintptr_t CancelIdBase = 0xCA00000;
const uint32_t ReceiveFlagBase = 0x100;

// The checksum request the protocol above stamps on its n-th send.
uintptr_t ChecksumInfo(uintptr_t n) {
    return (n * 0x9E37u) & 0x3Fu;
}
const uint32_t EthernetHeader = 14;

struct SimMiniport {
    NDIS_MINIPORT_BLOCK block; // first: the miniport handle points here
    Binding* binding;
    void* deviceContext;
    void* adapterContext;
    uint32_t attributeFlags;
    NDIS_MEDIUM medium;
};

// A packet built by an actor, with the bytes its buffers describe.
struct ActorPacket {
    std::vector<uint8_t> bytes;
    std::vector<NDIS_BUFFER*> buffers;
};

int g_adapterNumber;

} // namespace

struct Binding::State {
    AdapterOptions options;
    std::u16string lowerName;
    NDIS_STRING lowerNameString;
    void* context = nullptr; // the driver's binding context
    bool open = false;
    std::atomic<bool> bindReturned{false};
    bool configurationOpen = false;
    NDIS_CONFIGURATION_PARAMETER version{};
    NDIS_CONFIGURATION_PARAMETER upper{};
    SimMiniport* miniport = nullptr;
    bool initPending = false;
    std::atomic<bool> initRunning{false}; // MiniportInitialize has not returned yet
    PacketPool* below = nullptr;
    PacketPool* above = nullptr;
    std::mutex lock; // guards the collections below
    std::map<NDIS_PACKET*, ActorPacket> actorPackets;
    std::vector<NDIS_PACKET*> pendingSends; // the driver's packets pending below
    std::set<NDIS_PACKET*> held;            // packets below that the driver keeps
    // Packets below whose ProtocolReceivePacket runs, and those of them the driver returned
    // already (it may, once it indicated them up and NDIS handed them back).
    std::set<NDIS_PACKET*> indicating, returnedEarly;
    bool haltOnIndicate = false;
    std::map<NDIS_PACKET*, NDIS_BUFFER*> aboveSends; // packets above in the driver -> head
    // Sends: the cancel id stamped on each packet above, the status the adapter below gave
    // the descriptor that carried it (what must come up, once), and the status each pending
    // descriptor will complete with.
    uintptr_t stamps = 0;
    std::map<void*, NDIS_PACKET*> cancelIds;
    std::map<NDIS_PACKET*, NDIS_STATUS> expectedUp;
    std::map<NDIS_PACKET*, NDIS_STATUS> pendingStatus;
    std::mt19937_64 sendDraws;
    std::mt19937_64 requestDraws;

    // Whether the next query or set from above is made at DISPATCH_LEVEL.
    bool RequestAtDispatch() { return options.requestIrqlSeed != 0 && requestDraws() % 2 != 0; }
    std::set<void*> cancelsAsked;       // cancelled above, not passed down yet
    std::set<void*> cancelsTaken;       // of those, the ones the adapter below will abort
    std::vector<NDIS_PACKET*> retained; // driver descriptors the protocol above keeps
    // What the adapter below was given to send and the protocol above keeps, as it was at
    // hand-over: both read the bytes again when they give the packet back.
    std::map<NDIS_PACKET*, std::vector<uint8_t>> handedBytes;
    std::set<uint32_t> lookaheadOn; // processors with an unfinished lookahead
    NDIS_REQUEST* requestBelow = nullptr;
    Request last;
    std::map<NDIS_OID, std::vector<uint8_t>> answers;
    std::vector<uint8_t> lookaheadFrame;
    // A transfer pending below (the packet, where from, how much) and the packet of the
    // protocol above whose transfer the driver answered with NDIS_STATUS_PENDING.
    NDIS_PACKET* transferBelow = nullptr;
    uint32_t transferFrom = 0, transferLength = 0;
    NDIS_PACKET* transferAbove = nullptr;

    // Copies the lookahead frame from `from` into the packet's buffers; the bytes copied.
    uint32_t FillTransfer(NDIS_PACKET* packet, uint32_t from, uint32_t length) {
        uint32_t have = from < lookaheadFrame.size() ? uint32_t(lookaheadFrame.size()) - from : 0;
        uint32_t copy = std::min(have, length);
        uint32_t done = 0;
        for (NDIS_BUFFER* b = packet->Private.Head; b != nullptr && done < copy; b = b->Next) {
            uint32_t take = std::min(b->ByteCount, copy - done);
            std::memcpy(b->MappedSystemVa, lookaheadFrame.data() + from + done, take);
            done += take;
        }
        return done;
    }
    NDIS_PACKET* lookaheadPacket = nullptr;

    NDIS_PACKET* BuildPacket(Owner owner, const std::vector<uint8_t>& frame, const Chain& chain) {
        PacketPool* pool = owner == Owner::Below ? below : above;
        NDIS_PACKET* packet = NewPacket(pool, false);
        std::lock_guard<std::mutex> hold(lock);
        ActorPacket& actor = actorPackets[packet];
        actor.bytes = frame;
        uint32_t at = 0;
        size_t cut = 0;
        while (at < frame.size()) {
            uint32_t take = uint32_t(frame.size()) - at;
            if (cut < chain.cuts.size() && chain.cuts[cut] < take) {
                take = chain.cuts[cut];
            }
            ++cut;
            NDIS_BUFFER* buffer = NewBuffer(owner, actor.bytes.data() + at, take, chain.mapped);
            if (chain.unmappable && actor.buffers.empty()) {
                MakeUnmappable(buffer);
            }
            if (!actor.buffers.empty()) {
                actor.buffers.back()->Next = buffer;
            }
            actor.buffers.push_back(buffer);
            at += take;
        }
        packet->Private.Head = actor.buffers.empty() ? nullptr : actor.buffers.front();
        packet->Private.Tail = actor.buffers.empty() ? nullptr : actor.buffers.back();
        packet->Private.ValidCounts = 0;
        return packet;
    }

    void FreeActorPacket(NDIS_PACKET* packet) {
        std::lock_guard<std::mutex> hold(lock);
        auto found = actorPackets.find(packet);
        for (NDIS_BUFFER* buffer : found->second.buffers) {
            DeleteBuffer(buffer);
        }
        actorPackets.erase(found);
        DeletePacket(packet);
    }

    bool IsActorPacket(NDIS_PACKET* packet, Owner owner) {
        PacketPool* pool = PoolOf(packet);
        return pool != nullptr && pool->owner == owner &&
               pool == (owner == Owner::Below ? below : above);
    }

    void CheckStillAsHanded(NDIS_PACKET* packet, const char* misuse) {
        std::vector<uint8_t> handed, now;
        {
            std::lock_guard<std::mutex> hold(lock);
            handed = std::move(handedBytes[packet]);
            handedBytes.erase(packet);
        }
        if (!PacketBytesIfAlive(packet, &now) || now != handed) {
            SimReportMisuse(misuse);
        }
    }

    // What NDIS and the adapter below put on a received packet: the packet as its own
    // original, and flags that vary from packet to packet.
    void StampReceived(NDIS_PACKET* packet) {
        NdisPacketExtensionFromPacket(packet)->NdisPacketInfo[OriginalPacketInfo] = packet;
        uintptr_t stamp;
        {
            // Sends from above count on the same number, on other threads.
            std::lock_guard<std::mutex> hold(lock);
            stamp = ++stamps;
        }
        packet->Private.Flags = ReceiveFlagBase << (stamp % 4);
    }

    NDIS_STATUS TakePendingStatus(NDIS_PACKET* packet) {
        std::lock_guard<std::mutex> hold(lock);
        NDIS_STATUS status = pendingStatus[packet];
        pendingStatus.erase(packet);
        return status;
    }

    // The adapter below completes a send it took: ProtocolSendComplete at DISPATCH_LEVEL.
    void CompleteBelow(NDIS_PACKET* packet, NDIS_STATUS status) {
        CheckStillAsHanded(packet, "a pending send changed or was freed before its completion");
        TheModel().protocol.SendCompleteHandler(context, packet, status);
    }

    std::vector<uint8_t> ActorBytes(NDIS_PACKET* packet) {
        std::lock_guard<std::mutex> hold(lock);
        return actorPackets[packet].bytes;
    }
};

namespace {

Binding* FromHandle(NDIS_HANDLE miniport) {
    return static_cast<SimMiniport*>(miniport)->binding;
}

Binding* FromFilter(void* filter) {
    return static_cast<SimMiniport*>(filter)->binding;
}

// One buffer of the driver's: the packet carries the driver's copy of the frame.
bool IsCopy(NDIS_PACKET* p) {
    return p->Private.Head != nullptr && p->Private.Head->Next == nullptr &&
           IsDriverBuffer(p->Private.Head);
}

// Every call up to the protocols above is made without a spin lock held: they may call
// back into the driver, or take their own locks in another order.
void UpCall() {
    if (SimLocksHeld() != 0) {
        SimReportMisuse("a call up to the protocols above with a spin lock held");
    }
    if (KmGetCurrentIrql() > KmDispatchLevel) {
        SimReportMisuse("a call up to the protocols above above DISPATCH_LEVEL");
    }
}

// What pends below, taken from its slot; reported when nothing does.
template <typename T> T* TakePending(T** slot, const char* nothing) {
    T* taken = *slot;
    *slot = nullptr;
    if (taken == nullptr) {
        SimReportMisuse(nothing);
    }
    return taken;
}

void RequireDispatch(const char* what) {
    if (KmGetCurrentIrql() != KmDispatchLevel) {
        SimReportMisuse(what);
    }
}

// ---- Handlers of the miniport block: the protocol above ----
void HaltWhileInside(Binding* b);

void PacketIndicate(NDIS_HANDLE miniport, NDIS_PACKET** packets, uint32_t count) {
    UpCall();
    RequireDispatch("receive indicated below DISPATCH_LEVEL");
    Binding* b = FromHandle(miniport);
    if (b->state->haltOnIndicate) {
        b->state->haltOnIndicate = false;
        HaltWhileInside(b);
    }
    std::vector<NDIS_PACKET*> declined;
    for (uint32_t i = 0; i < count; ++i) {
        NDIS_PACKET* p = packets[i];
        PacketPool* pool = PoolOf(p);
        if (pool == nullptr || pool->owner != Owner::Driver) {
            SimReportMisuse("a packet indicated up is not a descriptor of the driver");
            continue;
        }
        NDIS_STATUS status = NdisOobDataFromPacket(p)->Status;
        std::lock_guard<std::mutex> hold(b->state->lock);
        // The packet from below it carries, named by its original-packet info; its header
        // size and flags come up with it.
        auto* below = static_cast<NDIS_PACKET*>(
            NdisPacketExtensionFromPacket(p)->NdisPacketInfo[OriginalPacketInfo]);
        bool carried = below != nullptr && (b->state->indicating.count(below) != 0 ||
                                            below == b->state->lookaheadPacket);
        if (!carried ||
            NdisOobDataFromPacket(p)->HeaderSize != NdisOobDataFromPacket(below)->HeaderSize ||
            (p->Private.Flags & below->Private.Flags) != below->Private.Flags) {
            SimReportMisuse("a packet indicated up without the per-packet info of its original");
        }
        b->received.push_back(PacketBytes(p));
        b->receivedCopy.push_back(IsCopy(p));
        b->receivedStatus.push_back(status);
        b->receivedHeaderSize.push_back(NdisOobDataFromPacket(p)->HeaderSize);
        // A miniport that NDIS halts has no protocols above any more.
        bool keeps = b->state->options.upperRetainsPackets && b->state->miniport != nullptr;
        if (status != NDIS_STATUS_RESOURCES && keeps) {
            b->state->retained.push_back(p);
            b->state->handedBytes[p] = b->received.back();
        } else if (status != NDIS_STATUS_RESOURCES) {
            declined.push_back(p); // no one keeps it
        }
    }
    // No protocol kept them: NDIS hands them back at once, from within the indication.
    for (NDIS_PACKET* p : declined) {
        TheModel().miniport.ReturnPacketHandler(static_cast<SimMiniport*>(miniport)->adapterContext,
                                                p);
    }
}

void SendComplete(NDIS_HANDLE miniport, NDIS_PACKET* packet, NDIS_STATUS status) {
    UpCall();
    Binding* b = FromHandle(miniport);
    Binding::State* s = b->state;
    {
        std::lock_guard<std::mutex> hold(s->lock);
        auto found = s->aboveSends.find(packet);
        if (found == s->aboveSends.end()) {
            SimReportMisuse("send completed up: not an outstanding packet of the protocol above");
            return;
        }
        if (packet->Private.Head != found->second) {
            SimReportMisuse("send completed up with another buffer chain than it was sent with");
        }
        s->aboveSends.erase(found);
        auto expected = s->expectedUp.find(packet);
        if (expected != s->expectedUp.end()) {
            if (expected->second != status) {
                SimReportMisuse("send completed up with another status than it completed below");
            }
            s->expectedUp.erase(expected);
        }
        s->cancelIds.erase(NdisPacketExtensionFromPacket(packet)->NdisPacketInfo[PacketCancelId]);
        b->sendCompletions.push_back(status);
    }
    s->FreeActorPacket(packet);
}

void EthIndicate(void* filter, NDIS_HANDLE, char*, void* header, uint32_t headerSize,
                 void* lookahead, uint32_t lookaheadSize, uint32_t) {
    UpCall();
    RequireDispatch("lookahead indicated below DISPATCH_LEVEL");
    Binding* b = FromFilter(filter);
    std::vector<uint8_t> frame(static_cast<uint8_t*>(header),
                               static_cast<uint8_t*>(header) + headerSize);
    frame.insert(frame.end(), static_cast<uint8_t*>(lookahead),
                 static_cast<uint8_t*>(lookahead) + lookaheadSize);
    b->received.push_back(frame);
    b->lookaheadIndications += 1;
    std::lock_guard<std::mutex> hold(b->state->lock);
    b->state->lookaheadOn.insert(KmGetCurrentProcessorNumber());
}

void TrIndicate(void* filter, NDIS_HANDLE context, void* header, uint32_t headerSize,
                void* lookahead, uint32_t lookaheadSize, uint32_t packetSize) {
    FromFilter(filter)->tokenRingIndications += 1;
    EthIndicate(filter, context, nullptr, header, headerSize, lookahead, lookaheadSize, packetSize);
}

void ReceiveComplete(void* filter) {
    UpCall();
    Binding* b = FromFilter(filter);
    uint32_t processor = KmGetCurrentProcessorNumber();
    std::lock_guard<std::mutex> hold(b->state->lock);
    if (b->state->lookaheadOn.erase(processor) == 0) {
        SimReportMisuse("receive-complete on a processor without a lookahead indication");
    }
    b->receiveCompleteProcessors.push_back(processor);
}

void StatusIndicate(NDIS_HANDLE miniport, NDIS_STATUS status, void*, uint32_t) {
    UpCall();
    FromHandle(miniport)->statuses.push_back(status);
}

void StatusComplete(NDIS_HANDLE miniport) {
    UpCall();
    FromHandle(miniport)->statusCompletes += 1;
}

void TransferComplete(NDIS_HANDLE miniport, NDIS_PACKET* packet, NDIS_STATUS status,
                      uint32_t bytes) {
    UpCall();
    Binding* b = FromHandle(miniport);
    Binding::State* s = b->state;
    if (packet == nullptr || packet != s->transferAbove) {
        SimReportMisuse("transfer completed up for no transfer the driver let pend");
        return;
    }
    s->transferAbove = nullptr;
    b->transferCompleted = true;
    b->transferStatus = status;
    b->transferred = bytes;
    b->transferredBytes = PacketBytes(packet);
    b->transferredBytes.resize(std::min<size_t>(bytes, b->transferredBytes.size()));
    s->FreeActorPacket(packet);
}

void RequestComplete(NDIS_HANDLE miniport, NDIS_STATUS status) {
    UpCall();
    Binding* b = FromHandle(miniport);
    if (b->state->last.completed) {
        SimReportMisuse("a request completed up twice");
    }
    b->state->last.completed = true;
    b->state->last.completionStatus = status;
}

SimMiniport* NewMiniport(Binding* binding, void* context) {
    auto* mp = new SimMiniport{};
    mp->binding = binding;
    mp->deviceContext = context;
    mp->block.EthDB = mp;
    mp->block.TrDB = mp;
    mp->block.PacketIndicateHandler = PacketIndicate;
    mp->block.SendCompleteHandler = SendComplete;
    mp->block.EthRxIndicateHandler = EthIndicate;
    mp->block.TrRxIndicateHandler = TrIndicate;
    mp->block.EthRxCompleteHandler = ReceiveComplete;
    mp->block.TrRxCompleteHandler = ReceiveComplete;
    mp->block.StatusHandler = StatusIndicate;
    mp->block.StatusCompleteHandler = StatusComplete;
    mp->block.TDCompleteHandler = TransferComplete;
    mp->block.QueryCompleteHandler = RequestComplete;
    mp->block.SetCompleteHandler = RequestComplete;
    return mp;
}

// Runs MiniportInitialize for the binding's instance at PASSIVE_LEVEL. The driver may go
// on (and halt the miniport) as soon as its handler has signalled that it ran, so what is
// recorded afterwards is recorded under the binding's lock, for this miniport only.
NDIS_STATUS RunInitialize(Binding* b) {
    Binding::State* s = b->state;
    SimMiniport* mp = s->miniport;
    std::vector<NDIS_MEDIUM> media = s->options.offeredMedia;
    NDIS_STATUS openError = 0;
    uint32_t index = UINT32_MAX;
    s->initRunning = true;
    NDIS_STATUS status = TheModel().miniport.InitializeHandler(&openError, &index, media.data(),
                                                               uint32_t(media.size()), mp, nullptr);
    std::lock_guard<std::mutex> hold(s->lock);
    s->initRunning = false;
    if (s->miniport != mp) {
        return status; // halted already
    }
    s->initPending = false;
    if (status != NDIS_STATUS_SUCCESS) {
        s->miniport = nullptr;
        delete mp;
        return status;
    }
    if (index >= media.size() || mp->adapterContext == nullptr) {
        SimReportMisuse("MiniportInitialize succeeded without a medium or attributes");
        return status;
    }
    mp->medium = media[index];
    return status;
}

} // namespace

Binding* BindingByUpperName(const NDIS_STRING* name) {
    std::u16string wanted(reinterpret_cast<const char16_t*>(name->Buffer),
                          name->Length / sizeof(char16_t));
    for (Binding* b : TheModel().bindings) {
        if (b->state->options.upperBindings == wanted) {
            return b;
        }
    }
    return nullptr;
}

Binding* BindingByLowerName(const NDIS_STRING* name) {
    std::u16string wanted(reinterpret_cast<const char16_t*>(name->Buffer),
                          name->Length / sizeof(char16_t));
    for (Binding* b : TheModel().bindings) {
        if (b->state->lowerName == wanted) {
            return b;
        }
    }
    return nullptr;
}

// ---- Bindings ----
Binding* Bind(const AdapterOptions& options, NDIS_STATUS* status) {
    auto* b = new Binding;
    b->state = new Binding::State;
    Binding::State* s = b->state;
    s->options = options;
    s->lowerName = u"\\Device\\Lower" + std::u16string(1, char16_t(u'0' + g_adapterNumber++ % 10));
    s->lowerNameString.Buffer = reinterpret_cast<decltype(s->lowerNameString.Buffer)>(
        const_cast<char16_t*>(s->lowerName.data()));
    s->lowerNameString.Length = uint16_t(s->lowerName.size() * 2);
    s->lowerNameString.MaximumLength = s->lowerNameString.Length;
    s->below = NewPool(Owner::Below, 0);
    s->sendDraws.seed(options.sendSeed);
    s->requestDraws.seed(options.requestIrqlSeed);
    s->above = NewPool(Owner::Above, ReservedAbove);
    TheModel().bindings.push_back(b);
    NDIS_STRING section = NdisConstantString(u"Merrowfaldine");
    TheModel().protocol.BindAdapterHandler(status, nullptr, &s->lowerNameString, b, &section);
    s->bindReturned = true;
    if (s->configurationOpen) {
        SimReportMisuse("bind returned with its configuration still open");
    }
    if (*status != NDIS_STATUS_SUCCESS && (s->open || s->miniport != nullptr)) {
        SimReportMisuse("a failed bind left its binding open or its miniport up");
    }
    return b;
}

NDIS_STATUS Unbind(Binding* b, Request* lastRequest) {
    Binding::State* s = b->state;
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    if (s->context != nullptr) {
        TheModel().protocol.UnbindAdapterHandler(&status, s->context, nullptr);
    }
    if (lastRequest != nullptr) {
        *lastRequest = s->last;
    }
    Reset(); // joins completion threads
    if (s->open || s->miniport != nullptr || s->initPending) {
        SimReportMisuse("unbind left the binding open or the miniport up");
    }
    auto& list = TheModel().bindings;
    list.erase(std::find(list.begin(), list.end(), b));
    DeletePool(s->below);
    DeletePool(s->above);
    delete s;
    delete b;
    return status;
}

void Reset() {
    Model& m = TheModel();
    for (std::thread& t : m.completions) {
        t.join();
    }
    m.completions.clear();
}

// ---- Binding: the protocol above ----
bool Binding::MiniportUp() const {
    return state->miniport != nullptr && !state->initPending;
}
bool Binding::BindingOpen() const {
    return state->open;
}
uint32_t Binding::AttributeFlags() const {
    return state->miniport != nullptr ? state->miniport->attributeFlags : 0;
}
NDIS_MEDIUM Binding::SelectedUpperMedium() const {
    return state->miniport->medium;
}
void* Binding::Context() const {
    return state->context;
}

void Binding::Send(const std::vector<std::vector<uint8_t>>& frames, const Chain& chain,
                   bool atDispatch) {
    std::vector<NDIS_PACKET*> packets;
    for (const auto& frame : frames) {
        NDIS_PACKET* p = state->BuildPacket(Owner::Above, frame, chain);
        std::lock_guard<std::mutex> hold(state->lock);
        state->aboveSends[p] = p->Private.Head;
        // Per-packet info the driver must carry down: a cancel id and a checksum request.
        state->stamps += 1;
        void* id = reinterpret_cast<void*>(CancelIdBase + state->stamps);
        NdisPacketExtensionFromPacket(p)->NdisPacketInfo[PacketCancelId] = id;
        NdisPacketExtensionFromPacket(p)->NdisPacketInfo[TcpIpChecksumPacketInfo] =
            reinterpret_cast<void*>(ChecksumInfo(state->stamps));
        state->cancelIds[id] = p;
        packets.push_back(p);
    }
    DispatchScope scope(atDispatch);
    TheModel().miniport.SendPacketsHandler(state->miniport->adapterContext, packets.data(),
                                           uint32_t(packets.size()));
}

void Binding::ReturnPackets(size_t count, uint64_t seed) {
    std::vector<NDIS_PACKET*> out;
    {
        std::lock_guard<std::mutex> hold(state->lock);
        if (seed != 0) {
            std::mt19937_64 random(seed);
            std::shuffle(state->retained.begin(), state->retained.end(), random);
        }
        size_t n = count == 0 ? state->retained.size() : std::min(count, state->retained.size());
        out.assign(state->retained.begin(), state->retained.begin() + n);
        state->retained.erase(state->retained.begin(), state->retained.begin() + n);
    }
    DispatchScope scope;
    for (NDIS_PACKET* p : out) {
        state->CheckStillAsHanded(p, "an indicated packet changed or was freed before its return");
        TheModel().miniport.ReturnPacketHandler(state->miniport->adapterContext, p);
    }
}

size_t Binding::RetainedPackets() const {
    std::lock_guard<std::mutex> hold(state->lock);
    return state->retained.size();
}

Request Binding::Query(NDIS_OID oid, uint32_t length, const std::vector<uint8_t>& content) {
    state->last = Request{};
    state->last.buffer = content;
    state->last.buffer.resize(length);
    DispatchScope scope(state->RequestAtDispatch());
    state->last.returned = TheModel().miniport.QueryInformationHandler(
        state->miniport->adapterContext, oid, state->last.buffer.data(), length,
        &state->last.bytesDone, &state->last.bytesNeeded);
    if (state->last.returned != NDIS_STATUS_PENDING && state->last.completed) {
        SimReportMisuse("a query completed up and returned a final status as well");
    }
    return state->last;
}

Request Binding::Set(NDIS_OID oid, const std::vector<uint8_t>& value) {
    state->last = Request{};
    state->last.buffer = value;
    DispatchScope scope(state->RequestAtDispatch());
    state->last.returned = TheModel().miniport.SetInformationHandler(
        state->miniport->adapterContext, oid, state->last.buffer.data(), uint32_t(value.size()),
        &state->last.bytesDone, &state->last.bytesNeeded);
    return state->last;
}

Request& Binding::LastRequest() {
    return state->last;
}

// ---- Binding: the adapter below ----
int32_t Binding::IndicatePacket(const std::vector<uint8_t>& frame, const Chain& chain,
                                NDIS_STATUS status, uint32_t processor) {
    NDIS_PACKET* p = state->BuildPacket(Owner::Below, frame, chain);
    NdisOobDataFromPacket(p)->Status = status;
    NdisOobDataFromPacket(p)->HeaderSize = EthernetHeader;
    state->StampReceived(p);
    SimSetCurrentProcessor(processor);
    {
        std::lock_guard<std::mutex> hold(state->lock);
        state->indicating.insert(p);
    }
    int32_t kept;
    {
        DispatchScope scope;
        kept = TheModel().protocol.ReceivePacketHandler(state->context, p);
    }
    SimSetCurrentProcessor(0);
    if (kept != 0 && status == NDIS_STATUS_RESOURCES) {
        SimReportMisuse("the driver kept a packet indicated with NDIS_STATUS_RESOURCES");
    }
    bool returned;
    {
        std::lock_guard<std::mutex> hold(state->lock);
        state->indicating.erase(p);
        returned = state->returnedEarly.erase(p) != 0;
        if (kept != 0 && !returned) {
            state->held.insert(p);
        }
    }
    if (returned && kept == 0) {
        SimReportMisuse("a packet returned down that the driver did not keep");
    }
    if (kept == 0 || returned) {
        state->FreeActorPacket(p);
    }
    return kept;
}

void Binding::HaltWhileReceiving(const std::vector<uint8_t>& frame) {
    state->haltOnIndicate = true;
    IndicatePacket(frame, Chain{});
    Reset(); // joins the halt
}

NDIS_STATUS Binding::IndicateLookahead(const std::vector<uint8_t>& frame, bool withPacket,
                                       uint32_t processor) {
    state->lookaheadFrame = frame;
    state->lookaheadPacket =
        withPacket ? state->BuildPacket(Owner::Below, frame, Chain{}) : nullptr;
    if (withPacket) {
        NdisOobDataFromPacket(state->lookaheadPacket)->HeaderSize = EthernetHeader;
        state->StampReceived(state->lookaheadPacket);
    }
    uint32_t header = std::min<uint32_t>(EthernetHeader, uint32_t(frame.size()));
    uint32_t rest = uint32_t(frame.size()) - header;
    SimSetCurrentProcessor(processor);
    NDIS_STATUS status;
    {
        DispatchScope scope;
        status = TheModel().protocol.ReceiveHandler(
            state->context, state, const_cast<uint8_t*>(frame.data()), header,
            const_cast<uint8_t*>(frame.data()) + header, rest, rest);
        TheModel().protocol.ReceiveCompleteHandler(state->context);
    }
    SimSetCurrentProcessor(0);
    if (state->lookaheadPacket != nullptr) {
        state->FreeActorPacket(state->lookaheadPacket);
        state->lookaheadPacket = nullptr;
    }
    return status;
}

NDIS_STATUS Binding::TransferData(uint32_t offset, uint32_t length) {
    std::vector<uint8_t> room(length);
    NDIS_PACKET* p = state->BuildPacket(Owner::Above, room, Chain{});
    uint32_t bytes = 0;
    NDIS_STATUS status;
    transferCompleted = false;
    state->transferAbove = p;
    {
        DispatchScope scope;
        status = TheModel().miniport.TransferDataHandler(p, &bytes, state->miniport->adapterContext,
                                                         state, offset, length);
    }
    if (status == NDIS_STATUS_PENDING) {
        return status; // the packet stays with the driver until it completes the transfer
    }
    if (state->transferAbove != p) {
        SimReportMisuse("a transfer completed up and returned a final status as well");
        return status;
    }
    state->transferAbove = nullptr;
    transferredBytes = PacketBytes(p);
    transferredBytes.resize(bytes);
    state->FreeActorPacket(p);
    return status;
}

void Binding::CompleteSends(size_t count, uint64_t seed) {
    std::vector<NDIS_PACKET*> out;
    {
        std::lock_guard<std::mutex> hold(state->lock);
        if (seed != 0) {
            std::mt19937_64 random(seed);
            std::shuffle(state->pendingSends.begin(), state->pendingSends.end(), random);
        }
        size_t n =
            count == 0 ? state->pendingSends.size() : std::min(count, state->pendingSends.size());
        out.assign(state->pendingSends.begin(), state->pendingSends.begin() + n);
        state->pendingSends.erase(state->pendingSends.begin(), state->pendingSends.begin() + n);
    }
    DispatchScope scope;
    for (NDIS_PACKET* p : out) {
        state->CompleteBelow(p, state->TakePendingStatus(p));
    }
}

size_t Binding::CancelSends(uint64_t seed) {
    std::mt19937_64 draw(seed);
    std::vector<void*> ids;
    {
        std::lock_guard<std::mutex> hold(state->lock);
        for (NDIS_PACKET* p : state->pendingSends) {
            if (draw() % 2 == 0) {
                continue;
            }
            void* id = NdisPacketExtensionFromPacket(p)->NdisPacketInfo[PacketCancelId];
            ids.push_back(id);
            state->cancelsAsked.insert(id);
            if (draw() % 2 == 0) {
                state->cancelsTaken.insert(id);
            }
        }
    }
    size_t before = sendCompletions.size();
    DispatchScope scope;
    for (void* id : ids) {
        TheModel().miniport.CancelSendPacketsHandler(state->miniport->adapterContext, id);
        std::lock_guard<std::mutex> hold(state->lock);
        // The driver queues no sends of its own, so a cancel it does not pass down reaches
        // no one (the stricter reading: every cancel goes down while sends are pending).
        if (state->cancelsAsked.erase(id) != 0) {
            SimReportMisuse("a cancel from above was not passed down to the adapter below");
        }
    }
    return sendCompletions.size() - before;
}

void Binding::CompleteTransfer(NDIS_STATUS status) {
    NDIS_PACKET* packet = TakePending(&state->transferBelow, "no transfer pends below");
    if (packet == nullptr) {
        return;
    }
    if (PoolOf(packet) == nullptr) {
        SimReportMisuse("a pending transfer's packet was freed before its completion");
        return;
    }
    uint32_t done = status == NDIS_STATUS_SUCCESS
                        ? state->FillTransfer(packet, state->transferFrom, state->transferLength)
                        : 0;
    DispatchScope scope;
    TheModel().protocol.TransferDataCompleteHandler(state->context, packet, status, done);
}

size_t Binding::PendingSends() const {
    std::lock_guard<std::mutex> hold(state->lock);
    return state->pendingSends.size();
}

size_t Binding::HeldReceives() const {
    std::lock_guard<std::mutex> hold(state->lock);
    return state->held.size();
}

void Binding::Status(NDIS_STATUS status) {
    DispatchScope scope;
    TheModel().protocol.StatusHandler(state->context, status, nullptr, 0);
}

void Binding::StatusComplete() {
    DispatchScope scope;
    TheModel().protocol.StatusCompleteHandler(state->context);
}

NDIS_STATUS Binding::PowerEvent(NDIS_DEVICE_POWER_STATE power) {
    NET_PNP_EVENT event{};
    event.NetEvent = NetEventSetPower;
    event.Buffer = &power;
    event.BufferLength = sizeof(power);
    NDIS_STATUS status = TheModel().protocol.PnPEventHandler(state->context, &event);
    // The adapter powers down once the protocol has answered: nothing the driver sent may
    // still be pending with it then (the stricter reading of the power-down rules).
    if (power > NdisDeviceStateD0 && PendingSends() != 0) {
        SimReportMisuse("power-down answered with sends still pending below");
    }
    return status;
}

NDIS_STATUS Binding::PnPEvent(NET_PNP_EVENT_CODE code) {
    NET_PNP_EVENT event{};
    event.NetEvent = code;
    return TheModel().protocol.PnPEventHandler(state->context, &event);
}

void Binding::CompleteRequest(NDIS_STATUS status) {
    NDIS_REQUEST* request = TakePending(&state->requestBelow, "no request pends below");
    if (request == nullptr) {
        return;
    }
    DispatchScope scope;
    TheModel().protocol.RequestCompleteHandler(state->context, request, status);
}

void Binding::Answer(NDIS_OID oid, const std::vector<uint8_t>& value) {
    state->answers[oid] = value;
}

} // namespace sim5

using namespace sim5;

// ---- NDIS calls of the binding ----
void NdisOpenProtocolConfiguration(NDIS_STATUS* status, NDIS_HANDLE* handle, NDIS_STRING* section) {
    (void)section;
    // The model passes the binding as the first system-specific argument of the bind.
    auto* b = reinterpret_cast<Binding*>(section);
    if (b->state->options.failConfiguration || !SimAllocationAllowed()) {
        *status = NDIS_STATUS_RESOURCES;
        return;
    }
    b->state->configurationOpen = true;
    TheModel().configurations += 1;
    *handle = b;
    *status = NDIS_STATUS_SUCCESS;
}

void NdisReadConfiguration(NDIS_STATUS* status, NDIS_CONFIGURATION_PARAMETER** value,
                           NDIS_HANDLE handle, NDIS_STRING* keyword, NDIS_PARAMETER_TYPE type) {
    Binding::State* s = static_cast<Binding*>(handle)->state;
    std::u16string key(reinterpret_cast<const char16_t*>(keyword->Buffer),
                       keyword->Length / sizeof(char16_t));
    *status = NDIS_STATUS_FAILURE;
    if (key == u"NdisVersion" && type == NdisParameterInteger && s->options.hasNdisVersion) {
        s->version.ParameterType = NdisParameterInteger;
        s->version.ParameterData.IntegerData = s->options.ndisVersion;
        *value = &s->version;
        *status = NDIS_STATUS_SUCCESS;
    } else if (key == u"UpperBindings" && type == NdisParameterString &&
               s->options.hasUpperBindings) {
        s->upper.ParameterType = NdisParameterString;
        NDIS_STRING& text = s->upper.ParameterData.StringData;
        text.Buffer = reinterpret_cast<decltype(text.Buffer)>(
            const_cast<char16_t*>(s->options.upperBindings.c_str()));
        text.Length = uint16_t(s->options.upperBindings.size() * 2);
        text.MaximumLength = uint16_t(text.Length + 2);
        *value = &s->upper;
        *status = NDIS_STATUS_SUCCESS;
    }
}

void NdisCloseConfiguration(NDIS_HANDLE handle) {
    Binding::State* s = static_cast<Binding*>(handle)->state;
    if (!s->configurationOpen) {
        SimReportMisuse("configuration closed twice");
    }
    s->configurationOpen = false;
    TheModel().configurations -= 1;
}

void NdisOpenAdapter(NDIS_STATUS* status, NDIS_STATUS* openError, NDIS_HANDLE* bindingHandle,
                     uint32_t* selected, NDIS_MEDIUM* media, uint32_t mediaCount, NDIS_HANDLE,
                     NDIS_HANDLE context, NDIS_STRING* name, uint32_t, void*) {
    *openError = 0;
    Binding* b = BindingByLowerName(name);
    if (b == nullptr) {
        *status = NDIS_STATUS_ADAPTER_NOT_READY;
        return;
    }
    Binding::State* s = b->state;
    uint32_t index = 0;
    while (index < mediaCount && media[index] != s->options.medium) {
        ++index;
    }
    NDIS_STATUS result = s->options.openStatus;
    if (index == mediaCount) {
        result = NDIS_STATUS_UNSUPPORTED_MEDIA;
    }
    if (result == NDIS_STATUS_SUCCESS) {
        *selected = index;
        *bindingHandle = b;
        s->context = context;
        s->open = !s->options.openPends;
    }
    if (!s->options.openPends) {
        *status = result;
        return;
    }
    // A pending open hands out no open binding before ProtocolOpenAdapterComplete; that
    // completion comes once the driver waits for it (or its bind handler has returned), so
    // a driver that uses the binding early always does so before it is open.
    *status = NDIS_STATUS_PENDING;
    int waits = TheModel().waits;
    TheModel().completions.emplace_back([s, context, result, waits] {
        while (TheModel().waits == waits && !s->bindReturned) {
            std::this_thread::yield();
        }
        if (result == NDIS_STATUS_SUCCESS) {
            std::lock_guard<std::mutex> hold(s->lock);
            s->open = true;
        }
        TheModel().protocol.OpenAdapterCompleteHandler(context, result, 0);
    });
}

void NdisCloseAdapter(NDIS_STATUS* status, NDIS_HANDLE handle) {
    auto* b = static_cast<Binding*>(handle);
    Binding::State* s = b->state;
    if (!s->open) {
        SimReportMisuse("NdisCloseAdapter of a binding that is not open");
    }
    if (!s->pendingSends.empty() || !s->held.empty() || s->requestBelow != nullptr) {
        SimReportMisuse("binding closed with sends, receives or a request outstanding");
    }
    {
        // The virtual miniport sends and receives through this binding until it is halted
        // (an initialisation still running is let finish first).
        std::lock_guard<std::mutex> hold(s->lock);
        if (s->miniport != nullptr && !s->initRunning) {
            SimReportMisuse("lower binding closed while its virtual miniport is initialised");
        }
    }
    s->open = false;
    void* context = s->context;
    s->context = nullptr; // the driver's binding context is no longer ours to call
    if (!s->options.closePends) {
        *status = NDIS_STATUS_SUCCESS;
        return;
    }
    *status = NDIS_STATUS_PENDING;
    TheModel().completions.emplace_back([context] {
        TheModel().protocol.CloseAdapterCompleteHandler(context, NDIS_STATUS_SUCCESS);
    });
}

NDIS_STATUS NdisIMInitializeDeviceInstanceEx(NDIS_HANDLE, NDIS_STRING* name, NDIS_HANDLE context) {
    if (KmGetCurrentIrql() != KmPassiveLevel) {
        SimReportMisuse("NdisIMInitializeDeviceInstanceEx above PASSIVE_LEVEL");
    }
    if (!TheModel().associated) {
        SimReportMisuse("NdisIMInitializeDeviceInstanceEx before NdisIMAssociateMiniport");
    }
    Binding* b = BindingByUpperName(name);
    if (b == nullptr || b->state->miniport != nullptr) {
        return NDIS_STATUS_FAILURE;
    }
    if (!b->state->open) {
        SimReportMisuse("virtual miniport initialised over a lower binding that is not open");
    }
    if (!SimAllocationAllowed()) {
        return NDIS_STATUS_RESOURCES;
    }
    b->state->miniport = NewMiniport(b, context);
    b->state->initPending = true;
    if (b->state->options.init == InitMode::Deferred) {
        return NDIS_STATUS_SUCCESS;
    }
    return RunInitialize(b);
}

NDIS_STATUS NdisIMCancelInitializeDeviceInstance(NDIS_HANDLE, NDIS_STRING* name) {
    Binding* b = BindingByUpperName(name);
    if (b == nullptr || !b->state->initPending) {
        return NDIS_STATUS_FAILURE;
    }
    if (b->state->options.cancelInitSucceeds) {
        delete b->state->miniport;
        b->state->miniport = nullptr;
        b->state->initPending = false;
        return NDIS_STATUS_SUCCESS;
    }
    // Too late to cancel: the initialisation runs now, on another thread.
    TheModel().completions.emplace_back([b] { RunInitialize(b); });
    return NDIS_STATUS_FAILURE;
}

namespace sim5 {
namespace {

// Halts the binding's miniport as NDIS does.
void HaltMiniport(NDIS_HANDLE miniport) {
    Binding* b = FromHandle(miniport);
    auto* mp = static_cast<SimMiniport*>(miniport);
    // NDIS halts a miniport only after its MiniportInitialize has returned.
    while (b->state->initRunning) {
        std::this_thread::yield();
    }
    void* context;
    {
        std::lock_guard<std::mutex> hold(b->state->lock);
        if (!b->state->aboveSends.empty() || !b->state->retained.empty() ||
            b->state->transferAbove != nullptr) {
            SimReportMisuse(
                "miniport halted with sends, transfers or indicated packets outstanding");
        }
        context = mp->adapterContext;
        b->state->miniport = nullptr;
        b->state->initPending = false;
    }
    TheModel().miniport.HaltHandler(context);
    b->halted = true;
    delete mp;
}

// Called from within a receive of the driver's: NDIS starts a halt on a thread of its
// own, and the receive goes on once that halt has finished (wrong) or waits in NDIS.
void HaltWhileInside(Binding* b) {
    NDIS_HANDLE miniport = b->state->miniport;
    auto finished = std::make_shared<std::atomic<bool>>(false);
    int waits = TheModel().waits;
    TheModel().completions.emplace_back([miniport, finished] {
        HaltMiniport(miniport);
        *finished = true;
    });
    while (!*finished && TheModel().waits == waits) {
        std::this_thread::yield();
    }
    if (*finished) {
        SimReportMisuse("halt returned while a receive was still in the driver");
    }
}

} // namespace
} // namespace sim5

NDIS_STATUS NdisIMDeInitializeDeviceInstance(NDIS_HANDLE miniport) {
    if (KmGetCurrentIrql() != KmPassiveLevel) {
        SimReportMisuse("NdisIMDeInitializeDeviceInstance above PASSIVE_LEVEL");
    }
    HaltMiniport(miniport);
    return NDIS_STATUS_SUCCESS;
}

NDIS_HANDLE NdisIMGetDeviceContext(NDIS_HANDLE miniport) {
    return static_cast<SimMiniport*>(miniport)->deviceContext;
}

void NdisMSetAttributesEx(NDIS_HANDLE miniport, NDIS_HANDLE context, uint32_t, uint32_t flags,
                          NDIS_INTERFACE_TYPE) {
    auto* mp = static_cast<SimMiniport*>(miniport);
    mp->adapterContext = context;
    mp->attributeFlags = flags;
}

void NdisSend(NDIS_STATUS* status, NDIS_HANDLE handle, NDIS_PACKET* packet) {
    auto* b = static_cast<Binding*>(handle);
    Binding::State* s = b->state;
    PacketPool* pool = PoolOf(packet);
    if (pool == nullptr || pool->owner != Owner::Driver) {
        SimReportMisuse("a packet sent down is not a descriptor of the driver");
    }
    std::lock_guard<std::mutex> hold(s->lock);
    if (!s->open) {
        SimReportMisuse("send on a closed binding");
    }
    b->sent.push_back(PacketBytes(packet));
    b->sentCopy.push_back(IsCopy(packet));
    // The packet from above that this descriptor carries, found by its per-packet info.
    NDIS_PACKET_EXTENSION* info = NdisPacketExtensionFromPacket(packet);
    auto above = s->cancelIds.find(info->NdisPacketInfo[PacketCancelId]);
    if (above == s->cancelIds.end() || s->expectedUp.count(above->second) != 0 ||
        info->NdisPacketInfo[TcpIpChecksumPacketInfo] !=
            NdisPacketExtensionFromPacket(above->second)->NdisPacketInfo[TcpIpChecksumPacketInfo]) {
        SimReportMisuse("a packet sent down without the per-packet info of the packet it carries");
    }
    bool pend = s->options.sendsPend;
    NDIS_STATUS result = s->options.sendStatus;
    if (s->options.sendSeed != 0) {
        uint64_t draw = s->sendDraws();
        pend = draw % 2 != 0;
        result = draw / 2 % 2 != 0 ? NDIS_STATUS_FAILURE : NDIS_STATUS_SUCCESS;
    }
    if (above != s->cancelIds.end()) {
        s->expectedUp[above->second] = result;
    }
    if (pend) {
        s->pendingSends.push_back(packet);
        s->pendingStatus[packet] = result;
        s->handedBytes[packet] = b->sent.back();
        *status = NDIS_STATUS_PENDING;
    } else {
        *status = result;
    }
}

void NdisReturnPackets(NDIS_PACKET** packets, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        NDIS_PACKET* p = packets[i];
        Binding* owner = nullptr;
        bool early = false;
        for (Binding* b : TheModel().bindings) {
            std::lock_guard<std::mutex> hold(b->state->lock);
            if (b->state->held.erase(p) != 0) {
                owner = b;
                break;
            }
            if (b->state->indicating.count(p) != 0 && b->state->returnedEarly.insert(p).second) {
                early = true; // freed once its ProtocolReceivePacket has returned
                break;
            }
        }
        if (early) {
            continue;
        }
        if (owner == nullptr) {
            SimReportMisuse("a packet returned down is not one the adapter indicated and lent");
            continue;
        }
        owner->state->FreeActorPacket(p);
    }
}

NDIS_PACKET* NdisGetReceivedPacket(NDIS_HANDLE, NDIS_HANDLE macContext) {
    return static_cast<Binding::State*>(macContext)->lookaheadPacket;
}

void NdisTransferData(NDIS_STATUS* status, NDIS_HANDLE, NDIS_HANDLE macContext, uint32_t offset,
                      uint32_t length, NDIS_PACKET* packet, uint32_t* transferred) {
    auto* s = static_cast<Binding::State*>(macContext);
    // Offsets count from the end of the header, as in a lookahead indication.
    uint32_t from = EthernetHeader + offset;
    if (s->options.transfersPend) {
        if (s->transferBelow != nullptr) {
            SimReportMisuse("a second transfer passed down while one pends");
        }
        s->transferBelow = packet;
        s->transferFrom = from;
        s->transferLength = length;
        *transferred = 0;
        *status = NDIS_STATUS_PENDING;
        return;
    }
    *transferred = s->FillTransfer(packet, from, length);
    *status = NDIS_STATUS_SUCCESS;
}

void NdisCancelSendPackets(NDIS_HANDLE handle, void* cancelId) {
    auto* b = static_cast<Binding*>(handle);
    Binding::State* s = b->state;
    if (KmGetCurrentIrql() > KmDispatchLevel) {
        SimReportMisuse("NdisCancelSendPackets above DISPATCH_LEVEL");
    }
    b->lastCancelId = cancelId;
    std::vector<NDIS_PACKET*> aborted;
    {
        std::lock_guard<std::mutex> hold(s->lock);
        if (s->cancelsAsked.erase(cancelId) == 0) {
            SimReportMisuse("a cancel passed down with an id the protocol above did not cancel");
        }
        if (s->cancelsTaken.erase(cancelId) != 0) {
            for (auto it = s->pendingSends.begin(); it != s->pendingSends.end();) {
                NDIS_PACKET* p = *it;
                if (NdisPacketExtensionFromPacket(p)->NdisPacketInfo[PacketCancelId] != cancelId) {
                    ++it;
                    continue;
                }
                it = s->pendingSends.erase(it);
                s->pendingStatus.erase(p);
                auto above = s->cancelIds.find(cancelId);
                if (above != s->cancelIds.end()) {
                    s->expectedUp[above->second] = NDIS_STATUS_REQUEST_ABORTED;
                }
                aborted.push_back(p);
            }
        }
    }
    // Aborted sends complete from within the cancel, as a miniport may complete them.
    DispatchScope scope;
    for (NDIS_PACKET* p : aborted) {
        s->CompleteBelow(p, NDIS_STATUS_REQUEST_ABORTED);
    }
}

void NdisRequest(NDIS_STATUS* status, NDIS_HANDLE handle, NDIS_REQUEST* request) {
    auto* b = static_cast<Binding*>(handle);
    Binding::State* s = b->state;
    b->requestsBelow += 1;
    auto& info = request->DATA.INFORMATION;
    b->lastOidBelow = info.Oid;
    if (s->requestBelow != nullptr) {
        SimReportMisuse("a second request passed down while one pends");
    }
    NDIS_STATUS result = NDIS_STATUS_SUCCESS;
    if (request->RequestType == NdisRequestQueryInformation) {
        const std::vector<uint8_t>& answer = s->answers[info.Oid];
        if (answer.size() > info.InformationBufferLength) {
            info.BytesWrittenOrRead = 0;
            info.BytesNeeded = uint32_t(answer.size());
            result = NDIS_STATUS_INVALID_LENGTH;
        } else {
            if (!answer.empty()) {
                std::memcpy(info.InformationBuffer, answer.data(), answer.size());
            }
            info.BytesWrittenOrRead = uint32_t(answer.size());
            info.BytesNeeded = 0;
        }
    } else {
        auto* value = static_cast<uint8_t*>(info.InformationBuffer);
        s->answers[info.Oid].assign(value, value + info.InformationBufferLength);
        info.BytesWrittenOrRead = info.InformationBufferLength;
        info.BytesNeeded = 0;
    }
    if (s->options.requestsPend) {
        s->requestBelow = request;
        *status = NDIS_STATUS_PENDING;
        return;
    }
    *status = result;
}

NDIS_STATUS NdisIMNotifyPnPEvent(NDIS_HANDLE miniport, NET_PNP_EVENT* event) {
    FromHandle(miniport)->pnpEvents.push_back(event->NetEvent);
    return NDIS_STATUS_SUCCESS;
}
