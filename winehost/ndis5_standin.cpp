// ndis.sys for running MerrowfaldineIm.sys (the NDIS 5 intermediate driver, x64) under
// Wine's kernel-driver host: a PE DLL that serves the driver's NDIS 5 imports and plays
// NDIS around it. Once DriverEntry has registered the layered miniport and the protocol,
// a thread of the stand-in plays one Ethernet adapter below: it binds the driver's
// protocol (ProtocolBindAdapter, NdisOpenAdapter completing at once) and starts the
// virtual miniport (NdisIMInitializeDeviceInstanceEx calls MiniportInitialize), whose
// control device is created with Wine's IoCreateDevice so that CreateFile and
// DeviceIoControl from Win32 programs reach the driver. `sc stop` runs the stand-in's
// unload routine: it unbinds (the driver halts its miniport and closes the binding), runs
// the driver's unload handler and writes the books to ndis-books.txt beside the driver.
//
// The books follow the ownership rules of NDIS 5: every packet pool, packet, buffer pool,
// buffer, configuration handle and memory block the driver took is given back once, to
// its owner, with the length it was taken with; packets of the adapter below and of the
// protocol above come back once each; a packet indicated with NDIS_STATUS_RESOURCES is
// not kept; nothing is registered after the unload.
#include <ntddk.h>

#include "../engine/frame_view.h"
#include "../platform/ndis5.h"
#include "kernel_shim.h"
#include "standin_feed.h"

#define NDIS_EXPORT __declspec(dllexport)

namespace {

const ULONG ProcessAttach = 1;
const ULONG StandinTag = '5sdN';

// ---- The books ----
struct Books {
    LONG packetPools;    // the driver's packet pools not freed
    LONG packets;        // the driver's packets not freed
    LONG bufferPools;    // the driver's buffer pools not freed
    LONG buffers;        // the driver's buffers not freed
    LONG configurations; // configuration handles not closed
    LONG memoryBlocks;   // NdisAllocateMemory[WithTag] blocks not freed
    LONG heldBelow;      // packets of the adapter below the driver keeps
    LONG pendingSends;   // the driver's packets sent down and not completed
    LONG sendsAbove;     // packets of the protocol above not completed
    LONG retainedAbove;  // the driver's packets the protocol above keeps
};
Books g_books;

void Fault(const char* what) {
    StandinFault(what);
}

enum RecordKind : ULONG { KindPacketPool = 1, KindPacket, KindBufferPool, KindBuffer, KindMemory };

// Marks a live record dead; false (and a fault) when it was not live.
bool Retire(void* p, RecordKind kind, const char* fault) {
    if (RecordRetire(p, kind))
        return true;
    Fault(fault);
    return false;
}

// ---- Pools, packets and buffers ----
enum class Owner : ULONG { Driver, Below, Above };

struct PacketPool {
    StandinRecord record;
    Owner owner;
    ULONG reservedLength;
    ULONG limit;
    LONG inUse;
};

struct PacketRecord {
    StandinRecord record;
    PacketPool* pool;
    PUCHAR bytes; // an actor's packet: the frame its buffers describe
    // the NDIS_PACKET follows, then its OOB data and extension
};
static_assert(sizeof(PacketRecord) % 16 == 0, "keeps the descriptor aligned");

PacketRecord* RecordOf(NDIS_PACKET* packet) {
    return reinterpret_cast<PacketRecord*>(packet) - 1;
}

NDIS_PACKET* NewPacket(PacketPool* pool) {
    if (!RecordLive(pool, KindPacketPool)) {
        Fault("packet allocated from something that is not a live packet pool");
        return nullptr;
    }
    if (pool->limit && ULONG(pool->inUse) >= pool->limit)
        return nullptr;
    ULONG oob = ULONG(offsetof(NDIS_PACKET, ProtocolReserved)) + ((pool->reservedLength + 7) & ~7u);
    SIZE_T size =
        sizeof(PacketRecord) + oob + sizeof(NDIS_PACKET_OOB_DATA) + sizeof(NDIS_PACKET_EXTENSION);
    auto* record = static_cast<PacketRecord*>(RecordNew(size, KindPacket));
    if (!record)
        return nullptr;
    record->pool = pool;
    auto* packet = reinterpret_cast<NDIS_PACKET*>(record + 1);
    packet->Private.Pool = reinterpret_cast<NDIS_PACKET_POOL_BLOCK*>(pool);
    packet->Private.NdisPacketFlags = fPACKET_ALLOCATED_BY_NDIS;
    packet->Private.NdisPacketOobOffset = USHORT(oob);
    InterlockedIncrement(&pool->inUse);
    if (pool->owner == Owner::Driver)
        InterlockedIncrement(&g_books.packets);
    return packet;
}

// The pool of a live packet, null when `packet` is not one.
PacketPool* PoolOf(NDIS_PACKET* packet) {
    if (!packet || !RecordLive(RecordOf(packet), KindPacket))
        return nullptr;
    return RecordOf(packet)->pool;
}

void DeletePacket(NDIS_PACKET* packet, const char* fault) {
    PacketPool* pool = PoolOf(packet);
    if (!pool || !Retire(RecordOf(packet), KindPacket, fault))
        return;
    InterlockedDecrement(&pool->inUse);
    if (pool->owner == Owner::Driver)
        InterlockedDecrement(&g_books.packets);
}

struct BufferRecord {
    StandinRecord record;
    Owner owner;
    NDIS_BUFFER mdl;
};

BufferRecord* RecordOf(NDIS_BUFFER* buffer) {
    return reinterpret_cast<BufferRecord*>(reinterpret_cast<PUCHAR>(buffer) -
                                           offsetof(BufferRecord, mdl));
}

NDIS_BUFFER* NewBuffer(Owner owner, PVOID data, ULONG length, bool mapped) {
    auto* record = static_cast<BufferRecord*>(RecordNew(sizeof(BufferRecord), KindBuffer));
    if (!record)
        return nullptr;
    record->owner = owner;
    ULONG_PTR address = reinterpret_cast<ULONG_PTR>(data);
    record->mdl.Size = CSHORT(sizeof(NDIS_BUFFER));
    record->mdl.StartVa = reinterpret_cast<PVOID>(address & ~ULONG_PTR(0xFFF));
    record->mdl.ByteOffset = ULONG(address & 0xFFF);
    record->mdl.ByteCount = length;
    if (mapped) {
        record->mdl.MdlFlags = NdisMdlSourceIsNonpagedPool;
        record->mdl.MappedSystemVa = data;
    }
    if (owner == Owner::Driver)
        InterlockedIncrement(&g_books.buffers);
    return &record->mdl;
}

bool IsDriverBuffer(NDIS_BUFFER* buffer) {
    return buffer && RecordLive(RecordOf(buffer), KindBuffer) &&
           RecordOf(buffer)->owner == Owner::Driver;
}

// ---- The driver's registrations ----
struct Registrations {
    PDRIVER_OBJECT driverObject;
    bool wrapperOpen;
    bool miniportRegistered;
    bool protocolRegistered;
    NDIS_MINIPORT_CHARACTERISTICS miniport;
    NDIS_PROTOCOL_CHARACTERISTICS protocol;
    void (*unload)(void*);
    PDEVICE_OBJECT device;
    UNICODE_STRING link;
    WCHAR linkText[64];
    PVOID module;
};
Registrations g_driver;
int g_wrapperToken, g_driverToken, g_protocolToken, g_deviceToken;

// ---- The adapter below, the virtual miniport and the protocol above ----
struct Miniport {
    NDIS_MINIPORT_BLOCK block; // first: the miniport handle points here
    PVOID deviceContext;
    PVOID adapterContext;
    ULONG attributeFlags;
};

const NDIS_MEDIUM AdapterMedium = NdisMedium802_3;
const ULONG AdapterNdisVersion = 0x50001;
const ULONG ReservedAbove = 16;

struct Adapter {
    NDIS_STRING lowerName;
    NDIS_STRING upperName;
    NDIS_STRING section;
    NDIS_CONFIGURATION_PARAMETER version;
    NDIS_CONFIGURATION_PARAMETER upper;
    PVOID context; // the driver's binding context
    bool open;
    bool configurationOpen;
    bool bound;
    Miniport* miniport;
    PacketPool* below;
    PacketPool* above;
};
Adapter g_adapter;
WCHAR g_lowerText[] = L"\\Device\\StandinLower0";
WCHAR g_upperText[] = L"\\Device\\MerrowfaldineMp";
WCHAR g_sectionText[] = L"Merrowfaldine";

bool SameString(const NDIS_STRING* a, const NDIS_STRING* b) {
    if (!a || !b || a->Length != b->Length)
        return false;
    for (USHORT i = 0; i < a->Length / sizeof(WCHAR); i++)
        if (a->Buffer[i] != b->Buffer[i])
            return false;
    return true;
}

void SetString(NDIS_STRING* s, WCHAR* text, SIZE_T units) {
    s->Buffer = reinterpret_cast<decltype(s->Buffer)>(text);
    s->Length = USHORT((units - 1) * sizeof(WCHAR));
    s->MaximumLength = USHORT(units * sizeof(WCHAR));
}

// ---- Packets in flight, and the bytes of the frame that left the driver ----
// Packets handed from one side to the other wait in first-in first-out queues.
const ULONG QueueSlots = 1024;
struct PacketQueue {
    NDIS_PACKET* slots[QueueSlots];
    ULONG first;
    ULONG count;
};
PacketQueue g_pendingBelow;  // the driver's packets sent down, to be completed
PacketQueue g_retainedAbove; // the driver's packets the protocol above keeps

void Push(PacketQueue* q, NDIS_PACKET* packet) {
    if (q->count == QueueSlots) {
        Fault("more packets in flight than the stand-in keeps");
        return;
    }
    q->slots[(q->first + q->count++) % QueueSlots] = packet;
}

NDIS_PACKET* Pop(PacketQueue* q) {
    if (q->count == 0)
        return nullptr;
    NDIS_PACKET* packet = q->slots[q->first];
    q->first = (q->first + 1) % QueueSlots;
    q->count--;
    return packet;
}

// The bytes of the current frame as they left the driver, down or up.
UCHAR g_left[MaxFrameBytes];
ULONG g_leftLength;
bool g_leftSeen;

PUCHAR BufferAddress(NDIS_BUFFER* b) {
    if (b->MdlFlags & (NdisMdlMappedToSystemVa | NdisMdlSourceIsNonpagedPool))
        return static_cast<PUCHAR>(b->MappedSystemVa);
    return static_cast<PUCHAR>(b->StartVa) + b->ByteOffset;
}

void NoteLeaving(NDIS_PACKET* packet) {
    if (g_leftSeen)
        Fault("one frame left the driver twice");
    g_leftSeen = true;
    g_leftLength = 0;
    for (NDIS_BUFFER* b = packet->Private.Head; b; b = b->Next) {
        ULONG take = b->ByteCount;
        if (take > MaxFrameBytes - g_leftLength)
            take = MaxFrameBytes - g_leftLength;
        RtlCopyMemory(g_left + g_leftLength, BufferAddress(b), take);
        g_leftLength += take;
        if (b == packet->Private.Tail)
            break;
    }
}

// An actor's packet: the frame copied into a block of its own, cut into buffers.
NDIS_PACKET* NewActorPacket(PacketPool* pool, Owner owner, const UCHAR* frame, ULONG length,
                            const ULONG* cuts, ULONG cutCount, bool mapped) {
    NDIS_PACKET* packet = NewPacket(pool);
    if (!packet)
        return nullptr;
    auto* bytes = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, length + 1, StandinTag));
    RecordOf(packet)->bytes = bytes;
    if (!bytes)
        return packet;
    RtlCopyMemory(bytes, frame, length);
    NDIS_BUFFER* last = nullptr;
    ULONG at = 0;
    for (ULONG cut = 0; at < length; cut++) {
        ULONG take = length - at;
        if (cut < cutCount && cuts[cut] < take)
            take = cuts[cut];
        NDIS_BUFFER* buffer = NewBuffer(owner, bytes + at, take, mapped);
        if (!buffer)
            break;
        if (last)
            last->Next = buffer;
        else
            packet->Private.Head = buffer;
        last = buffer;
        at += take;
    }
    packet->Private.Tail = last;
    return packet;
}

void DeleteActorPacket(NDIS_PACKET* packet, const char* fault) {
    if (!PoolOf(packet)) {
        Fault(fault);
        return;
    }
    for (NDIS_BUFFER* b = packet->Private.Head; b;) {
        NDIS_BUFFER* next = b == packet->Private.Tail ? nullptr : b->Next;
        Retire(RecordOf(b), KindBuffer, "an actor's buffer freed twice");
        b = next;
    }
    if (RecordOf(packet)->bytes)
        ExFreePoolWithTag(RecordOf(packet)->bytes, StandinTag);
    DeletePacket(packet, fault);
}

// ---- Handlers of the miniport block: the protocol above ----
void PacketIndicate(NDIS_HANDLE, NDIS_PACKET** packets, uint32_t count) {
    for (uint32_t i = 0; i < count; i++) {
        PacketPool* pool = PoolOf(packets[i]);
        if (!pool || pool->owner != Owner::Driver) {
            Fault("a packet indicated up is not a descriptor of the driver");
            continue;
        }
        NoteLeaving(packets[i]);
        // Kept until returned, unless the driver needs it back at once.
        if (NdisOobDataFromPacket(packets[i])->Status != NDIS_STATUS_RESOURCES) {
            InterlockedIncrement(&g_books.retainedAbove);
            Push(&g_retainedAbove, packets[i]);
        }
    }
}

void SendComplete(NDIS_HANDLE, NDIS_PACKET* packet, NDIS_STATUS) {
    PacketPool* pool = PoolOf(packet);
    if (!pool || pool->owner != Owner::Above) {
        Fault("send completed up: not an outstanding packet of the protocol above");
        return;
    }
    InterlockedDecrement(&g_books.sendsAbove);
    DeleteActorPacket(packet, "send completed up twice");
}

void EthIndicate(void*, NDIS_HANDLE, char*, void*, uint32_t, void*, uint32_t, uint32_t) {
    Fault("a lookahead indication from a driver given whole packets");
}
void TrIndicate(void*, NDIS_HANDLE, void*, uint32_t, void*, uint32_t, uint32_t) {
    Fault("a token-ring indication on Ethernet");
}
void ReceiveComplete(void*) {}
void StatusIndicate(NDIS_HANDLE, NDIS_STATUS, void*, uint32_t) {}
void StatusComplete(NDIS_HANDLE) {}
void TransferComplete(NDIS_HANDLE, NDIS_PACKET*, NDIS_STATUS, uint32_t) {}
void RequestComplete(NDIS_HANDLE, NDIS_STATUS) {}

Miniport* NewMiniport(PVOID context) {
    auto* mp =
        static_cast<Miniport*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Miniport), StandinTag));
    if (!mp)
        return nullptr;
    RtlZeroMemory(mp, sizeof *mp);
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

// ---- Feeding a capture through the driver ----
// The frames of a capture go through the bound driver as the Linux replay's NDIS 5 host
// sends them through its model: frames to the server are indicated by the adapter below,
// frames from it are sent by the protocol above; each packet is cut into buffers at
// random points, one receive in eight carries NDIS_STATUS_RESOURCES, sends pend, and
// completions and returns come in random batches, all drawn from one 64-bit Mersenne
// twister seeded as the replay's. The bytes that leave the driver are written to a capture.
const ULONG MaxBuffers = 4;
const ULONG Processors = 4;
const ULONG ResourcesOneIn = 8;
const ULONG MaxBatch = 6;
const uint64_t ReplaySeed = 1;

Twister g_random;

ULONG Draw(ULONG below) {
    return ULONG(TwisterNext(&g_random) % below);
}

// The driver's packets sent down complete, and those indicated up are returned, in
// batches; the order within a batch is first in, first out.
void CompleteSends(ULONG count) {
    for (ULONG i = 0; i < count; i++) {
        NDIS_PACKET* packet = Pop(&g_pendingBelow);
        if (!packet)
            return;
        InterlockedDecrement(&g_books.pendingSends);
        g_driver.protocol.SendCompleteHandler(g_adapter.context, packet, NDIS_STATUS_SUCCESS);
    }
}

void ReturnPackets(ULONG count) {
    for (ULONG i = 0; i < count; i++) {
        NDIS_PACKET* packet = Pop(&g_retainedAbove);
        if (!packet)
            return;
        InterlockedDecrement(&g_books.retainedAbove);
        g_driver.miniport.ReturnPacketHandler(g_adapter.miniport->adapterContext, packet);
    }
}

// One frame through the driver; false when it did not leave it.
bool FeedFrame(PUCHAR frame, ULONG length) {
    ULONG cuts[MaxBuffers];
    ULONG cutCount = 0;
    bool mapped = Draw(2) == 0;
    ULONG buffers = 1 + Draw(MaxBuffers);
    for (ULONG i = 1; i < buffers && length > 1; i++)
        cuts[cutCount++] = 1 + Draw(length - 1);
    g_leftSeen = false;
    if (FrameFromServer(frame, length)) {
        Draw(2); // the replay's choice of IRQL for the send, which Wine does not have
        NDIS_PACKET* packet =
            NewActorPacket(g_adapter.above, Owner::Above, frame, length, cuts, cutCount, mapped);
        if (!packet)
            return false;
        InterlockedIncrement(&g_books.sendsAbove);
        g_driver.miniport.SendPacketsHandler(g_adapter.miniport->adapterContext, &packet, 1);
    } else {
        NDIS_STATUS status =
            Draw(ResourcesOneIn) == 0 ? NDIS_STATUS_RESOURCES : NDIS_STATUS_SUCCESS;
        Draw(Processors); // the replay's processor, which the driver does not see here
        NDIS_PACKET* packet =
            NewActorPacket(g_adapter.below, Owner::Below, frame, length, cuts, cutCount, mapped);
        if (!packet)
            return false;
        NdisOobDataFromPacket(packet)->Status = status;
        NdisOobDataFromPacket(packet)->HeaderSize = EthernetHeaderLength;
        if (g_driver.protocol.ReceivePacketHandler(g_adapter.context, packet) != 0) {
            if (status == NDIS_STATUS_RESOURCES)
                Fault("a receive kept after NDIS_STATUS_RESOURCES");
            InterlockedIncrement(&g_books.heldBelow);
        } else {
            DeleteActorPacket(packet, "a receive the driver did not keep was freed by it");
        }
    }
    if (g_pendingBelow.count >= Draw(MaxBatch) + 1) {
        TwisterNext(&g_random); // the replay's seed for the order of the batch
        CompleteSends(Draw(MaxBatch) + 1);
    }
    if (g_retainedAbove.count >= Draw(MaxBatch) + 1) {
        TwisterNext(&g_random);
        ReturnPackets(Draw(MaxBatch) + 1);
    }
    return g_leftSeen;
}

// Feeds feed.pcap through the driver into feed-out.pcap, reporting the frames fed.
void FeedCapture(ReportLine* report) {
    CaptureFiles files;
    bool ok = CaptureOpen(&files, g_driver.module, "feed.pcap", "feed-out.pcap");
    TwisterSeed(&g_random, ReplaySeed);
    LONG frames = 0;
    UCHAR record[PcapRecordBytes];
    PUCHAR frame;
    ULONG length;
    bool bad = false;
    while (ok && CaptureNext(&files, record, &frame, &length, &bad)) {
        if (!FeedFrame(frame, length)) {
            Fault("a frame did not leave the driver");
            ok = false;
            break;
        }
        ok = CaptureWrite(&files, record, g_left, g_leftLength);
        frames++;
    }
    CompleteSends(QueueSlots);
    ReturnPackets(QueueSlots);
    CaptureClose(&files);
    if (ok && !bad)
        LineAppendCount(report, frames, " frames fed");
    else
        LineAppend(report, "feed failed");
}

// After the bind: whenever feed.go appears beside the stand-in, feed.pcap is fed and
// feed.done says how it went. Ends when the unload begins.
volatile LONG g_stopping;
volatile LONG g_feederDone;
bool g_feederStarted;
const Trigger FeedTrigger = {"feed.go", "feed.done", FeedCapture};

// ---- Binding and unbinding, on the stand-in's own thread and in its unload ----
ULONG WINAPI BindThread(PVOID) {
    Adapter& a = g_adapter;
    SetString(&a.lowerName, g_lowerText, sizeof g_lowerText / sizeof g_lowerText[0]);
    SetString(&a.upperName, g_upperText, sizeof g_upperText / sizeof g_upperText[0]);
    SetString(&a.section, g_sectionText, sizeof g_sectionText / sizeof g_sectionText[0]);
    a.below = static_cast<PacketPool*>(RecordNew(sizeof(PacketPool), KindPacketPool));
    a.above = static_cast<PacketPool*>(RecordNew(sizeof(PacketPool), KindPacketPool));
    if (!a.below || !a.above)
        return 1;
    a.below->owner = Owner::Below;
    a.above->owner = Owner::Above;
    a.above->reservedLength = ReservedAbove;
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    g_driver.protocol.BindAdapterHandler(&status, nullptr, &a.lowerName, &a.section, nullptr);
    if (a.configurationOpen)
        Fault("bind returned with its configuration still open");
    a.bound = status == NDIS_STATUS_SUCCESS && a.open && a.miniport;
    if (!a.bound)
        DbgPrint("ndis.sys stand-in: the bind failed, status %08x\n", status);
    else
        ServeTriggers(g_driver.module, &FeedTrigger, 1, &g_stopping);
    InterlockedExchange(&g_feederDone, 1);
    return 0;
}

void Unbind() {
    Adapter& a = g_adapter;
    if (a.context) {
        NDIS_STATUS status = NDIS_STATUS_FAILURE;
        g_driver.protocol.UnbindAdapterHandler(&status, a.context, nullptr);
    }
    if (a.open || a.miniport)
        Fault("unbind left the binding open or the miniport up");
}

// ---- Books at unload ----
void WriteBooks() {
    ReportLine line{};
    ULONG tag = 0;
    ULONG outstanding = ShimBlocksOutstanding(&tag);
    LONG faults = StandinFaults() + LONG(ShimPoolFaults());
    bool registered = g_driver.miniportRegistered || g_driver.protocolRegistered || g_driver.device;
    LONG left = g_books.packetPools + g_books.packets + g_books.bufferPools + g_books.buffers +
                g_books.configurations + g_books.memoryBlocks + g_books.heldBelow +
                g_books.pendingSends + g_books.sendsAbove + g_books.retainedAbove;
    bool balanced = g_adapter.bound && outstanding == 0 && faults == 0 && left == 0 && !registered;
    LineAppend(&line, balanced ? "ndis.sys stand-in books: balanced, "
                               : "ndis.sys stand-in books: NOT balanced, ");
    LineAppend(&line, g_adapter.bound ? "bound, " : "never bound, ");
    LineAppendCount(&line, LONG(ShimBlocksAllocated()), " blocks allocated, ");
    LineAppendCount(&line, LONG(outstanding), " outstanding, ");
    LineAppendCount(&line, g_books.packetPools, " packet pools, ");
    LineAppendCount(&line, g_books.packets, " packets, ");
    LineAppendCount(&line, g_books.bufferPools, " buffer pools, ");
    LineAppendCount(&line, g_books.buffers, " buffers, ");
    LineAppendCount(&line, g_books.memoryBlocks, " memory blocks, ");
    LineAppendCount(&line, g_books.configurations, " configurations, ");
    LineAppendCount(&line, g_books.heldBelow + g_books.pendingSends, " packets held below, ");
    LineAppendCount(&line, g_books.sendsAbove + g_books.retainedAbove, " packets held above, ");
    LineAppendCount(&line, faults, " faults, ");
    LineAppend(&line, registered ? "registrations left" : "nothing registered");
    if (StandinFirstFault()) {
        LineAppend(&line, " (first fault: ");
        LineAppend(&line, StandinFirstFault());
        LineAppend(&line, ")");
    }
    ShimWriteReport(g_driver.module, "ndis-books.txt", line.text);
}

// The driver object's unload routine while the driver is loaded: NDIS unbinds every
// binding of the protocol, then calls the unload handler the driver registered.
VOID NTAPI StandinUnload(PDRIVER_OBJECT driverObject) {
    InterlockedExchange(&g_stopping, 1);
    while (g_feederStarted && !g_feederDone)
        Sleep(10);
    Unbind();
    if (g_driver.unload)
        g_driver.unload(driverObject);
    else
        Fault("the driver registered no unload handler");
    WriteBooks();
    RecordsRelease();
}

// Memory of NdisAllocateMemory[WithTag]: a header before the driver's block keeps what
// NdisFreeMemory must name.
struct MemoryHeader {
    ULONG mark;
    ULONG length;
    ULONG flags;
    ULONG tag;
};
const ULONG MemoryMark = 0x4D454D4E;

PVOID AllocateMemory(ULONG length, ULONG tag, ULONG flags) {
    auto* header = static_cast<MemoryHeader*>(ShimAllocate(sizeof(MemoryHeader) + length, tag));
    if (!header)
        return nullptr;
    header->mark = MemoryMark;
    header->length = length;
    header->flags = flags;
    header->tag = tag;
    InterlockedIncrement(&g_books.memoryBlocks);
    return header + 1;
}

} // namespace

extern "C" {

// ---- Registration ----
NDIS_EXPORT void NdisInitializeWrapper(NDIS_HANDLE* wrapper, void* systemSpecific1, void*, void*) {
    g_driver.driverObject = static_cast<PDRIVER_OBJECT>(systemSpecific1);
    g_driver.wrapperOpen = true;
    *wrapper = &g_wrapperToken;
}

NDIS_EXPORT void NdisTerminateWrapper(NDIS_HANDLE wrapper, void*) {
    if (wrapper != &g_wrapperToken || !g_driver.wrapperOpen)
        Fault("NdisTerminateWrapper without an open wrapper");
    g_driver.wrapperOpen = false;
}

NDIS_EXPORT NDIS_STATUS NdisIMRegisterLayeredMiniport(NDIS_HANDLE wrapper,
                                                      NDIS_MINIPORT_CHARACTERISTICS* c,
                                                      uint32_t length, NDIS_HANDLE* driver) {
    if (wrapper != &g_wrapperToken || length != sizeof(NDIS_MINIPORT_CHARACTERISTICS) ||
        c->MajorNdisVersion != 5 || c->MinorNdisVersion != 1)
        return NDIS_STATUS_FAILURE;
    g_driver.miniport = *c;
    g_driver.miniportRegistered = true;
    *driver = &g_driverToken;
    return NDIS_STATUS_SUCCESS;
}

NDIS_EXPORT void NdisIMDeregisterLayeredMiniport(NDIS_HANDLE driver) {
    if (driver != &g_driverToken || !g_driver.miniportRegistered)
        Fault("NdisIMDeregisterLayeredMiniport without a registration");
    g_driver.miniportRegistered = false;
}

NDIS_EXPORT void NdisMRegisterUnloadHandler(NDIS_HANDLE, void (*unload)(void*)) {
    g_driver.unload = unload;
    g_driver.driverObject->DriverUnload = StandinUnload;
}

NDIS_EXPORT void NdisRegisterProtocol(NDIS_STATUS* status, NDIS_HANDLE* handle,
                                      NDIS_PROTOCOL_CHARACTERISTICS* c, uint32_t length) {
    if (length != sizeof(NDIS_PROTOCOL_CHARACTERISTICS) || c->MajorNdisVersion != 5 ||
        c->MinorNdisVersion != 0) {
        *status = NDIS_STATUS_FAILURE;
        return;
    }
    g_driver.protocol = *c;
    g_driver.protocolRegistered = true;
    *handle = &g_protocolToken;
    *status = NDIS_STATUS_SUCCESS;
}

NDIS_EXPORT void NdisDeregisterProtocol(NDIS_STATUS* status, NDIS_HANDLE handle) {
    if (handle != &g_protocolToken || !g_driver.protocolRegistered)
        Fault("NdisDeregisterProtocol without a registration");
    if (g_adapter.open)
        Fault("protocol deregistered with its binding open");
    g_driver.protocolRegistered = false;
    *status = NDIS_STATUS_SUCCESS;
}

// The last call of a successful DriverEntry: the adapter below appears now, on the
// stand-in's thread, as NDIS would bind a newly registered protocol.
NDIS_EXPORT void NdisIMAssociateMiniport(NDIS_HANDLE driver, NDIS_HANDLE protocol) {
    if (driver != &g_driverToken || protocol != &g_protocolToken) {
        Fault("NdisIMAssociateMiniport with unknown handles");
        return;
    }
    HANDLE thread = CreateThread(nullptr, 0, BindThread, nullptr, 0, nullptr);
    if (thread) {
        g_feederStarted = true;
        CloseHandle(thread);
    }
}

NDIS_EXPORT void NdisReEnumerateProtocolBindings(NDIS_HANDLE) {}

// ---- The control device ----
NDIS_EXPORT NDIS_STATUS NdisMRegisterDevice(NDIS_HANDLE wrapper, NDIS_STRING* name,
                                            NDIS_STRING* link, KmDispatchRoutine* functions,
                                            KmDeviceObject** deviceObject, NDIS_HANDLE* handle) {
    if (wrapper != &g_wrapperToken || g_driver.device) {
        Fault("control device registered twice or without the wrapper");
        return NDIS_STATUS_FAILURE;
    }
    PDEVICE_OBJECT device;
    NTSTATUS status =
        IoCreateDevice(g_driver.driverObject, 0, name, FILE_DEVICE_NETWORK, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    g_driver.link.Buffer = g_driver.linkText;
    g_driver.link.MaximumLength = sizeof g_driver.linkText;
    RtlCopyUnicodeString(&g_driver.link, link);
    status = IoCreateSymbolicLink(&g_driver.link, name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    for (ULONG i = 0; i <= KmIrpMjMaximumFunction; i++)
        if (functions[i])
            g_driver.driverObject->MajorFunction[i] =
                reinterpret_cast<PDRIVER_DISPATCH>(functions[i]);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    g_driver.device = device;
    *deviceObject = reinterpret_cast<KmDeviceObject*>(device);
    *handle = &g_deviceToken;
    return NDIS_STATUS_SUCCESS;
}

NDIS_EXPORT NDIS_STATUS NdisMDeregisterDevice(NDIS_HANDLE handle) {
    if (handle != &g_deviceToken || !g_driver.device) {
        Fault("NdisMDeregisterDevice of no device");
        return NDIS_STATUS_FAILURE;
    }
    IoDeleteSymbolicLink(&g_driver.link);
    IoDeleteDevice(g_driver.device);
    g_driver.device = nullptr;
    return NDIS_STATUS_SUCCESS;
}

// ---- Configuration ----
NDIS_EXPORT void NdisOpenProtocolConfiguration(NDIS_STATUS* status, NDIS_HANDLE* handle,
                                               NDIS_STRING* section) {
    if (section != &g_adapter.section || g_adapter.configurationOpen) {
        *status = NDIS_STATUS_FAILURE;
        return;
    }
    g_adapter.configurationOpen = true;
    InterlockedIncrement(&g_books.configurations);
    *handle = &g_adapter;
    *status = NDIS_STATUS_SUCCESS;
}

NDIS_EXPORT void NdisReadConfiguration(NDIS_STATUS* status, NDIS_CONFIGURATION_PARAMETER** value,
                                       NDIS_HANDLE handle, NDIS_STRING* keyword,
                                       NDIS_PARAMETER_TYPE type) {
    WCHAR versionText[] = L"NdisVersion";
    WCHAR upperText[] = L"UpperBindings";
    NDIS_STRING versionKey, upperKey;
    SetString(&versionKey, versionText, sizeof versionText / sizeof versionText[0]);
    SetString(&upperKey, upperText, sizeof upperText / sizeof upperText[0]);
    *status = NDIS_STATUS_FAILURE;
    if (handle != &g_adapter || !g_adapter.configurationOpen) {
        Fault("NdisReadConfiguration on a configuration that is not open");
        return;
    }
    if (SameString(keyword, &versionKey) && type == NdisParameterInteger) {
        g_adapter.version.ParameterType = NdisParameterInteger;
        g_adapter.version.ParameterData.IntegerData = AdapterNdisVersion;
        *value = &g_adapter.version;
        *status = NDIS_STATUS_SUCCESS;
    } else if (SameString(keyword, &upperKey) && type == NdisParameterString) {
        g_adapter.upper.ParameterType = NdisParameterString;
        g_adapter.upper.ParameterData.StringData = g_adapter.upperName;
        *value = &g_adapter.upper;
        *status = NDIS_STATUS_SUCCESS;
    }
}

NDIS_EXPORT void NdisCloseConfiguration(NDIS_HANDLE handle) {
    if (handle != &g_adapter || !g_adapter.configurationOpen) {
        Fault("configuration closed twice or not open");
        return;
    }
    g_adapter.configurationOpen = false;
    InterlockedDecrement(&g_books.configurations);
}

// ---- Memory ----
NDIS_EXPORT NDIS_STATUS NdisAllocateMemoryWithTag(void** block, uint32_t length, uint32_t tag) {
    *block = AllocateMemory(length, tag, 0);
    return *block ? NDIS_STATUS_SUCCESS : NDIS_STATUS_RESOURCES;
}

NDIS_EXPORT NDIS_STATUS NdisAllocateMemory(void** block, uint32_t length, uint32_t flags, int64_t) {
    *block = AllocateMemory(length, 'SIDN', flags);
    return *block ? NDIS_STATUS_SUCCESS : NDIS_STATUS_RESOURCES;
}

NDIS_EXPORT void NdisFreeMemory(void* block, uint32_t length, uint32_t flags) {
    MemoryHeader* header = static_cast<MemoryHeader*>(block) - 1;
    // A block freed before has lost its mark (the shim marks its header freed, and the
    // memory is gone): only the shim's books may read further.
    if (!block || header->mark != MemoryMark) {
        Fault("NdisFreeMemory of a block that is not allocated");
        return;
    }
    if (header->length != length || header->flags != flags)
        Fault("NdisFreeMemory with another length or flags than allocated");
    header->mark = 0;
    InterlockedDecrement(&g_books.memoryBlocks);
    ShimFreeTagged(header, header->tag);
}

// ---- Packet pools and packets ----
NDIS_EXPORT void NdisAllocatePacketPoolEx(NDIS_STATUS* status, NDIS_HANDLE* handle,
                                          uint32_t descriptors, uint32_t overflow,
                                          uint32_t reservedLength) {
    auto* pool = static_cast<PacketPool*>(RecordNew(sizeof(PacketPool), KindPacketPool));
    if (!pool) {
        *status = NDIS_STATUS_RESOURCES;
        return;
    }
    pool->owner = Owner::Driver;
    pool->reservedLength = reservedLength;
    pool->limit = descriptors + overflow;
    InterlockedIncrement(&g_books.packetPools);
    *handle = pool;
    *status = NDIS_STATUS_SUCCESS;
}

NDIS_EXPORT void NdisFreePacketPool(NDIS_HANDLE handle) {
    auto* pool = static_cast<PacketPool*>(handle);
    if (!RecordLive(pool, KindPacketPool) || pool->owner != Owner::Driver) {
        Fault("NdisFreePacketPool of something that is not a live pool of the driver");
        return;
    }
    if (pool->inUse != 0) {
        Fault("packet pool freed with packets still allocated");
        return;
    }
    Retire(pool, KindPacketPool, "packet pool freed twice");
    InterlockedDecrement(&g_books.packetPools);
}

NDIS_EXPORT void NdisAllocatePacket(NDIS_STATUS* status, NDIS_PACKET** packet, NDIS_HANDLE pool) {
    auto* p = static_cast<PacketPool*>(pool);
    if (RecordLive(p, KindPacketPool) && p->owner != Owner::Driver) {
        Fault("the driver allocated from a packet pool that is not its own");
        *packet = nullptr;
    } else {
        *packet = NewPacket(p);
    }
    *status = *packet ? NDIS_STATUS_SUCCESS : NDIS_STATUS_RESOURCES;
}

NDIS_EXPORT void NdisDprAllocatePacket(NDIS_STATUS* status, NDIS_PACKET** packet,
                                       NDIS_HANDLE pool) {
    NdisAllocatePacket(status, packet, pool);
}

NDIS_EXPORT void NdisFreePacket(NDIS_PACKET* packet) {
    PacketPool* pool = PoolOf(packet);
    if (!pool) {
        Fault("packet freed twice or not a packet");
        return;
    }
    if (pool->owner != Owner::Driver) {
        Fault("the driver freed a packet that is not its own");
        return;
    }
    DeletePacket(packet, "packet freed twice");
}

NDIS_EXPORT void NdisDprFreePacket(NDIS_PACKET* packet) {
    NdisFreePacket(packet);
}

NDIS_EXPORT void NdisIMCopySendPerPacketInfo(NDIS_PACKET* to, NDIS_PACKET* from) {
    RtlCopyMemory(NdisPacketExtensionFromPacket(to), NdisPacketExtensionFromPacket(from),
                  sizeof(NDIS_PACKET_EXTENSION));
}

NDIS_EXPORT void NdisIMCopySendCompletePerPacketInfo(NDIS_PACKET* to, NDIS_PACKET* from) {
    NdisIMCopySendPerPacketInfo(to, from);
}

// ---- Buffer pools and buffers ----
NDIS_EXPORT void NdisAllocateBufferPool(NDIS_STATUS* status, NDIS_HANDLE* handle, uint32_t) {
    *handle = RecordNew(sizeof(StandinRecord), KindBufferPool);
    *status = *handle ? NDIS_STATUS_SUCCESS : NDIS_STATUS_RESOURCES;
    if (*handle)
        InterlockedIncrement(&g_books.bufferPools);
}

NDIS_EXPORT void NdisFreeBufferPool(NDIS_HANDLE handle) {
    if (Retire(handle, KindBufferPool,
               "NdisFreeBufferPool of something that is not a live buffer pool"))
        InterlockedDecrement(&g_books.bufferPools);
}

NDIS_EXPORT void NdisAllocateBuffer(NDIS_STATUS* status, NDIS_BUFFER** buffer, NDIS_HANDLE pool,
                                    void* data, uint32_t length) {
    if (!RecordLive(pool, KindBufferPool))
        Fault("NdisAllocateBuffer from something that is not a live buffer pool");
    *buffer = NewBuffer(Owner::Driver, data, length, true);
    *status = *buffer ? NDIS_STATUS_SUCCESS : NDIS_STATUS_RESOURCES;
}

NDIS_EXPORT void NdisFreeBuffer(NDIS_BUFFER* buffer) {
    if (!IsDriverBuffer(buffer)) {
        Fault("the driver freed a buffer that is not its own, or freed it twice");
        return;
    }
    Retire(RecordOf(buffer), KindBuffer, "buffer freed twice");
    InterlockedDecrement(&g_books.buffers);
}

NDIS_EXPORT int8_t NdisSystemProcessorCount() {
    return 4;
}

// ---- Events and sleeping ----
NDIS_EXPORT void NdisInitializeEvent(NDIS_EVENT* event) {
    *reinterpret_cast<volatile LONG*>(event) = 0;
}

NDIS_EXPORT void NdisSetEvent(NDIS_EVENT* event) {
    InterlockedExchange(reinterpret_cast<volatile LONG*>(event), 1);
}

NDIS_EXPORT void NdisResetEvent(NDIS_EVENT* event) {
    InterlockedExchange(reinterpret_cast<volatile LONG*>(event), 0);
}

NDIS_EXPORT uint8_t NdisWaitEvent(NDIS_EVENT* event, uint32_t) {
    while (*reinterpret_cast<volatile LONG*>(event) == 0)
        Sleep(1);
    return 1;
}

NDIS_EXPORT void NdisMSleep(uint32_t microseconds) {
    Sleep((microseconds + 999) / 1000);
}

// ---- The binding ----
NDIS_EXPORT void NdisOpenAdapter(NDIS_STATUS* status, NDIS_STATUS* openError,
                                 NDIS_HANDLE* bindingHandle, uint32_t* selected, NDIS_MEDIUM* media,
                                 uint32_t mediaCount, NDIS_HANDLE protocol, NDIS_HANDLE context,
                                 NDIS_STRING* name, uint32_t, void*) {
    *openError = 0;
    if (protocol != &g_protocolToken || !SameString(name, &g_adapter.lowerName) || g_adapter.open) {
        *status = NDIS_STATUS_ADAPTER_NOT_READY;
        return;
    }
    uint32_t index = 0;
    while (index < mediaCount && media[index] != AdapterMedium)
        index++;
    if (index == mediaCount) {
        *status = NDIS_STATUS_UNSUPPORTED_MEDIA;
        return;
    }
    *selected = index;
    *bindingHandle = &g_adapter;
    g_adapter.context = context;
    g_adapter.open = true;
    *status = NDIS_STATUS_SUCCESS;
}

NDIS_EXPORT void NdisCloseAdapter(NDIS_STATUS* status, NDIS_HANDLE handle) {
    if (handle != &g_adapter || !g_adapter.open)
        Fault("NdisCloseAdapter of a binding that is not open");
    if (g_books.pendingSends || g_books.heldBelow)
        Fault("binding closed with sends or receives outstanding");
    g_adapter.open = false;
    g_adapter.context = nullptr;
    *status = NDIS_STATUS_SUCCESS;
}

NDIS_EXPORT NDIS_STATUS NdisIMInitializeDeviceInstanceEx(NDIS_HANDLE driver, NDIS_STRING* name,
                                                         NDIS_HANDLE context) {
    if (driver != &g_driverToken || !SameString(name, &g_adapter.upperName) || g_adapter.miniport)
        return NDIS_STATUS_FAILURE;
    Miniport* mp = NewMiniport(context);
    if (!mp)
        return NDIS_STATUS_RESOURCES;
    g_adapter.miniport = mp;
    NDIS_MEDIUM media[] = {NdisMedium802_3, NdisMedium802_5};
    NDIS_STATUS openError = 0;
    uint32_t index = ~0u;
    NDIS_STATUS status =
        g_driver.miniport.InitializeHandler(&openError, &index, media, 2, mp, nullptr);
    if (status != NDIS_STATUS_SUCCESS) {
        g_adapter.miniport = nullptr;
        ExFreePoolWithTag(mp, StandinTag);
        return status;
    }
    if (index >= 2 || !mp->adapterContext)
        Fault("MiniportInitialize succeeded without a medium or attributes");
    return status;
}

NDIS_EXPORT NDIS_STATUS NdisIMCancelInitializeDeviceInstance(NDIS_HANDLE, NDIS_STRING*) {
    return NDIS_STATUS_FAILURE; // initialisations here run at once, never deferred
}

NDIS_EXPORT NDIS_STATUS NdisIMDeInitializeDeviceInstance(NDIS_HANDLE miniport) {
    auto* mp = static_cast<Miniport*>(miniport);
    if (mp != g_adapter.miniport) {
        Fault("NdisIMDeInitializeDeviceInstance of no miniport");
        return NDIS_STATUS_FAILURE;
    }
    if (g_books.sendsAbove || g_books.retainedAbove)
        Fault("miniport halted with sends or indicated packets outstanding");
    g_adapter.miniport = nullptr;
    g_driver.miniport.HaltHandler(mp->adapterContext);
    ExFreePoolWithTag(mp, StandinTag);
    return NDIS_STATUS_SUCCESS;
}

NDIS_EXPORT NDIS_HANDLE NdisIMGetDeviceContext(NDIS_HANDLE miniport) {
    return static_cast<Miniport*>(miniport)->deviceContext;
}

NDIS_EXPORT void NdisMSetAttributesEx(NDIS_HANDLE miniport, NDIS_HANDLE context, uint32_t,
                                      uint32_t flags, NDIS_INTERFACE_TYPE) {
    auto* mp = static_cast<Miniport*>(miniport);
    mp->adapterContext = context;
    mp->attributeFlags = flags;
}

// ---- The data path below ----
NDIS_EXPORT void NdisSend(NDIS_STATUS* status, NDIS_HANDLE handle, NDIS_PACKET* packet) {
    PacketPool* pool = PoolOf(packet);
    if (handle != &g_adapter || !g_adapter.open)
        Fault("send on a binding that is not open");
    if (!pool || pool->owner != Owner::Driver) {
        Fault("a packet sent down is not a descriptor of the driver");
        *status = NDIS_STATUS_FAILURE;
        return;
    }
    NoteLeaving(packet);
    InterlockedIncrement(&g_books.pendingSends);
    Push(&g_pendingBelow, packet);
    *status = NDIS_STATUS_PENDING;
}

NDIS_EXPORT void NdisTransferData(NDIS_STATUS* status, NDIS_HANDLE, NDIS_HANDLE, uint32_t, uint32_t,
                                  NDIS_PACKET*, uint32_t* transferred) {
    *transferred = 0;
    *status = NDIS_STATUS_FAILURE; // the adapter below indicates whole packets only
}

NDIS_EXPORT void NdisCancelSendPackets(NDIS_HANDLE, void*) {}

NDIS_EXPORT void NdisReturnPackets(NDIS_PACKET** packets, uint32_t count) {
    for (uint32_t i = 0; i < count; i++) {
        PacketPool* pool = PoolOf(packets[i]);
        if (!pool || pool->owner != Owner::Below) {
            Fault("a packet returned down is not one the adapter lent");
            continue;
        }
        InterlockedDecrement(&g_books.heldBelow);
        DeleteActorPacket(packets[i], "a packet returned down twice");
    }
}

NDIS_EXPORT NDIS_PACKET* NdisGetReceivedPacket(NDIS_HANDLE, NDIS_HANDLE) {
    return nullptr;
}

NDIS_EXPORT void NdisRequest(NDIS_STATUS* status, NDIS_HANDLE, NDIS_REQUEST* request) {
    auto& info = request->DATA.INFORMATION;
    info.BytesWrittenOrRead =
        request->RequestType == NdisRequestSetInformation ? info.InformationBufferLength : 0;
    info.BytesNeeded = 0;
    *status = NDIS_STATUS_SUCCESS;
}

NDIS_EXPORT NDIS_STATUS NdisIMNotifyPnPEvent(NDIS_HANDLE, NET_PNP_EVENT*) {
    return NDIS_STATUS_SUCCESS;
}

// Loaded as the driver's import, after the driver's imports are bound and before its
// DriverEntry runs: the kernel replacements go in now.
BOOLEAN WINAPI DllMain(PVOID module, ULONG reason, PVOID) {
    if (reason == ProcessAttach) {
        g_driver.module = module;
        RecordsInit();
        ShimPatchImportersOf("ndis.sys");
    }
    return TRUE;
}

} // extern "C"
