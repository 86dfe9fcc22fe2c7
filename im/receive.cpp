// Receives from the lower adapter: packets are re-wrapped in descriptors of the receive
// pool and inspected; lookahead indications and transferred data go up uninspected.
#include "im.h"

namespace {

// A receive handler counts itself in flight before it reads the miniport handle; the halt
// clears the handle before it waits for the count to drop to 0 (both sequentially
// consistent, so either the handler sees null or the halt sees the handler).
void EnterReceive(ImAdapter* adapter) {
    __atomic_add_fetch(&adapter->ReceivesInFlight, 1, __ATOMIC_SEQ_CST);
}
void LeaveReceive(ImAdapter* adapter) {
    __atomic_sub_fetch(&adapter->ReceivesInFlight, 1, __ATOMIC_SEQ_CST);
}

// The miniport handle, read once: a halt may clear it at any moment, so every use in one
// handler goes through the value read here. Null when halted or powered down.
NDIS_HANDLE MiniportIfOn(ImAdapter* adapter) {
    NDIS_HANDLE miniport = __atomic_load_n(&adapter->MiniportHandle, __ATOMIC_SEQ_CST);
    if (ImPowerState(&adapter->MiniportPowerState) != NdisDeviceStateD0) {
        return nullptr;
    }
    return miniport;
}

bool IsEthernetLike(NDIS_MEDIUM medium) {
    return medium == NdisMedium802_3 || medium == NdisMediumWan;
}

// Wraps `packet` in `descriptor`: the rewritten copy or the packet's own chain.
void Wrap(ImAdapter* adapter, NDIS_PACKET* packet, NDIS_PACKET* descriptor) {
    ImDescriptorReserved* reserved = ImReceiveReserved(descriptor);
    reserved->Wrapped = packet;
    reserved->ReplacementMarker = 0;
    if (FlattenPacket(adapter, packet, descriptor, ImDirection::Receive)) {
        reserved->ReplacementMarker = ImReplacementMarker;
    } else {
        descriptor->Private.Head = packet->Private.Head;
        descriptor->Private.Tail = packet->Private.Tail;
        descriptor->Private.ValidCounts = 0;
    }
}

int32_t ReceivePacket(ImAdapter* adapter, NDIS_PACKET* packet) {
    NDIS_HANDLE miniport = MiniportIfOn(adapter);
    if (miniport == nullptr) {
        return 0;
    }
    NDIS_STATUS status;
    NDIS_PACKET* descriptor;
    NdisDprAllocatePacket(&status, &descriptor, adapter->ReceivePacketPool);
    if (status != NDIS_STATUS_SUCCESS) {
        return 0;
    }
    Wrap(adapter, packet, descriptor);
    NdisPacketExtensionFromPacket(descriptor)->NdisPacketInfo[OriginalPacketInfo] =
        NdisPacketExtensionFromPacket(packet)->NdisPacketInfo[OriginalPacketInfo];
    descriptor->Private.Flags |= packet->Private.Flags;
    NDIS_STATUS packetStatus = NdisOobDataFromPacket(packet)->Status;
    NdisOobDataFromPacket(descriptor)->Status = packetStatus;
    NdisOobDataFromPacket(descriptor)->HeaderSize = NdisOobDataFromPacket(packet)->HeaderSize;
    NdisMIndicateReceivePacket(miniport, &descriptor, 1);
    if (packetStatus == NDIS_STATUS_RESOURCES) {
        ImFreeDescriptor(descriptor, ImReceiveReserved(descriptor), true);
        return 0;
    }
    return 1; // the packet stays with us until MiniportReturnPacket
}

NDIS_STATUS Receive(ImAdapter* adapter, NDIS_HANDLE macReceiveContext, void* header,
                    uint32_t headerSize, void* lookahead, uint32_t lookaheadSize,
                    uint32_t packetSize) {
    NDIS_HANDLE miniport = MiniportIfOn(adapter);
    if (miniport == nullptr) {
        return NDIS_STATUS_FAILURE;
    }
    NDIS_STATUS status = NDIS_STATUS_SUCCESS;
    NDIS_PACKET* packet = NdisGetReceivedPacket(adapter->BindingHandle, macReceiveContext);
    if (packet != nullptr) {
        NDIS_PACKET* descriptor;
        NdisDprAllocatePacket(&status, &descriptor, adapter->ReceivePacketPool);
        if (status == NDIS_STATUS_SUCCESS) {
            Wrap(adapter, packet, descriptor);
            NdisPacketExtensionFromPacket(descriptor)->NdisPacketInfo[OriginalPacketInfo] =
                NdisPacketExtensionFromPacket(packet)->NdisPacketInfo[OriginalPacketInfo];
            NdisOobDataFromPacket(descriptor)->HeaderSize = headerSize;
            descriptor->Private.Flags |= packet->Private.Flags;
            // The protocols above must copy the data during the indication.
            NdisOobDataFromPacket(descriptor)->Status = NDIS_STATUS_RESOURCES;
            NdisMIndicateReceivePacket(miniport, &descriptor, 1);
            ImFreeDescriptor(descriptor, ImReceiveReserved(descriptor), true);
            return NDIS_STATUS_SUCCESS;
        }
    }
    uint32_t processor = KmGetCurrentProcessorNumber();
    if (processor < adapter->ProcessorCount) {
        adapter->ReceiveCompletePending[processor] = 1;
    }
    if (IsEthernetLike(adapter->Medium)) {
        NdisMEthIndicateReceive(miniport, macReceiveContext, header, headerSize, lookahead,
                                lookaheadSize, packetSize);
    } else if (adapter->Medium == NdisMedium802_5) {
        NdisMTrIndicateReceive(miniport, macReceiveContext, header, headerSize, lookahead,
                               lookaheadSize, packetSize);
    }
    return status;
}

void ReceiveComplete(ImAdapter* adapter) {
    uint32_t processor = KmGetCurrentProcessorNumber();
    if (processor >= adapter->ProcessorCount) {
        return;
    }
    NDIS_HANDLE miniport = MiniportIfOn(adapter);
    if (miniport != nullptr && adapter->ReceiveCompletePending[processor]) {
        if (IsEthernetLike(adapter->Medium)) {
            NdisMEthIndicateReceiveComplete(miniport);
        } else if (adapter->Medium == NdisMedium802_5) {
            NdisMTrIndicateReceiveComplete(miniport);
        }
    }
    adapter->ReceiveCompletePending[processor] = 0;
}

} // namespace

int32_t PtReceivePacket(NDIS_HANDLE context, NDIS_PACKET* packet) {
    auto* adapter = static_cast<ImAdapter*>(context);
    EnterReceive(adapter);
    int32_t kept = ReceivePacket(adapter, packet);
    LeaveReceive(adapter);
    return kept;
}

void MPReturnPacket(NDIS_HANDLE, NDIS_PACKET* descriptor) {
    ImDescriptorReserved* reserved = ImReceiveReserved(descriptor);
    NDIS_PACKET* packet = reserved->Wrapped;
    ImFreeDescriptor(descriptor, reserved, false);
    NdisReturnPackets(&packet, 1);
}

NDIS_STATUS PtReceive(NDIS_HANDLE context, NDIS_HANDLE macReceiveContext, void* header,
                      uint32_t headerSize, void* lookahead, uint32_t lookaheadSize,
                      uint32_t packetSize) {
    auto* adapter = static_cast<ImAdapter*>(context);
    EnterReceive(adapter);
    NDIS_STATUS status = Receive(adapter, macReceiveContext, header, headerSize, lookahead,
                                 lookaheadSize, packetSize);
    LeaveReceive(adapter);
    return status;
}

void PtReceiveComplete(NDIS_HANDLE context) {
    auto* adapter = static_cast<ImAdapter*>(context);
    EnterReceive(adapter);
    ReceiveComplete(adapter);
    LeaveReceive(adapter);
}

NDIS_STATUS MPTransferData(NDIS_PACKET* packet, uint32_t* bytesTransferred, NDIS_HANDLE context,
                           NDIS_HANDLE receiveContext, uint32_t byteOffset,
                           uint32_t bytesToTransfer) {
    auto* adapter = static_cast<ImAdapter*>(context);
    if (!ImBothEdgesOn(adapter)) {
        return NDIS_STATUS_FAILURE;
    }
    NDIS_STATUS status;
    NdisTransferData(&status, adapter->BindingHandle, receiveContext, byteOffset, bytesToTransfer,
                     packet, bytesTransferred);
    return status;
}

void PtTransferDataComplete(NDIS_HANDLE context, NDIS_PACKET* packet, NDIS_STATUS status,
                            uint32_t bytesTransferred) {
    auto* adapter = static_cast<ImAdapter*>(context);
    NDIS_HANDLE miniport = __atomic_load_n(&adapter->MiniportHandle, __ATOMIC_ACQUIRE);
    if (miniport != nullptr) {
        NdisMTransferDataComplete(miniport, packet, status, bytesTransferred);
    }
}
