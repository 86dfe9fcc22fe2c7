// The protocol above and the miniport below each module: they build NBL chains whose
// NET_BUFFERs span several MDLs, send and indicate them through the filter, receive what
// the filter passes on, complete and return in seeded batches, and check every NBL that
// comes back to its owner.
#include <algorithm>
#include <cstring>

#include "../sim_mdl.h"
#include "ndis6_internal.h"

namespace {

std::atomic<uint64_t> g_serials{1};

uint64_t Digest(const std::vector<NdisMdl*>& mdls) {
    uint64_t hash = 1469598103934665603ull;
    for (NdisMdl* mdl : mdls) {
        if (mdl->StartVa == nullptr) {
            continue;
        }
        const uint8_t* bytes = static_cast<const uint8_t*>(mdl->StartVa) + mdl->ByteOffset;
        for (uint32_t i = 0; i < mdl->ByteCount; ++i) {
            hash = (hash ^ bytes[i]) * 1099511628211ull;
        }
    }
    return hash;
}

// Builds one NET_BUFFER over MDLs cut as the layout says.
SimNbBox* BuildNetBuffer(SimChain* chain, const SimFrame& frame) {
    const SimFrameLayout& layout = frame.layout;
    uint32_t length = uint32_t(frame.bytes.size());
    uint32_t held = length > layout.missing ? length - layout.missing : 0;
    std::vector<uint32_t> sizes;
    uint32_t assigned = 0;
    for (uint32_t cut : layout.cuts) {
        uint32_t size = std::min(cut, held - assigned);
        sizes.push_back(size);
        assigned += size;
    }
    sizes.push_back(held - assigned);
    NdisMdl* first = nullptr;
    NdisMdl* last = nullptr;
    uint32_t at = 0;
    for (size_t i = 0; i < sizes.size(); ++i) {
        uint32_t front = i == 0 ? layout.firstOffset : 0;
        uint32_t back = i + 1 == sizes.size() ? layout.tailSlack : 0;
        chain->storage.emplace_back(front + sizes[i] + back, uint8_t(0xEE));
        std::vector<uint8_t>& storage = chain->storage.back();
        if (sizes[i] != 0) {
            std::memcpy(storage.data() + front, frame.bytes.data() + at, sizes[i]);
        }
        at += sizes[i];
        auto* box = new SimMdlBox();
        box->magic = SimMdlMagic;
        SimDescribeBuffer(&box->mdl, layout.unmappable ? nullptr : storage.data(),
                          uint32_t(storage.size()), layout.mapped && !layout.unmappable);
        chain->mdls.push_back(box);
        if (last == nullptr) {
            first = &box->mdl;
        } else {
            last->Next = &box->mdl;
        }
        last = &box->mdl;
    }
    auto* nb = new SimNbBox();
    nb->magic = SimNbMagic;
    nb->serial = g_serials.fetch_add(1);
    nb->pool = nullptr;
    nb->nb.MdlChain = first;
    nb->nb.CurrentMdl = first;
    nb->nb.CurrentMdlOffset = layout.firstOffset;
    nb->nb.DataOffset = layout.firstOffset;
    if (layout.consumedMdl != 0) {
        // Bytes nobody may take for data: a reader that starts at MdlChain sees them.
        chain->storage.emplace_back(layout.consumedMdl, uint8_t(0x5C));
        auto* box = new SimMdlBox();
        box->magic = SimMdlMagic;
        SimDescribeBuffer(&box->mdl, chain->storage.back().data(), layout.consumedMdl, true);
        chain->mdls.push_back(box);
        box->mdl.Next = first;
        nb->nb.MdlChain = &box->mdl;
        nb->nb.DataOffset = layout.consumedMdl + layout.firstOffset;
    }
    nb->nb.DataLength = length;
    chain->netBuffers.push_back(nb);
    return nb;
}

SimNbRecord RecordOf(NET_BUFFER* nb, bool digest) {
    SimNbRecord r;
    r.nb = nb;
    r.mdlChain = nb->MdlChain;
    r.currentMdl = nb->CurrentMdl;
    r.currentMdlOffset = nb->CurrentMdlOffset;
    r.dataLength = nb->DataLength;
    r.dataOffset = nb->DataOffset;
    for (NdisMdl* mdl = nb->MdlChain; mdl != nullptr; mdl = mdl->Next) {
        r.mdls.push_back(mdl);
    }
    r.digest = digest ? Digest(r.mdls) : 0;
    return r;
}

SimChain* Prepare(SimModule* module, const std::vector<SimNblFrames>& nbls, SimOwner owner) {
    auto* chain = new SimChain();
    chain->module = module;
    chain->owner = owner;
    SimNblBox* previous = nullptr;
    for (const SimNblFrames& frames : nbls) {
        auto* box = new SimNblBox();
        box->magic = SimNblMagic;
        box->serial = g_serials.fetch_add(1);
        box->owner = owner;
        box->module = module;
        box->home = true;
        NET_BUFFER* last = nullptr;
        for (const SimFrame& frame : frames) {
            NET_BUFFER* nb = &BuildNetBuffer(chain, frame)->nb;
            if (last == nullptr) {
                box->nbl.FirstNetBuffer = nb;
            } else {
                last->Next = nb;
            }
            last = nb;
        }
        for (NET_BUFFER* nb = box->nbl.FirstNetBuffer; nb != nullptr; nb = nb->Next) {
            box->records.push_back(RecordOf(nb, module->options.checkBytes));
        }
        if (previous != nullptr) {
            previous->nbl.Next = &box->nbl;
        }
        previous = box;
        chain->nbls.push_back(box);
    }
    return chain;
}

// Links the chain's NBLs again (a chain's links are NDIS's to change while it travels) and
// marks them out.
NET_BUFFER_LIST* SendOut(SimModule* module, SimChain* chain) {
    for (size_t i = 0; i < chain->nbls.size(); ++i) {
        SimNblBox* box = chain->nbls[i];
        if (!box->home) {
            SimReportMisuse("model: a chain passed in again before all its NBLs came back");
        }
        box->home = false;
        box->nbl.Next = i + 1 < chain->nbls.size() ? &chain->nbls[i + 1]->nbl : nullptr;
    }
    module->outstanding.fetch_add(int64_t(chain->nbls.size()));
    return chain->nbls.empty() ? nullptr : &chain->nbls[0]->nbl;
}

SimNblBox* BoxOf(NET_BUFFER_LIST* nbl, const char* what) {
    auto* box = reinterpret_cast<SimNblBox*>(nbl);
    if (box->magic != SimNblMagic) {
        SimReportMisuse(what);
        return nullptr;
    }
    return box;
}

// An actor takes delivery of NBLs the filter passed on: their frames are recorded and
// every NET_BUFFER must be live.
std::vector<SimNblBox*> TakeDelivery(SimModule* module, NET_BUFFER_LIST* chain, SimOwner from,
                                     std::vector<std::vector<uint8_t>>* record) {
    std::vector<SimNblBox*> boxes;
    for (NET_BUFFER_LIST* nbl = chain; nbl != nullptr; nbl = nbl->Next) {
        SimNblBox* box = BoxOf(nbl, "model: the filter passed on an NBL no actor built");
        if (box == nullptr) {
            continue;
        }
        if (box->owner != from || box->home || box->module != module) {
            SimReportMisuse("model: the filter passed on an NBL that is not in flight here");
        }
        if (module->state != FilterStateRunning) {
            SimReportMisuse("model: the filter passed on an NBL while the module is not running");
        }
        box->delivered.clear();
        for (NET_BUFFER* nb = nbl->FirstNetBuffer; nb != nullptr; nb = nb->Next) {
            if (reinterpret_cast<SimNbBox*>(nb)->magic != SimNbMagic) {
                SimReportMisuse("model: an NBL passed on holds a freed NET_BUFFER");
                continue;
            }
            // What can be read of it: a NET_BUFFER whose MDLs fall short of its DataLength
            // (or cannot be mapped) is the sender's fault, passed on as it is.
            std::vector<uint8_t> bytes;
            SimReadNetBuffer(nb, &bytes);
            box->delivered.push_back(bytes);
            if (module->options.record) {
                record->push_back(std::move(bytes));
            }
        }
        boxes.push_back(box);
    }
    return boxes;
}

// Picks up to `most` NBLs from `pending` in a seeded order and links them into one chain.
NET_BUFFER_LIST* Regroup(SimModule* module, std::vector<SimNblBox*>* pending, size_t most,
                         size_t* count) {
    std::shuffle(pending->begin(), pending->end(), module->random);
    size_t take = std::min(most, pending->size());
    NET_BUFFER_LIST* head = nullptr;
    for (size_t i = 0; i < take; ++i) {
        SimNblBox* box = pending->back();
        pending->pop_back();
        box->nbl.Next = head;
        head = &box->nbl;
    }
    *count = take;
    return head;
}

// The receiving actor reads the NBLs once more before it gives them back: every NET_BUFFER
// must still be alive (the actor's own, or one of the filter's not yet freed) and carry the
// bytes it carried at delivery.
void ReadAgainBeforeGivingBack(NET_BUFFER_LIST* chain) {
    for (NET_BUFFER_LIST* nbl = chain; nbl != nullptr; nbl = nbl->Next) {
        auto* box = reinterpret_cast<SimNblBox*>(nbl);
        size_t index = 0;
        for (NET_BUFFER* nb = nbl->FirstNetBuffer; nb != nullptr; nb = nb->Next, ++index) {
            bool own = std::any_of(box->records.begin(), box->records.end(),
                                   [nb](const SimNbRecord& r) { return r.nb == nb; });
            if (!own && !SimPoolNetBufferLive(nb)) {
                SimReportMisuse("model: a NET_BUFFER was freed while another owner held it");
                return;
            }
            std::vector<uint8_t> bytes;
            SimReadNetBuffer(nb, &bytes);
            if (index >= box->delivered.size() || bytes != box->delivered[index]) {
                SimReportMisuse("model: bytes changed while another owner held the NBL");
                return;
            }
        }
    }
}

void ComeHome(NET_BUFFER_LIST* chain, SimOwner owner, const char* how) {
    while (chain != nullptr) {
        NET_BUFFER_LIST* next = chain->Next;
        SimNblBox* box = BoxOf(chain, "model: an NBL no actor built came back");
        if (box != nullptr) {
            SimNblComesHome(box, owner, how);
        }
        chain = next;
    }
}

void CompleteChain(SimModule* module, NET_BUFFER_LIST* chain, uint32_t flags) {
    SimCallAt((flags & NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL) != 0 || SimDrawDispatch(module),
              "FilterSendNetBufferListsComplete", [&] {
                  g_simDriver.characteristics.SendNetBufferListsCompleteHandler(module->context,
                                                                                chain, flags);
              });
}

void ReturnChain(SimModule* module, NET_BUFFER_LIST* chain, uint32_t flags) {
    SimCallAt((flags & NDIS_RETURN_FLAGS_DISPATCH_LEVEL) != 0 || SimDrawDispatch(module),
              "FilterReturnNetBufferLists", [&] {
                  g_simDriver.characteristics.ReturnNetBufferListsHandler(module->context, chain,
                                                                          flags);
              });
}

} // namespace

bool SimReadNetBuffer(const NET_BUFFER* nb, std::vector<uint8_t>* out) {
    out->clear();
    uint32_t remaining = nb->DataLength;
    uint32_t offset = nb->CurrentMdlOffset;
    for (NdisMdl* mdl = nb->CurrentMdl; mdl != nullptr && remaining != 0; mdl = mdl->Next) {
        auto* base = static_cast<const uint8_t*>(mdl->StartVa);
        if (base == nullptr) {
            return false;
        }
        base += mdl->ByteOffset;
        uint32_t available = mdl->ByteCount > offset ? mdl->ByteCount - offset : 0;
        uint32_t chunk = std::min(available, remaining);
        out->insert(out->end(), base + offset, base + offset + chunk);
        remaining -= chunk;
        offset = 0;
    }
    return remaining == 0;
}

void SimNblComesHome(SimNblBox* box, SimOwner owner, const char* how) {
    char message[200];
    if (box->owner != owner) {
        std::snprintf(message, sizeof message,
                      "model: NBL serial %llu %s to an actor that "
                      "does not own it",
                      static_cast<unsigned long long>(box->serial), how);
        SimReportMisuse(message);
        return;
    }
    if (box->home) {
        std::snprintf(message, sizeof message, "model: NBL serial %llu %s twice",
                      static_cast<unsigned long long>(box->serial), how);
        SimReportMisuse(message);
        return;
    }
    size_t i = 0;
    for (NET_BUFFER* nb = box->nbl.FirstNetBuffer; nb != nullptr; nb = nb->Next, ++i) {
        // Only the actor's own and the filter's live NET_BUFFERs are read: a freed one is
        // reported without touching it.
        bool own = i < box->records.size() && box->records[i].nb == nb;
        auto* nbBox = reinterpret_cast<SimNbBox*>(nb);
        if (!own && SimPoolNetBufferLive(nb)) {
            std::snprintf(message, sizeof message,
                          "model: NET_BUFFER serial %llu of the filter "
                          "%s in NBL serial %llu",
                          static_cast<unsigned long long>(nbBox->serial), how,
                          static_cast<unsigned long long>(box->serial));
            SimReportMisuse(message);
            return;
        }
        if (!own) {
            std::snprintf(message, sizeof message,
                          "model: NBL serial %llu %s with other "
                          "NET_BUFFERs or in another order",
                          static_cast<unsigned long long>(box->serial), how);
            SimReportMisuse(message);
            return;
        }
        const SimNbRecord& then = box->records[i];
        bool same = nb->MdlChain == then.mdlChain && nb->CurrentMdl == then.currentMdl &&
                    nb->CurrentMdlOffset == then.currentMdlOffset &&
                    nb->DataLength == then.dataLength && nb->DataOffset == then.dataOffset;
        size_t m = 0;
        for (NdisMdl* mdl = nb->MdlChain; same && mdl != nullptr; mdl = mdl->Next, ++m) {
            same = m < then.mdls.size() && then.mdls[m] == mdl;
        }
        same = same && m == then.mdls.size();
        if (same && box->module->options.checkBytes) {
            same = Digest(then.mdls) == then.digest;
        }
        if (!same) {
            std::snprintf(message, sizeof message,
                          "model: NET_BUFFER serial %llu %s with its MDLs, offsets or bytes "
                          "changed",
                          static_cast<unsigned long long>(nbBox->serial), how);
            SimReportMisuse(message);
            return;
        }
    }
    if (i != box->records.size()) {
        std::snprintf(message, sizeof message, "model: NBL serial %llu %s missing NET_BUFFERs",
                      static_cast<unsigned long long>(box->serial), how);
        SimReportMisuse(message);
        return;
    }
    // Home last: the owner may release the NBL as soon as it sees it.
    SimModule* module = box->module;
    module->outstanding.fetch_sub(1);
    box->home = true;
}

SimChain* SimNdis6PrepareSends(SimModule* module, const std::vector<SimNblFrames>& nbls) {
    return Prepare(module, nbls, SimOwner::Protocol);
}

SimChain* SimNdis6PrepareReceives(SimModule* module, const std::vector<SimNblFrames>& nbls) {
    return Prepare(module, nbls, SimOwner::Miniport);
}

bool SimNdis6ChainHome(SimChain* chain) {
    for (SimNblBox* box : chain->nbls) {
        if (!box->home) {
            return false;
        }
    }
    return true;
}

void SimNdis6ReleaseChain(SimChain* chain) {
    if (!SimNdis6ChainHome(chain)) {
        SimReportMisuse("model: a chain released while NBLs of it are out");
        return;
    }
    for (SimNblBox* box : chain->nbls) {
        box->magic = SimDeadMagic;
        delete box;
    }
    for (SimNbBox* nb : chain->netBuffers) {
        nb->magic = SimDeadMagic;
        delete nb;
    }
    for (SimMdlBox* mdl : chain->mdls) {
        delete mdl;
    }
    delete chain;
}

void SimNdis6DiscardChain(SimChain* chain) {
    {
        std::lock_guard<std::mutex> hold(chain->module->lock);
        for (SimNblBox* box : chain->nbls) {
            auto& pending = chain->module->sendsAtMiniport;
            pending.erase(std::remove(pending.begin(), pending.end(), box), pending.end());
            auto& held = chain->module->receivesAtProtocol;
            held.erase(std::remove(held.begin(), held.end(), box), held.end());
            if (!box->home) {
                box->home = true;
                chain->module->outstanding.fetch_sub(1);
            }
        }
    }
    SimNdis6ReleaseChain(chain);
}

namespace {

// A module that is not running must give back at once whatever is passed in: sends
// completed with NDIS_STATUS_PAUSED, receives returned (the filter sample's handling).
void CheckRefusedWhileNotRunning(SimModule* module, SimChain* chain, bool sends) {
    if (module->state == FilterStateRunning) {
        return;
    }
    for (SimNblBox* box : chain->nbls) {
        if (!box->home) {
            SimReportMisuse("model: an NBL passed to a module that is not running was kept");
        } else if (sends && box->nbl.Status != NDIS_STATUS_PAUSED) {
            SimReportMisuse("model: a send refused while not running lacks NDIS_STATUS_PAUSED");
        }
    }
}

} // namespace

void SimNdis6Send(SimModule* module, SimChain* chain, uint32_t sendFlags) {
    NET_BUFFER_LIST* head = SendOut(module, chain);
    for (SimNblBox* box : chain->nbls) {
        box->nbl.Status = NDIS_STATUS_SUCCESS;
    }
    SimCallAt((sendFlags & NDIS_SEND_FLAGS_DISPATCH_LEVEL) != 0 || SimDrawDispatch(module),
              "FilterSendNetBufferLists", [&] {
                  g_simDriver.characteristics.SendNetBufferListsHandler(module->context, head, 0,
                                                                        sendFlags);
              });
    CheckRefusedWhileNotRunning(module, chain, true);
}

void SimNdis6Indicate(SimModule* module, SimChain* chain, uint32_t receiveFlags) {
    NET_BUFFER_LIST* head = SendOut(module, chain);
    SimCallAt((receiveFlags & NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL) != 0 || SimDrawDispatch(module),
              "FilterReceiveNetBufferLists", [&] {
                  g_simDriver.characteristics.ReceiveNetBufferListsHandler(
                      module->context, head, 0, uint32_t(chain->nbls.size()), receiveFlags);
              });
    if ((receiveFlags & NDIS_RECEIVE_FLAGS_RESOURCES) != 0) {
        // The miniport owns these again now; the filter's links are gone with the call.
        for (SimNblBox* box : chain->nbls) {
            SimNblComesHome(box, SimOwner::Miniport, "came back from a RESOURCES indication");
        }
    }
    CheckRefusedWhileNotRunning(module, chain, false);
}

size_t SimNdis6CompleteSends(SimModule* module, size_t most, uint32_t flags) {
    size_t count;
    NET_BUFFER_LIST* head;
    {
        std::lock_guard<std::mutex> hold(module->lock);
        head = Regroup(module, &module->sendsAtMiniport, most, &count);
    }
    if (head != nullptr) {
        ReadAgainBeforeGivingBack(head);
        CompleteChain(module, head, flags);
    }
    return count;
}

size_t SimNdis6ReturnReceives(SimModule* module, size_t most, uint32_t flags) {
    size_t count;
    NET_BUFFER_LIST* head;
    {
        std::lock_guard<std::mutex> hold(module->lock);
        head = Regroup(module, &module->receivesAtProtocol, most, &count);
    }
    if (head != nullptr) {
        ReadAgainBeforeGivingBack(head);
        ReturnChain(module, head, flags);
    }
    return count;
}

std::vector<std::vector<uint8_t>> SimNdis6TakeTransmitted(SimModule* module) {
    std::lock_guard<std::mutex> hold(module->lock);
    return std::move(module->transmitted);
}

std::vector<std::vector<uint8_t>> SimNdis6TakeIndicated(SimModule* module) {
    std::lock_guard<std::mutex> hold(module->lock);
    return std::move(module->indicated);
}

size_t SimNdis6Outstanding(SimModule* module) {
    return size_t(module->outstanding.load());
}

void SimNdis6CancelSends(SimModule* module, void* cancelId) {
    SimCallAt(SimDrawDispatch(module), "FilterCancelSendNetBufferLists", [&] {
        g_simDriver.characteristics.CancelSendNetBufferListsHandler(module->context, cancelId);
    });
}

std::vector<void*> SimNdis6CancelledSends(SimModule* module) {
    std::lock_guard<std::mutex> hold(module->lock);
    return module->cancelledSends;
}

extern "C" {

void NdisFSendNetBufferLists(NDIS_HANDLE NdisFilterHandle, NET_BUFFER_LIST* NetBufferLists,
                             NDIS_PORT_NUMBER, uint32_t SendFlags) {
    SimModule* module = SimModuleOf(NdisFilterHandle, "NdisFSendNetBufferLists: unknown module");
    SimCheckCallerIrql(SendFlags, "NdisFSendNetBufferLists at an IRQL its flags deny");
    SimCheckNoLockHeld();
    if (module == nullptr) {
        return;
    }
    bool atOnce;
    {
        std::lock_guard<std::mutex> hold(module->lock);
        std::vector<SimNblBox*> boxes =
            TakeDelivery(module, NetBufferLists, SimOwner::Protocol, &module->transmitted);
        atOnce = module->options.completeAtOnce;
        if (!atOnce) {
            module->sendsAtMiniport.insert(module->sendsAtMiniport.end(), boxes.begin(),
                                           boxes.end());
        }
    }
    if (atOnce) {
        ReadAgainBeforeGivingBack(NetBufferLists);
        // The miniport completes inside its send handler, at the same IRQL.
        g_simDriver.characteristics.SendNetBufferListsCompleteHandler(
            module->context, NetBufferLists, SendFlags & NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL);
    }
}

void NdisFSendNetBufferListsComplete(NDIS_HANDLE NdisFilterHandle, NET_BUFFER_LIST* NetBufferLists,
                                     uint32_t SendCompleteFlags) {
    SimModuleOf(NdisFilterHandle, "NdisFSendNetBufferListsComplete: unknown module");
    SimCheckCallerIrql(SendCompleteFlags,
                       "NdisFSendNetBufferListsComplete at an IRQL its flags deny");
    SimCheckNoLockHeld();
    ComeHome(NetBufferLists, SimOwner::Protocol, "came back to the protocol");
}

void NdisFIndicateReceiveNetBufferLists(NDIS_HANDLE NdisFilterHandle,
                                        NET_BUFFER_LIST* NetBufferLists, NDIS_PORT_NUMBER,
                                        uint32_t NumberOfNetBufferLists, uint32_t ReceiveFlags) {
    SimModule* module = SimModuleOf(NdisFilterHandle, "NdisFIndicateReceive: unknown module");
    SimCheckCallerIrql(ReceiveFlags,
                       "NdisFIndicateReceiveNetBufferLists at an IRQL its flags deny");
    SimCheckNoLockHeld();
    if (module == nullptr) {
        return;
    }
    bool returnNow;
    {
        std::lock_guard<std::mutex> hold(module->lock);
        std::vector<SimNblBox*> boxes =
            TakeDelivery(module, NetBufferLists, SimOwner::Miniport, &module->indicated);
        if (boxes.size() != NumberOfNetBufferLists) {
            SimReportMisuse("NdisFIndicateReceiveNetBufferLists: NumberOfNetBufferLists is wrong");
        }
        // With RESOURCES the protocol must copy what it needs and keep nothing.
        bool keep = (ReceiveFlags & NDIS_RECEIVE_FLAGS_RESOURCES) == 0;
        returnNow = keep && module->options.returnAtOnce;
        if (keep && !returnNow) {
            module->receivesAtProtocol.insert(module->receivesAtProtocol.end(), boxes.begin(),
                                              boxes.end());
        }
    }
    if (returnNow) {
        ReadAgainBeforeGivingBack(NetBufferLists);
        g_simDriver.characteristics.ReturnNetBufferListsHandler(
            module->context, NetBufferLists, ReceiveFlags & NDIS_RETURN_FLAGS_DISPATCH_LEVEL);
    }
}

void NdisFReturnNetBufferLists(NDIS_HANDLE NdisFilterHandle, NET_BUFFER_LIST* NetBufferLists,
                               uint32_t ReturnFlags) {
    SimModuleOf(NdisFilterHandle, "NdisFReturnNetBufferLists: unknown module");
    SimCheckCallerIrql(ReturnFlags, "NdisFReturnNetBufferLists at an IRQL its flags deny");
    SimCheckNoLockHeld();
    ComeHome(NetBufferLists, SimOwner::Miniport, "came back to the miniport");
}

void NdisFCancelSendNetBufferLists(NDIS_HANDLE NdisFilterHandle, void* CancelId) {
    SimModule* module = SimModuleOf(NdisFilterHandle, "NdisFCancelSendNetBufferLists: unknown");
    SimCheckCallerIrql(0, "NdisFCancelSendNetBufferLists above DISPATCH_LEVEL");
    if (module != nullptr) {
        std::lock_guard<std::mutex> hold(module->lock);
        module->cancelledSends.push_back(CancelId);
    }
}

} // extern "C"
