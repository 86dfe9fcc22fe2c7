// ndis.sys for running MerrowfaldineLwf.sys (the NDIS 6 filter) under Wine's kernel-driver
// host: a PE DLL that serves the filter's NDIS 6 imports and plays NDIS around it. The
// control device is created with Wine's IoCreateDevice, so CreateFile and DeviceIoControl
// from Win32 programs reach the filter's dispatch routines. Once DriverEntry has registered
// the filter, a thread of the stand-in attaches it to one Ethernet adapter and restarts the
// module, then waits for a test's trigger files beside it:
//   fresh.go  the driver is unloaded (NDIS detaches the module) and started again through
//             its entry point, and attached again: a fresh engine without a new driver host
//             (fresh.done: "fresh driver attached")
//   feed.go   feed.pcap goes through the filter as the Linux replay's NDIS 6 host sends it
//             through its model, and what leaves the filter is written to feed-out.pcap
//             (feed.done: "N frames fed")
// `sc stop` runs the filter's unload routine; when the stand-in is unloaded after it, it
// writes its books to ndis-books.txt beside it.
//
// The books follow the ownership rules of NDIS 6: every NBL the protocol above sent and the
// miniport below indicated comes back once, to its owner, with its own NET_BUFFERs, MDLs
// and bytes; nothing indicated with NDIS_RECEIVE_FLAGS_RESOURCES is kept or returned; the
// filter's pools are freed empty and each NET_BUFFER and MDL of them once; the memory the
// filter took is given back; nothing is registered after the unload.
#include <ntddk.h>

#include "../platform/ndis6.h"
#include "kernel_shim.h"
#include "standin_feed.h"

// The NDIS entries, exported under their undecorated names.
#define NDIS_EXPORT __declspec(dllexport)

namespace {

const ULONG ProcessAttach = 1;
const ULONG ProcessDetach = 0;
const ULONG StandinTag = '6sdN';

// ---- The books ----
struct Books {
    LONG pools;      // the filter's NBL and NET_BUFFER pools not freed
    LONG netBuffers; // the filter's NET_BUFFERs not freed
    LONG mdls;       // the filter's MDLs not freed
    LONG out;        // NBLs of the protocol and the miniport not back with them
};
Books g_books;

void Fault(const char* what) {
    StandinFault(what);
}

enum RecordKind : ULONG {
    KindNblPool = 1,
    KindNbPool,
    KindNetBuffer, // from a pool of the filter
    KindMdl,       // from NdisAllocateMdl
    KindActorNetBuffer,
    KindActorMdl,
    KindNbl,
    KindChain,
};

struct PoolRecord {
    StandinRecord record;
    LONG live;
};

// Every NET_BUFFER and MDL the filter sees, its own or an actor's, follows a record.
struct NetBufferBox {
    StandinRecord record;
    PoolRecord* pool; // null for an actor's
    NET_BUFFER nb;
};
struct MdlBox {
    StandinRecord record;
    MDL mdl;
};

NetBufferBox* BoxOf(NET_BUFFER* nb) {
    return reinterpret_cast<NetBufferBox*>(reinterpret_cast<PUCHAR>(nb) -
                                           offsetof(NetBufferBox, nb));
}
MdlBox* BoxOf(NdisMdl* mdl) {
    return reinterpret_cast<MdlBox*>(reinterpret_cast<PUCHAR>(mdl) - offsetof(MdlBox, mdl));
}

bool IsFilterNetBuffer(NET_BUFFER* nb) {
    return nb && RecordLive(BoxOf(nb), KindNetBuffer);
}

PUCHAR MdlAddress(NdisMdl* mdl) {
    if (mdl->MdlFlags & (NdisMdlMappedToSystemVa | NdisMdlSourceIsNonpagedPool))
        return static_cast<PUCHAR>(mdl->MappedSystemVa);
    return static_cast<PUCHAR>(mdl->StartVa) + mdl->ByteOffset;
}

// FNV-1a over bytes, for the owners' checks that nothing changed.
const uint64_t DigestStart = 1469598103934665603ULL;
uint64_t Digest(uint64_t hash, const UCHAR* bytes, ULONG length) {
    for (ULONG i = 0; i < length; i++)
        hash = (hash ^ bytes[i]) * 1099511628211ULL;
    return hash;
}

// The data of a NET_BUFFER, from its current MDL and offset, into `out` (at most `room`
// bytes); the length read, short when the MDLs hold less than DataLength.
ULONG ReadNetBuffer(NET_BUFFER* nb, PUCHAR out, ULONG room) {
    ULONG remaining = nb->DataLength;
    ULONG offset = nb->CurrentMdlOffset;
    ULONG at = 0;
    for (NdisMdl* mdl = nb->CurrentMdl; mdl && remaining; mdl = mdl->Next) {
        ULONG available = mdl->ByteCount > offset ? mdl->ByteCount - offset : 0;
        ULONG chunk = available < remaining ? available : remaining;
        if (chunk > room - at)
            chunk = room - at;
        RtlCopyMemory(out + at, MdlAddress(mdl) + offset, chunk);
        at += chunk;
        remaining -= chunk;
        offset = 0;
    }
    return at;
}

// ---- The NBLs of the protocol above and the miniport below ----
enum class Owner : ULONG { Protocol, Miniport };

const ULONG MaxFramesPerNbl = 3;
const ULONG MaxMdlsPerFrame = 4;
const ULONG MaxFramesPerChain = 16;

// What an owner remembers of one NET_BUFFER it put into an NBL, and what the receiving
// actor took delivery of.
struct NbSnapshot {
    NET_BUFFER* nb;
    NdisMdl* mdlChain;
    NdisMdl* currentMdl;
    ULONG currentMdlOffset, dataLength, dataOffset;
    ULONG mdlCount;
    NdisMdl* mdls[MaxMdlsPerFrame];
    uint64_t digest;
    ULONG deliveredLength;
    uint64_t deliveredDigest;
};

struct NblBox {
    StandinRecord record;
    Owner owner;
    bool home;
    bool resources; // last passed in with NDIS_RECEIVE_FLAGS_RESOURCES
    ULONG frames;
    NbSnapshot snapshots[MaxFramesPerNbl];
    NET_BUFFER_LIST nbl;
};

NblBox* BoxOf(NET_BUFFER_LIST* nbl) {
    return reinterpret_cast<NblBox*>(reinterpret_cast<PUCHAR>(nbl) - offsetof(NblBox, nbl));
}

NblBox* ActorNbl(NET_BUFFER_LIST* nbl) {
    return nbl && RecordLive(BoxOf(nbl), KindNbl) ? BoxOf(nbl) : nullptr;
}

uint64_t DigestOf(const NbSnapshot& s) {
    uint64_t hash = DigestStart;
    for (ULONG m = 0; m < s.mdlCount; m++)
        hash = Digest(hash, MdlAddress(s.mdls[m]), s.mdls[m]->ByteCount);
    return hash;
}

// One chain an actor built: its NBLs, and the bytes behind their MDLs.
struct Chain {
    StandinRecord record;
    Owner owner;
    ULONG nblCount;
    NblBox* nbls[MaxFramesPerChain];
    ULONG storageCount;
    PUCHAR storage[MaxFramesPerChain];
};

// How one frame is laid out in its NET_BUFFER, as the replay draws it.
struct FrameLayout {
    ULONG cutCount;
    ULONG cuts[MaxMdlsPerFrame - 1];
    ULONG firstOffset;
    ULONG tailSlack;
    bool mapped;
};

const UCHAR UnusedByte = 0xEE;

// One NET_BUFFER over MDLs cut as the layout says, each MDL over its own stretch of one
// block: the unused bytes in front of the first and after the last are its own too.
NET_BUFFER* BuildNetBuffer(Chain* chain, const UCHAR* frame, ULONG length,
                           const FrameLayout& layout) {
    ULONG sizes[MaxMdlsPerFrame];
    ULONG count = 0, assigned = 0;
    for (ULONG i = 0; i < layout.cutCount; i++) {
        ULONG size = layout.cuts[i] < length - assigned ? layout.cuts[i] : length - assigned;
        sizes[count++] = size;
        assigned += size;
    }
    sizes[count++] = length - assigned;
    ULONG total = layout.firstOffset + length + layout.tailSlack;
    auto* block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, total + 1, StandinTag));
    auto* box = static_cast<NetBufferBox*>(RecordNew(sizeof(NetBufferBox), KindActorNetBuffer));
    if (!block || !box) {
        if (block)
            ExFreePoolWithTag(block, StandinTag);
        return nullptr;
    }
    chain->storage[chain->storageCount++] = block;
    RtlFillMemory(block, total, UnusedByte);
    RtlCopyMemory(block + layout.firstOffset, frame, length);
    NdisMdl* last = nullptr;
    PUCHAR at = block;
    for (ULONG i = 0; i < count; i++) {
        ULONG bytes =
            sizes[i] + (i == 0 ? layout.firstOffset : 0) + (i + 1 == count ? layout.tailSlack : 0);
        auto* mdlBox = static_cast<MdlBox*>(RecordNew(sizeof(MdlBox), KindActorMdl));
        if (!mdlBox)
            return nullptr;
        MDL* mdl = &mdlBox->mdl;
        ULONG_PTR address = reinterpret_cast<ULONG_PTR>(at);
        mdl->Size = CSHORT(sizeof(MDL));
        mdl->StartVa = reinterpret_cast<PVOID>(address & ~ULONG_PTR(0xFFF));
        mdl->ByteOffset = ULONG(address & 0xFFF);
        mdl->ByteCount = bytes;
        if (layout.mapped) {
            mdl->MdlFlags = NdisMdlSourceIsNonpagedPool;
            mdl->MappedSystemVa = at;
        }
        if (last)
            last->Next = mdl;
        else
            box->nb.MdlChain = mdl;
        last = mdl;
        at += bytes;
    }
    box->nb.CurrentMdl = box->nb.MdlChain;
    box->nb.CurrentMdlOffset = layout.firstOffset;
    box->nb.DataOffset = layout.firstOffset;
    box->nb.DataLength = length;
    return &box->nb;
}

NbSnapshot SnapshotOf(NET_BUFFER* nb) {
    NbSnapshot s{};
    s.nb = nb;
    s.mdlChain = nb->MdlChain;
    s.currentMdl = nb->CurrentMdl;
    s.currentMdlOffset = nb->CurrentMdlOffset;
    s.dataLength = nb->DataLength;
    s.dataOffset = nb->DataOffset;
    for (NdisMdl* mdl = nb->MdlChain; mdl && s.mdlCount < MaxMdlsPerFrame; mdl = mdl->Next)
        s.mdls[s.mdlCount++] = mdl;
    s.digest = DigestOf(s);
    return s;
}

// Frees a chain whose NBLs are all home; its records stay until the next release.
void ReleaseChain(Chain* chain) {
    for (ULONG i = 0; i < chain->nblCount; i++) {
        NblBox* box = chain->nbls[i];
        for (ULONG f = 0; f < box->frames; f++) {
            NbSnapshot& s = box->snapshots[f];
            for (ULONG m = 0; m < s.mdlCount; m++)
                RecordRetire(BoxOf(s.mdls[m]), KindActorMdl);
            RecordRetire(BoxOf(s.nb), KindActorNetBuffer);
        }
        RecordRetire(box, KindNbl);
    }
    for (ULONG i = 0; i < chain->storageCount; i++)
        ExFreePoolWithTag(chain->storage[i], StandinTag);
    RecordRetire(chain, KindChain);
}

bool ChainHome(Chain* chain) {
    for (ULONG i = 0; i < chain->nblCount; i++)
        if (!chain->nbls[i]->home)
            return false;
    return true;
}

// ---- The driver's registration and its module ----
struct Registration {
    PDRIVER_OBJECT object;
    bool registered;
    NDIS_FILTER_DRIVER_CHARACTERISTICS characteristics;
    NDIS_HANDLE context;
    LONG devices;
    PVOID module; // the stand-in's own
};
Registration g_driver;
int g_driverToken;

struct DeviceRecord {
    PDEVICE_OBJECT device;
    UNICODE_STRING symbolicName;
    WCHAR symbolicText[64];
};

// The one adapter the filter is attached to.
struct Module {
    bool attached;
    bool running;
    NDIS_HANDLE context; // from NdisFSetAttributes
    ULONG restartRequests;
    NDIS_STRING names[3];
};
Module g_module;
WCHAR g_moduleName[] = L"{5D3C6F0E-0000-4000-8000-000000000001}";
WCHAR g_instanceName[] = L"Replay adapter";
WCHAR g_miniportName[] = L"\\DEVICE\\{replay}";

NDIS_FILTER_DRIVER_CHARACTERISTICS& Filter() {
    return g_driver.characteristics;
}

// ---- NBLs in flight ----
const ULONG QueueSlots = 4096;
struct NblQueue {
    NblBox* slots[QueueSlots];
    ULONG count;
};
NblQueue g_sendsAtMiniport;    // sent down by the filter, to be completed
NblQueue g_receivesAtProtocol; // indicated up by the filter, to be returned

// The frames that left the filter in the current pass, in the order they left.
struct LeftFrame {
    PUCHAR bytes;
    ULONG length;
};
LeftFrame g_left[MaxFramesPerChain];
ULONG g_leftCount;

void ClearLeft() {
    for (ULONG i = 0; i < g_leftCount; i++)
        ExFreePoolWithTag(g_left[i].bytes, StandinTag);
    g_leftCount = 0;
}

// An actor takes delivery of NBLs the filter passed on: every one must be an NBL of the
// other actor in flight through this module; the frames are recorded and the queue keeps
// the NBLs until they go back (unless `keep` is false).
ULONG TakeDelivery(NET_BUFFER_LIST* chain, Owner from, NblQueue* queue, bool keep) {
    ULONG count = 0;
    for (NET_BUFFER_LIST* nbl = chain; nbl; nbl = nbl->Next, count++) {
        NblBox* box = ActorNbl(nbl);
        if (!box || box->owner != from || box->home) {
            Fault("the filter passed on an NBL that is not in flight through it");
            continue;
        }
        if (!g_module.running)
            Fault("the filter passed on an NBL while the module is not running");
        ULONG index = 0;
        for (NET_BUFFER* nb = nbl->FirstNetBuffer; nb; nb = nb->Next, index++) {
            auto* bytes =
                static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, MaxFrameBytes, StandinTag));
            if (!bytes)
                continue;
            ULONG length = ReadNetBuffer(nb, bytes, MaxFrameBytes);
            if (index < MaxFramesPerNbl) {
                box->snapshots[index].deliveredLength = length;
                box->snapshots[index].deliveredDigest = Digest(DigestStart, bytes, length);
            }
            if (g_leftCount == MaxFramesPerChain) {
                Fault("more frames left the filter than went in");
                ExFreePoolWithTag(bytes, StandinTag);
                continue;
            }
            g_left[g_leftCount++] = LeftFrame{bytes, length};
        }
        if (keep) {
            if (queue->count == QueueSlots)
                Fault("more NBLs in flight than the stand-in keeps");
            else
                queue->slots[queue->count++] = box;
        }
    }
    return count;
}

// The receiving actor reads the NBLs once more before it gives them back: every
// NET_BUFFER must be the owner's own or a live one of the filter, with the bytes it had at
// delivery.
void ReadAgainBeforeGivingBack(NET_BUFFER_LIST* chain) {
    static UCHAR bytes[MaxFrameBytes];
    for (NET_BUFFER_LIST* nbl = chain; nbl; nbl = nbl->Next) {
        NblBox* box = BoxOf(nbl);
        ULONG index = 0;
        for (NET_BUFFER* nb = nbl->FirstNetBuffer; nb; nb = nb->Next, index++) {
            bool own = false;
            for (ULONG f = 0; f < box->frames; f++)
                own = own || box->snapshots[f].nb == nb;
            if (!own && !IsFilterNetBuffer(nb)) {
                Fault("a NET_BUFFER was freed while another owner held it");
                return;
            }
            ULONG length = ReadNetBuffer(nb, bytes, sizeof bytes);
            if (index >= box->frames || length != box->snapshots[index].deliveredLength ||
                Digest(DigestStart, bytes, length) != box->snapshots[index].deliveredDigest) {
                Fault("bytes changed while another owner held the NBL");
                return;
            }
        }
    }
}

// NBLs coming back to `owner`: each must be its own and out, with exactly its NET_BUFFERs
// in their order, their MDLs, offsets and bytes as they were built.
void ComeHome(NET_BUFFER_LIST* chain, Owner owner, const char* twice) {
    while (chain) {
        NET_BUFFER_LIST* next = chain->Next;
        NblBox* box = ActorNbl(chain);
        if (!box || box->owner != owner) {
            Fault("an NBL came back to an actor that does not own it");
        } else if (box->home && box->resources) {
            Fault("an NBL indicated with NDIS_RECEIVE_FLAGS_RESOURCES was kept and returned");
        } else if (box->home) {
            Fault(twice);
        } else {
            ULONG f = 0;
            bool same = true;
            for (NET_BUFFER* nb = chain->FirstNetBuffer; nb && same; nb = nb->Next, f++) {
                same = f < box->frames;
                if (!same)
                    break;
                NbSnapshot now = SnapshotOf(nb);
                const NbSnapshot& then = box->snapshots[f];
                same = now.nb == then.nb && now.mdlChain == then.mdlChain &&
                       now.currentMdl == then.currentMdl &&
                       now.currentMdlOffset == then.currentMdlOffset &&
                       now.dataLength == then.dataLength && now.dataOffset == then.dataOffset &&
                       now.mdlCount == then.mdlCount && now.digest == then.digest;
                for (ULONG m = 0; same && m < now.mdlCount; m++)
                    same = now.mdls[m] == then.mdls[m];
            }
            if (!same || f != box->frames)
                Fault("an NBL came back with other NET_BUFFERs, MDLs, offsets or bytes");
            box->home = true;
            InterlockedDecrement(&g_books.out);
        }
        chain = next;
    }
}

// Links the chain's NBLs again and marks them out.
NET_BUFFER_LIST* SendOut(Chain* chain) {
    for (ULONG i = 0; i < chain->nblCount; i++) {
        NblBox* box = chain->nbls[i];
        if (!box->home)
            Fault("a chain passed in again before all its NBLs came back");
        box->home = false;
        box->resources = false;
        box->nbl.Next = i + 1 < chain->nblCount ? &chain->nbls[i + 1]->nbl : nullptr;
        box->nbl.Status = NDIS_STATUS_SUCCESS;
        InterlockedIncrement(&g_books.out);
    }
    return chain->nblCount ? &chain->nbls[0]->nbl : nullptr;
}

// ---- Feeding a capture through the filter ----
// As the replay's NDIS 6 host: frames to the server are indicated by the miniport, frames
// from it sent by the protocol, in NBL chains of 1 to 16 frames (one to three per NBL),
// each frame cut into MDLs at random places with a random offset into the first; one chain
// of receives in eight carries NDIS_RECEIVE_FLAGS_RESOURCES; completions and returns come
// back in random batches. Every choice is drawn as the replay draws it, from its two
// generators: the host's and the model's (which orders the batches).
const uint64_t ReplaySeed = 1;
Twister g_random;
Twister g_batchOrder;

ULONG Pick(ULONG low, ULONG high) {
    return TwisterPick(&g_random, low, high);
}

FrameLayout RandomLayout(ULONG length) {
    FrameLayout layout{};
    ULONG mdls = Pick(1, MaxMdlsPerFrame);
    for (ULONG i = 1; i < mdls && length > 1; i++)
        layout.cuts[layout.cutCount++] = Pick(1, length / mdls + 1);
    layout.firstOffset = Pick(0, 3) == 0 ? 0 : Pick(1, 64);
    layout.tailSlack = Pick(0, 32);
    layout.mapped = Pick(0, 1) == 1;
    return layout;
}

// Up to `most` NBLs of `queue`, in a seeded order, linked into one chain.
NET_BUFFER_LIST* Regroup(NblQueue* queue, ULONG most, ULONG* count) {
    TwisterShuffle(&g_batchOrder, reinterpret_cast<PVOID*>(queue->slots), queue->count);
    ULONG take = most < queue->count ? most : queue->count;
    NET_BUFFER_LIST* head = nullptr;
    for (ULONG i = 0; i < take; i++) {
        NblBox* box = queue->slots[--queue->count];
        box->nbl.Next = head;
        head = &box->nbl;
    }
    *count = take;
    return head;
}

// The miniport completes up to `most` sends, or the protocol returns up to `most` receives,
// in one chain; how many.
ULONG GiveBack(bool sends, ULONG most, ULONG flags) {
    ULONG count;
    NET_BUFFER_LIST* head =
        Regroup(sends ? &g_sendsAtMiniport : &g_receivesAtProtocol, most, &count);
    if (head) {
        ReadAgainBeforeGivingBack(head);
        if (sends)
            Filter().SendNetBufferListsCompleteHandler(g_module.context, head, flags);
        else
            Filter().ReturnNetBufferListsHandler(g_module.context, head, flags);
    }
    return count;
}
ULONG CompleteSends(ULONG most, ULONG flags) {
    return GiveBack(true, most, flags);
}
ULONG ReturnReceives(ULONG most, ULONG flags) {
    return GiveBack(false, most, flags);
}

// Chains with NBLs still out, released once all are home.
const ULONG ChainSlots = 1024;
Chain* g_chains[ChainSlots];
ULONG g_chainCount;

void ReleaseHome() {
    ULONG kept = 0;
    for (ULONG i = 0; i < g_chainCount; i++) {
        if (ChainHome(g_chains[i]))
            ReleaseChain(g_chains[i]);
        else
            g_chains[kept++] = g_chains[i];
    }
    g_chainCount = kept;
}

void DrainAll() {
    while (CompleteSends(MaxFramesPerChain, 0) + ReturnReceives(MaxFramesPerChain, 0) != 0) {
    }
    ReleaseHome();
}

// Frames waiting to go through in one chain.
struct HeldFrame {
    UCHAR record[PcapRecordBytes];
    PUCHAR frame;
    ULONG length;
};
struct Held {
    HeldFrame frames[MaxFramesPerChain];
    ULONG count;
    bool sent;
    ULONG chainLength;
};

// The held frames through the filter as one chain; what left it goes to the output, in the
// order of the frames. False when the output cannot be written or a frame did not leave.
bool PassHeld(Held* held, CaptureFiles* files) {
    if (held->count == 0)
        return true;
    auto* chain = static_cast<Chain*>(RecordNew(sizeof(Chain), KindChain));
    if (!chain)
        return false;
    chain->owner = held->sent ? Owner::Protocol : Owner::Miniport;
    bool built = true;
    for (ULONG i = 0; i < held->count;) {
        ULONG count = Pick(1, MaxFramesPerNbl);
        if (count > held->count - i)
            count = held->count - i;
        auto* box = static_cast<NblBox*>(RecordNew(sizeof(NblBox), KindNbl));
        if (!box)
            return false;
        box->owner = chain->owner;
        box->home = true;
        chain->nbls[chain->nblCount++] = box;
        NET_BUFFER* last = nullptr;
        for (ULONG j = 0; j < count; j++, i++) {
            HeldFrame& f = held->frames[i];
            NET_BUFFER* nb = BuildNetBuffer(chain, f.frame, f.length, RandomLayout(f.length));
            if (!nb) {
                built = false;
                continue;
            }
            if (last)
                last->Next = nb;
            else
                box->nbl.FirstNetBuffer = nb;
            last = nb;
            box->snapshots[box->frames++] = SnapshotOf(nb);
        }
    }
    if (!built)
        return false;
    ULONG dispatch = Pick(0, 1);
    g_leftCount = 0;
    NET_BUFFER_LIST* head = SendOut(chain);
    if (held->sent) {
        Filter().SendNetBufferListsHandler(g_module.context, head, 0, dispatch);
    } else {
        ULONG resources = Pick(0, 7) == 0 ? NDIS_RECEIVE_FLAGS_RESOURCES : 0;
        Filter().ReceiveNetBufferListsHandler(g_module.context, head, 0, chain->nblCount,
                                              dispatch | resources);
        // The miniport owns these again now.
        for (ULONG i = 0; resources && i < chain->nblCount; i++) {
            NET_BUFFER_LIST* nbl = &chain->nbls[i]->nbl;
            nbl->Next = nullptr;
            ComeHome(nbl, Owner::Miniport, "an NBL came back twice from a RESOURCES indication");
            chain->nbls[i]->resources = true;
        }
    }
    if (g_chainCount == ChainSlots) {
        Fault("more chains out than the stand-in keeps");
        return false;
    }
    g_chains[g_chainCount++] = chain;
    bool ok = true;
    if (g_leftCount != held->count) {
        Fault("a frame did not leave the filter");
        ok = false;
    }
    for (ULONG i = 0; ok && i < held->count; i++)
        ok = CaptureWrite(files, held->frames[i].record, g_left[i].bytes, g_left[i].length);
    ClearLeft();
    held->count = 0;
    // Some of what is out comes back now, in batches; the flags of each batch are drawn
    // before its size, as the replay draws them.
    for (ULONG round = Pick(0, 2); round > 0; --round) {
        ULONG flags = Pick(0, 1);
        CompleteSends(Pick(1, MaxFramesPerChain), flags);
        flags = Pick(0, 1);
        ReturnReceives(Pick(1, MaxFramesPerChain), flags);
    }
    ReleaseHome();
    return ok;
}

void FeedCapture(ReportLine* report) {
    CaptureFiles files;
    bool opened = CaptureOpen(&files, g_driver.module, "feed.pcap", "feed-out.pcap");
    bool ok = opened && g_module.running;
    TwisterSeed(&g_random, ReplaySeed);
    TwisterSeed(&g_batchOrder, ReplaySeed);
    static Held held;
    held.count = 0;
    LONG frames = 0;
    HeldFrame next;
    bool bad = false;
    while (ok && CaptureNext(&files, next.record, &next.frame, &next.length, &bad)) {
        bool sent = FrameFromServer(next.frame, next.length);
        if (held.count && (sent != held.sent || held.count >= held.chainLength))
            ok = PassHeld(&held, &files);
        if (held.count == 0) {
            held.sent = sent;
            held.chainLength = Pick(1, MaxFramesPerChain);
        }
        held.frames[held.count++] = next;
        frames++;
    }
    ok = ok && !bad && PassHeld(&held, &files);
    DrainAll();
    CaptureClose(&files);
    if (ok)
        LineAppendCount(report, frames, " frames fed");
    else
        LineAppend(report, "feed failed");
}

// ---- Attaching, detaching, and a fresh driver ----
void SetName(NDIS_STRING* s, WCHAR* text, SIZE_T units) {
    s->Buffer = text;
    s->Length = USHORT((units - 1) * sizeof(WCHAR));
    s->MaximumLength = s->Length;
}

bool AttachAndRestart() {
    Module& m = g_module;
    SetName(&m.names[0], g_moduleName, sizeof g_moduleName / sizeof g_moduleName[0]);
    SetName(&m.names[1], g_instanceName, sizeof g_instanceName / sizeof g_instanceName[0]);
    SetName(&m.names[2], g_miniportName, sizeof g_miniportName / sizeof g_miniportName[0]);
    NDIS_FILTER_ATTACH_PARAMETERS parameters;
    RtlZeroMemory(&parameters, sizeof parameters);
    parameters.Header.Type = NDIS_OBJECT_TYPE_FILTER_ATTACH_PARAMETERS;
    parameters.Header.Revision = 1;
    parameters.Header.Size = sizeof parameters;
    parameters.IfIndex = 1001;
    parameters.FilterModuleGuidName = &m.names[0];
    parameters.BaseMiniportIfIndex = 1;
    parameters.BaseMiniportInstanceName = &m.names[1];
    parameters.BaseMiniportName = &m.names[2];
    parameters.MiniportMediaType = NdisMedium802_3;
    NDIS_STATUS status = Filter().AttachHandler(&g_module, g_driver.context, &parameters);
    if (status != NDIS_STATUS_SUCCESS || !m.context)
        return false;
    m.attached = true;
    // A restart with a general attribute block, whose lookahead the filter may change.
    union {
        NDIS_RESTART_ATTRIBUTES attributes;
        UCHAR bytes[sizeof(NDIS_RESTART_ATTRIBUTES) + sizeof(NDIS_RESTART_GENERAL_ATTRIBUTES)];
    } storage;
    RtlZeroMemory(&storage, sizeof storage);
    auto* general = reinterpret_cast<NDIS_RESTART_GENERAL_ATTRIBUTES*>(storage.attributes.Data);
    storage.attributes.Oid = OID_GEN_MINIPORT_RESTART_ATTRIBUTES;
    storage.attributes.DataLength = sizeof *general;
    general->Header.Type = NDIS_OBJECT_TYPE_RESTART_GENERAL_ATTRIBUTES;
    general->Header.Revision = 1;
    general->Header.Size = sizeof *general;
    general->MtuSize = 1500;
    general->LookaheadSize = 1514;
    NDIS_FILTER_RESTART_PARAMETERS restart;
    RtlZeroMemory(&restart, sizeof restart);
    restart.MiniportMediaType = NdisMedium802_3;
    restart.RestartAttributes = &storage.attributes;
    m.running = Filter().RestartHandler(m.context, &restart) == NDIS_STATUS_SUCCESS;
    return m.running;
}

// NDIS pauses a running module and detaches it once every NBL is back with its owner.
void PauseAndDetach() {
    Module& m = g_module;
    if (!m.attached)
        return;
    DrainAll();
    if (m.running) {
        m.running = false;
        if (Filter().PauseHandler(m.context, nullptr) != NDIS_STATUS_SUCCESS)
            Fault("FilterPause failed; a pause cannot fail");
    }
    if (g_books.out != 0 || g_chainCount != 0)
        Fault("module detached with NBLs outstanding");
    Filter().DetachHandler(m.context);
    m.attached = false;
    m.context = nullptr;
}

// The trigger thread; the unload waits for it before NDIS detaches the module.
volatile LONG g_stopping;
volatile LONG g_serving;
volatile LONG g_freshening;

void FreshDriver(ReportLine* report) {
    PDRIVER_OBJECT object = g_driver.object;
    PDRIVER_UNLOAD unload = object ? object->DriverUnload : nullptr;
    PDRIVER_INITIALIZE entry = object ? object->DriverInit : nullptr;
    if (!unload || !entry) {
        LineAppend(report, "fresh driver failed: no unload routine or entry point");
        return;
    }
    InterlockedExchange(&g_freshening, 1);
    unload(object);
    InterlockedExchange(&g_freshening, 0);
    ULONG tag = 0;
    if (g_driver.registered || g_driver.devices != 0)
        Fault("the filter's unload left a registration");
    if (ShimBlocksOutstanding(&tag) != 0)
        Fault("the filter's unload left pool blocks");
    if (g_books.pools || g_books.netBuffers || g_books.mdls)
        Fault("the filter's unload left pools, NET_BUFFERs or MDLs");
    RecordsRelease();
    UNICODE_STRING registryPath{};
    NTSTATUS status = entry(object, &registryPath);
    if (!NT_SUCCESS(status) || !AttachAndRestart())
        LineAppend(report, "fresh driver failed to start or attach");
    else
        LineAppend(report, "fresh driver attached");
}

const Trigger Triggers[] = {
    {"fresh.go", "fresh.done", FreshDriver},
    {"feed.go", "feed.done", FeedCapture},
};

// Started by the first registration: once DriverEntry has registered the control device
// too, the adapter appears, as NDIS attaches a newly registered filter.
ULONG WINAPI ServeThread(PVOID) {
    while (g_driver.devices == 0 && !g_stopping)
        Sleep(10);
    Sleep(100); // DriverEntry returns after its device is registered
    if (!g_stopping && !AttachAndRestart())
        DbgPrint("ndis.sys stand-in: the filter did not attach\n");
    ServeTriggers(g_driver.module, Triggers, sizeof Triggers / sizeof Triggers[0], &g_stopping);
    InterlockedExchange(&g_serving, 0);
    return 0;
}

// ---- Books at unload ----
void WriteBooks() {
    ReportLine line{};
    ULONG tag = 0;
    ULONG outstanding = ShimBlocksOutstanding(&tag);
    LONG faults = StandinFaults() + LONG(ShimPoolFaults());
    LONG left = g_books.pools + g_books.netBuffers + g_books.mdls + g_books.out;
    bool registered = g_driver.registered || g_driver.devices != 0;
    bool balanced = outstanding == 0 && faults == 0 && left == 0 && !registered;
    LineAppend(&line, balanced ? "ndis.sys stand-in books: balanced, "
                               : "ndis.sys stand-in books: NOT balanced, ");
    LineAppendCount(&line, LONG(ShimBlocksAllocated()), " blocks allocated, ");
    LineAppendCount(&line, LONG(outstanding), " outstanding");
    if (outstanding) {
        char text[] = " (one tagged 'xxxx')";
        for (int i = 0; i < 4; i++)
            text[14 + i] = char((tag >> (8 * i)) & 0xFF);
        LineAppend(&line, text);
    }
    LineAppend(&line, ", ");
    LineAppendCount(&line, g_books.pools, " pools, ");
    LineAppendCount(&line, g_books.netBuffers, " NET_BUFFERs, ");
    LineAppendCount(&line, g_books.mdls, " MDLs, ");
    LineAppendCount(&line, g_books.out, " NBLs out, ");
    LineAppendCount(&line, faults, " faults, ");
    LineAppend(&line, g_driver.registered ? "filter still registered, " : "filter deregistered, ");
    LineAppendCount(&line, g_driver.devices, " control devices left");
    if (StandinFirstFault()) {
        LineAppend(&line, " (first fault: ");
        LineAppend(&line, StandinFirstFault());
        LineAppend(&line, ")");
    }
    ShimWriteReport(g_driver.module, "ndis-books.txt", line.text);
}

// Wine's ntoskrnl has no KeBugCheck that stops the host; a call the stand-in does not serve
// ends the driver host so the test sees the driver vanish.
[[noreturn]] void Unserved(const char* call) {
    DbgPrint("ndis.sys stand-in: %s is not served\n", call);
    ShimStopHost();
}

PoolRecord* NewPool(NDIS_OBJECT_HEADER* header, USHORT size, RecordKind kind) {
    if (header->Type != NDIS_OBJECT_TYPE_DEFAULT || header->Revision != 1 || header->Size < size) {
        Fault("a pool asked for with bad parameters");
        return nullptr;
    }
    auto* pool = static_cast<PoolRecord*>(RecordNew(sizeof(PoolRecord), kind));
    if (pool)
        InterlockedIncrement(&g_books.pools);
    return pool;
}

void FreePool(NDIS_HANDLE handle, RecordKind kind) {
    auto* pool = static_cast<PoolRecord*>(handle);
    if (!RecordLive(pool, kind)) {
        Fault("a pool freed twice, or something freed as a pool that is not one");
        return;
    }
    if (pool->live != 0)
        Fault("a pool freed with objects still allocated from it");
    RecordRetire(pool, kind);
    InterlockedDecrement(&g_books.pools);
}

} // namespace

extern "C" {

// ---- Registration and the control device ----
NDIS_EXPORT NDIS_STATUS NdisFRegisterFilterDriver(KmDriverObject* driverObject, NDIS_HANDLE context,
                                                  NDIS_FILTER_DRIVER_CHARACTERISTICS* c,
                                                  NDIS_HANDLE* handle) {
    if (g_driver.registered || c->Header.Type != NDIS_OBJECT_TYPE_FILTER_DRIVER_CHARACTERISTICS ||
        c->MajorNdisVersion != 6 || !c->AttachHandler || !c->DetachHandler || !c->RestartHandler ||
        !c->PauseHandler || !c->SendNetBufferListsHandler ||
        !c->SendNetBufferListsCompleteHandler || !c->ReceiveNetBufferListsHandler ||
        !c->ReturnNetBufferListsHandler)
        return NDIS_STATUS_FAILURE;
    bool first = g_driver.object == nullptr;
    g_driver.object = reinterpret_cast<PDRIVER_OBJECT>(driverObject);
    g_driver.characteristics = *c;
    g_driver.context = context;
    g_driver.registered = true;
    *handle = &g_driverToken;
    if (first) {
        InterlockedExchange(&g_serving, 1);
        HANDLE thread = CreateThread(nullptr, 0, ServeThread, nullptr, 0, nullptr);
        if (thread)
            CloseHandle(thread);
        else
            InterlockedExchange(&g_serving, 0);
    }
    return NDIS_STATUS_SUCCESS;
}

// NDIS detaches every module before this returns. From `sc stop` the trigger thread ends
// first; in a fresh start the thread itself is here.
NDIS_EXPORT void NdisFDeregisterFilterDriver(NDIS_HANDLE handle) {
    if (handle != &g_driverToken || !g_driver.registered) {
        Fault("NdisFDeregisterFilterDriver without a registration");
        return;
    }
    if (!g_freshening) {
        InterlockedExchange(&g_stopping, 1);
        while (g_serving)
            Sleep(10);
    }
    PauseAndDetach();
    g_driver.registered = false;
}

NDIS_EXPORT NDIS_STATUS NdisRegisterDeviceEx(NDIS_HANDLE handle,
                                             NDIS_DEVICE_OBJECT_ATTRIBUTES* attributes,
                                             KmDeviceObject** deviceObject,
                                             NDIS_HANDLE* deviceHandle) {
    if (handle != &g_driverToken || !g_driver.registered)
        return STATUS_INVALID_DEVICE_STATE;
    auto* record = static_cast<DeviceRecord*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(DeviceRecord), StandinTag));
    if (!record)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(record, sizeof *record);
    NTSTATUS status =
        IoCreateDevice(g_driver.object, attributes->ExtensionSize, attributes->DeviceName,
                       FILE_DEVICE_NETWORK, 0, FALSE, &record->device);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(record, StandinTag);
        return status;
    }
    record->symbolicName.Buffer = record->symbolicText;
    record->symbolicName.MaximumLength = sizeof record->symbolicText;
    RtlCopyUnicodeString(&record->symbolicName, attributes->SymbolicName);
    status = IoCreateSymbolicLink(&record->symbolicName, attributes->DeviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(record->device);
        ExFreePoolWithTag(record, StandinTag);
        return status;
    }
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        if (attributes->MajorFunctions[i])
            g_driver.object->MajorFunction[i] =
                reinterpret_cast<PDRIVER_DISPATCH>(attributes->MajorFunctions[i]);
    record->device->Flags &= ~DO_DEVICE_INITIALIZING;
    *deviceObject = reinterpret_cast<KmDeviceObject*>(record->device);
    *deviceHandle = record;
    InterlockedIncrement(&g_driver.devices);
    return STATUS_SUCCESS;
}

NDIS_EXPORT void NdisDeregisterDeviceEx(NDIS_HANDLE deviceHandle) {
    auto* record = static_cast<DeviceRecord*>(deviceHandle);
    IoDeleteSymbolicLink(&record->symbolicName);
    IoDeleteDevice(record->device);
    ExFreePoolWithTag(record, StandinTag);
    InterlockedDecrement(&g_driver.devices);
}

NDIS_EXPORT void* NdisGetDeviceReservedExtension(KmDeviceObject* deviceObject) {
    return reinterpret_cast<PDEVICE_OBJECT>(deviceObject)->DeviceExtension;
}

// ---- The module ----
NDIS_EXPORT NDIS_STATUS NdisFSetAttributes(NDIS_HANDLE handle, NDIS_HANDLE context,
                                           NDIS_FILTER_ATTRIBUTES* a) {
    if (handle != &g_module || a->Header.Type != NDIS_OBJECT_TYPE_FILTER_ATTRIBUTES ||
        a->Header.Revision != 1 || a->Header.Size < sizeof(NDIS_FILTER_ATTRIBUTES) ||
        g_module.context)
        return NDIS_STATUS_INVALID_PARAMETER;
    g_module.context = context;
    return NDIS_STATUS_SUCCESS;
}

// NDIS only schedules the restart; the stand-in counts the request.
NDIS_EXPORT NDIS_STATUS NdisFRestartFilter(NDIS_HANDLE handle) {
    if (handle != &g_module || !g_module.attached)
        return NDIS_STATUS_FAILURE;
    g_module.restartRequests++;
    return NDIS_STATUS_SUCCESS;
}

// ---- Memory, pools, NET_BUFFERs and MDLs ----
NDIS_EXPORT void* NdisAllocateMemoryWithTagPriority(NDIS_HANDLE, uint32_t length, uint32_t tag,
                                                    uint32_t) {
    return ShimAllocate(length, tag);
}

NDIS_EXPORT void NdisFreeMemory(void* block, uint32_t, uint32_t) {
    ShimFreeTagged(block, 0);
}

NDIS_EXPORT NDIS_HANDLE NdisAllocateNetBufferListPool(NDIS_HANDLE,
                                                      NET_BUFFER_LIST_POOL_PARAMETERS* p) {
    return NewPool(&p->Header, sizeof *p, KindNblPool);
}

NDIS_EXPORT void NdisFreeNetBufferListPool(NDIS_HANDLE pool) {
    FreePool(pool, KindNblPool);
}

NDIS_EXPORT NDIS_HANDLE NdisAllocateNetBufferPool(NDIS_HANDLE, NET_BUFFER_POOL_PARAMETERS* p) {
    return NewPool(&p->Header, sizeof *p, KindNbPool);
}

NDIS_EXPORT void NdisFreeNetBufferPool(NDIS_HANDLE pool) {
    FreePool(pool, KindNbPool);
}

NDIS_EXPORT NdisMdl* NdisAllocateMdl(NDIS_HANDLE, void* address, uint32_t length) {
    auto* box = static_cast<MdlBox*>(RecordNew(sizeof(MdlBox), KindMdl));
    if (!box)
        return nullptr;
    box->mdl.Size = CSHORT(sizeof(MDL));
    box->mdl.MdlFlags = NdisMdlSourceIsNonpagedPool;
    box->mdl.MappedSystemVa = address;
    box->mdl.StartVa = address;
    box->mdl.ByteCount = length;
    InterlockedIncrement(&g_books.mdls);
    return &box->mdl;
}

NDIS_EXPORT void NdisFreeMdl(NdisMdl* mdl) {
    if (!mdl || !RecordRetire(BoxOf(mdl), KindMdl)) {
        Fault("NdisFreeMdl of an MDL not from NdisAllocateMdl, or freed twice");
        return;
    }
    InterlockedDecrement(&g_books.mdls);
}

NDIS_EXPORT NET_BUFFER* NdisAllocateNetBuffer(NDIS_HANDLE poolHandle, NdisMdl* mdlChain,
                                              uint32_t dataOffset, size_t dataLength) {
    auto* pool = static_cast<PoolRecord*>(poolHandle);
    if (!RecordLive(pool, KindNbPool)) {
        Fault("NdisAllocateNetBuffer from something that is not a live NET_BUFFER pool");
        return nullptr;
    }
    auto* box = static_cast<NetBufferBox*>(RecordNew(sizeof(NetBufferBox), KindNetBuffer));
    if (!box)
        return nullptr;
    box->pool = pool;
    box->nb.MdlChain = mdlChain;
    box->nb.CurrentMdl = mdlChain;
    box->nb.DataOffset = dataOffset;
    box->nb.CurrentMdlOffset = dataOffset;
    box->nb.DataLength = uint32_t(dataLength);
    box->nb.NdisPoolHandle = pool;
    InterlockedIncrement(&pool->live);
    InterlockedIncrement(&g_books.netBuffers);
    return &box->nb;
}

NDIS_EXPORT void NdisFreeNetBuffer(NET_BUFFER* nb) {
    if (!IsFilterNetBuffer(nb)) {
        Fault("NdisFreeNetBuffer of a NET_BUFFER not from a pool of the filter, or freed twice");
        return;
    }
    InterlockedDecrement(&BoxOf(nb)->pool->live);
    RecordRetire(BoxOf(nb), KindNetBuffer);
    InterlockedDecrement(&g_books.netBuffers);
}

// ---- The data path ----
NDIS_EXPORT void NdisFSendNetBufferLists(NDIS_HANDLE handle, NET_BUFFER_LIST* nbls,
                                         NDIS_PORT_NUMBER, uint32_t) {
    if (handle != &g_module)
        Fault("NdisFSendNetBufferLists on an unknown module");
    TakeDelivery(nbls, Owner::Protocol, &g_sendsAtMiniport, true);
}

NDIS_EXPORT void NdisFSendNetBufferListsComplete(NDIS_HANDLE handle, NET_BUFFER_LIST* nbls,
                                                 uint32_t) {
    if (handle != &g_module)
        Fault("NdisFSendNetBufferListsComplete on an unknown module");
    ComeHome(nbls, Owner::Protocol, "a send completed twice");
}

NDIS_EXPORT void NdisFIndicateReceiveNetBufferLists(NDIS_HANDLE handle, NET_BUFFER_LIST* nbls,
                                                    NDIS_PORT_NUMBER, uint32_t count,
                                                    uint32_t flags) {
    if (handle != &g_module)
        Fault("NdisFIndicateReceiveNetBufferLists on an unknown module");
    // With RESOURCES the protocol copies what it needs and keeps nothing.
    bool keep = (flags & NDIS_RECEIVE_FLAGS_RESOURCES) == 0;
    if (TakeDelivery(nbls, Owner::Miniport, &g_receivesAtProtocol, keep) != count)
        Fault("NdisFIndicateReceiveNetBufferLists: NumberOfNetBufferLists is wrong");
}

NDIS_EXPORT void NdisFReturnNetBufferLists(NDIS_HANDLE handle, NET_BUFFER_LIST* nbls, uint32_t) {
    if (handle != &g_module)
        Fault("NdisFReturnNetBufferLists on an unknown module");
    ComeHome(nbls, Owner::Miniport, "a receive returned twice");
}

NDIS_EXPORT void NdisFCancelSendNetBufferLists(NDIS_HANDLE, void*) {}

// Status and PnP indications pass through to nobody; the adapter here makes no OID
// requests, so a call of those ends the host.
NDIS_EXPORT void NdisFIndicateStatus(NDIS_HANDLE, NDIS_STATUS_INDICATION*) {}

NDIS_EXPORT void NdisFDevicePnPEventNotify(NDIS_HANDLE, NET_DEVICE_PNP_EVENT*) {}

NDIS_EXPORT NDIS_STATUS NdisFNetPnPEvent(NDIS_HANDLE, NET_PNP_EVENT_NOTIFICATION*) {
    return NDIS_STATUS_SUCCESS;
}

NDIS_EXPORT NDIS_STATUS NdisAllocateCloneOidRequest(NDIS_HANDLE, NDIS_OID_REQUEST*, uint32_t,
                                                    NDIS_OID_REQUEST**) {
    Unserved("NdisAllocateCloneOidRequest");
}

NDIS_EXPORT void NdisFreeCloneOidRequest(NDIS_HANDLE, NDIS_OID_REQUEST*) {
    Unserved("NdisFreeCloneOidRequest");
}

NDIS_EXPORT NDIS_STATUS NdisFOidRequest(NDIS_HANDLE, NDIS_OID_REQUEST*) {
    Unserved("NdisFOidRequest");
}

NDIS_EXPORT void NdisFOidRequestComplete(NDIS_HANDLE, NDIS_OID_REQUEST*, NDIS_STATUS) {
    Unserved("NdisFOidRequestComplete");
}

NDIS_EXPORT void NdisFCancelOidRequest(NDIS_HANDLE, void*) {
    Unserved("NdisFCancelOidRequest");
}

// Loaded as the driver's import, after the driver's imports are bound and before its
// DriverEntry runs: the replacements go in now, so that the driver's first pool block and
// first spin lock already use them. Unloaded after the driver's unload routine returned.
BOOLEAN WINAPI DllMain(PVOID module, ULONG reason, PVOID) {
    if (reason == ProcessAttach) {
        g_driver.module = module;
        RecordsInit();
        ShimPatchImportersOf("ndis.sys");
    } else if (reason == ProcessDetach) {
        WriteBooks();
        ClearLeft();
        RecordsRelease();
    }
    return TRUE;
}

} // extern "C"
