// The data path: every NET_BUFFER of every chain is copied for the engine; a frame the
// engine rewrote travels in a replacement NET_BUFFER that stands where the frame's own one
// stood, and the own one is put back when the NBL comes back. Nothing is ever dropped,
// delayed or failed here.
#include "../engine/inspect.h"
#include "filter.h"

namespace {

// What differs between the send and the receive walk.
struct ChainDirection {
    bool (*inspect)(uint8_t* frame, uint32_t length, bool atDispatch);
    bool inbound;
    EngineLock FilterModule::*copyLock;
    NDIS_HANDLE FilterModule::*pool;
    KeyedTable** map;
};

const ChainDirection SendDirection = {InspectOutbound, false, &FilterModule::SendCopyLock,
                                      &FilterModule::SendNetBufferPool, &SendBufferMap};
const ChainDirection ReceiveDirection = {InspectInbound, true, &FilterModule::ReceiveCopyLock,
                                         &FilterModule::ReceiveNetBufferPool, &ReceiveBufferMap};

// The map key of a replacement: its address widened with sign extension.
TableKey MapKey(const NET_BUFFER* netBuffer) {
    return TableKey{uint64_t(int64_t(intptr_t(netBuffer))), 0};
}

void LinkInPlace(NET_BUFFER_LIST* nbl, NET_BUFFER* previous, NET_BUFFER* netBuffer) {
    if (previous == nullptr) {
        nbl->FirstNetBuffer = netBuffer;
    } else {
        previous->Next = netBuffer;
    }
}

// The rewritten frame cannot travel: its own bytes go instead. For a received request
// the server will then carry it out, so the engine must forget the denial it recorded
// for it. A sent frame needs nothing: it is a response whose denial mark the engine
// already consumed, and the client simply sees the server's own answer.
void RewriteLost(const ChainDirection& direction, const uint8_t* frame, uint32_t length,
                 bool atDispatch) {
    if (direction.inbound) {
        ForgetInboundDenials(frame, length, atDispatch);
    }
}

// Puts a replacement holding the rewritten `frame` where `netBuffer` stands; returns the
// NET_BUFFER now in that place.
NET_BUFFER* Substitute(FilterModule* module, const ChainDirection& direction, NET_BUFFER_LIST* nbl,
                       NET_BUFFER* previous, NET_BUFFER* netBuffer, const uint8_t* frame,
                       uint32_t length, bool atDispatch) {
    EngineLock* copyLock = &(module->*direction.copyLock);
    EngineLockAcquire(copyLock, atDispatch);
    NET_BUFFER* replacement =
        BuildReplacementNetBuffer(module->FilterHandle, module->*direction.pool, frame, length);
    EngineLockRelease(copyLock, atDispatch);
    if (replacement == nullptr) {
        RewriteLost(direction, frame, length, atDispatch);
        return netBuffer;
    }
    // Recorded before it travels: a replacement without an entry could never be taken
    // out again, so one whose entry cannot be stored is freed at once.
    if (!KeyedTableInsert(*direction.map, atDispatch, MapKey(replacement), &netBuffer,
                          sizeof netBuffer)) {
        EngineLockAcquire(copyLock, atDispatch);
        FreeReplacementNetBuffer(replacement);
        EngineLockRelease(copyLock, atDispatch);
        RewriteLost(direction, frame, length, atDispatch);
        return netBuffer;
    }
    replacement->Next = netBuffer->Next;
    LinkInPlace(nbl, previous, replacement);
    return replacement;
}

void InspectChain(FilterModule* module, NET_BUFFER_LIST* chain, const ChainDirection& direction,
                  bool atDispatch) {
    for (NET_BUFFER_LIST* nbl = chain; nbl != nullptr; nbl = nbl->Next) {
        NET_BUFFER* previous = nullptr;
        for (NET_BUFFER* netBuffer = nbl->FirstNetBuffer; netBuffer != nullptr;) {
            uint32_t length = 0;
            uint8_t* frame = FlattenNetBuffer(netBuffer, &length);
            NET_BUFFER* inPlace = netBuffer;
            if (frame != nullptr) {
                if (direction.inspect(frame, length, atDispatch)) {
                    inPlace = Substitute(module, direction, nbl, previous, netBuffer, frame, length,
                                         atDispatch);
                }
                KmFreePool(frame, FrameCopyTag);
            }
            previous = inPlace;
            netBuffer = inPlace->Next;
        }
    }
}

void RestoreChain(FilterModule* module, NET_BUFFER_LIST* chain, const ChainDirection& direction,
                  bool atDispatch) {
    for (NET_BUFFER_LIST* nbl = chain; nbl != nullptr; nbl = nbl->Next) {
        NET_BUFFER* previous = nullptr;
        for (NET_BUFFER* netBuffer = nbl->FirstNetBuffer; netBuffer != nullptr;) {
            NET_BUFFER* replaced = nullptr;
            uint32_t length = sizeof replaced;
            if (KeyedTableLookup(*direction.map, atDispatch, MapKey(netBuffer), &replaced,
                                 &length)) {
                KeyedTableDelete(*direction.map, atDispatch, MapKey(netBuffer));
            }
            if (replaced != nullptr) {
                replaced->Next = netBuffer->Next;
                LinkInPlace(nbl, previous, replaced);
                EngineLock* copyLock = &(module->*direction.copyLock);
                EngineLockAcquire(copyLock, atDispatch);
                FreeReplacementNetBuffer(netBuffer);
                EngineLockRelease(copyLock, atDispatch);
                netBuffer = replaced;
            }
            previous = netBuffer;
            netBuffer = netBuffer->Next;
        }
    }
}

// The data path runs only on a running module: NDIS may still call it while the module
// pauses or is paused, and then nothing may be passed on.
bool ModuleRunning(FilterModule* module, bool atDispatch) {
    EngineLockAcquire(&module->ModuleLock, atDispatch);
    bool running = module->State == FilterRunning;
    EngineLockRelease(&module->ModuleLock, atDispatch);
    return running;
}

} // namespace

void NDIS_API FilterSendNetBufferLists(NDIS_HANDLE FilterModuleContext,
                                       NET_BUFFER_LIST* NetBufferLists, NDIS_PORT_NUMBER PortNumber,
                                       uint32_t SendFlags) {
    auto* module = static_cast<FilterModule*>(FilterModuleContext);
    bool atDispatch = (SendFlags & NDIS_SEND_FLAGS_DISPATCH_LEVEL) != 0;
    if (!ModuleRunning(module, atDispatch)) {
        for (NET_BUFFER_LIST* nbl = NetBufferLists; nbl != nullptr; nbl = nbl->Next) {
            nbl->Status = NDIS_STATUS_PAUSED;
        }
        NdisFSendNetBufferListsComplete(module->FilterHandle, NetBufferLists,
                                        atDispatch ? NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL : 0);
        return;
    }
    InspectChain(module, NetBufferLists, SendDirection, atDispatch);
    NdisFSendNetBufferLists(module->FilterHandle, NetBufferLists, PortNumber, SendFlags);
}

void NDIS_API FilterSendNetBufferListsComplete(NDIS_HANDLE FilterModuleContext,
                                               NET_BUFFER_LIST* NetBufferLists,
                                               uint32_t SendCompleteFlags) {
    auto* module = static_cast<FilterModule*>(FilterModuleContext);
    bool atDispatch = (SendCompleteFlags & NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL) != 0;
    RestoreChain(module, NetBufferLists, SendDirection, atDispatch);
    NdisFSendNetBufferListsComplete(module->FilterHandle, NetBufferLists, SendCompleteFlags);
}

void NDIS_API FilterCancelSendNetBufferLists(NDIS_HANDLE FilterModuleContext, void* CancelId) {
    NdisFCancelSendNetBufferLists(static_cast<FilterModule*>(FilterModuleContext)->FilterHandle,
                                  CancelId);
}

void NDIS_API FilterReceiveNetBufferLists(NDIS_HANDLE FilterModuleContext,
                                          NET_BUFFER_LIST* NetBufferLists,
                                          NDIS_PORT_NUMBER PortNumber,
                                          uint32_t NumberOfNetBufferLists, uint32_t ReceiveFlags) {
    auto* module = static_cast<FilterModule*>(FilterModuleContext);
    bool atDispatch = (ReceiveFlags & NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL) != 0;
    if (!ModuleRunning(module, atDispatch)) {
        // Not passed up. With NDIS_RECEIVE_FLAGS_RESOURCES they are the miniport's again
        // when this returns; otherwise they go back to it now.
        if ((ReceiveFlags & NDIS_RECEIVE_FLAGS_RESOURCES) == 0) {
            NdisFReturnNetBufferLists(module->FilterHandle, NetBufferLists,
                                      atDispatch ? NDIS_RETURN_FLAGS_DISPATCH_LEVEL : 0);
        }
        return;
    }
    InspectChain(module, NetBufferLists, ReceiveDirection, atDispatch);
    NdisFIndicateReceiveNetBufferLists(module->FilterHandle, NetBufferLists, PortNumber,
                                       NumberOfNetBufferLists, ReceiveFlags);
    // With NDIS_RECEIVE_FLAGS_RESOURCES the miniport owns the NBLs again as soon as this
    // handler returns, and they never come back through FilterReturnNetBufferLists: put
    // its own NET_BUFFERs back now.
    if ((ReceiveFlags & NDIS_RECEIVE_FLAGS_RESOURCES) != 0) {
        RestoreChain(module, NetBufferLists, ReceiveDirection, atDispatch);
    }
}

void NDIS_API FilterReturnNetBufferLists(NDIS_HANDLE FilterModuleContext,
                                         NET_BUFFER_LIST* NetBufferLists, uint32_t ReturnFlags) {
    auto* module = static_cast<FilterModule*>(FilterModuleContext);
    bool atDispatch = (ReturnFlags & NDIS_RETURN_FLAGS_DISPATCH_LEVEL) != 0;
    RestoreChain(module, NetBufferLists, ReceiveDirection, atDispatch);
    NdisFReturnNetBufferLists(module->FilterHandle, NetBufferLists, ReturnFlags);
}
