// Sends from the protocols above: each packet is re-wrapped in a descriptor of the send
// pool, inspected on the way, and passed down; its completion comes back through
// ProtocolSendComplete, or at once when NdisSend did not pend.
#include "im.h"

namespace {

void ChangeOutstandingSends(ImAdapter* adapter, bool up, bool atDispatch) {
    EngineLockAcquire(&adapter->Lock, atDispatch);
    adapter->OutstandingSends += up ? 1 : uint32_t(-1);
    EngineLockRelease(&adapter->Lock, atDispatch);
}

// Both edges at D0: the send is counted and may go down.
bool AdmitSend(ImAdapter* adapter, bool atDispatch) {
    if (ImPowerState(&adapter->MiniportPowerState) > NdisDeviceStateD0) {
        return false;
    }
    EngineLockAcquire(&adapter->Lock, atDispatch);
    bool on = adapter->ProtocolPowerState <= NdisDeviceStateD0;
    if (on) {
        adapter->OutstandingSends += 1;
    }
    EngineLockRelease(&adapter->Lock, atDispatch);
    return on;
}

void CopySendInfo(NDIS_PACKET* packet, NDIS_PACKET* descriptor) {
    KmCopyMemory(NdisOobDataFromPacket(descriptor), NdisOobDataFromPacket(packet),
                 sizeof(NDIS_PACKET_OOB_DATA));
    NdisIMCopySendPerPacketInfo(descriptor, packet);
    NDIS_PACKET_OOB_DATA* oob = NdisOobDataFromPacket(packet);
    bool hasInfo = (packet->Private.NdisPacketFlags & fPACKET_ALLOCATED_BY_NDIS) &&
                   (packet->Private.NdisPacketFlags & fPACKET_CONTAINS_MEDIA_SPECIFIC_INFO) &&
                   (oob->MediaSpecificInformation != nullptr || oob->SizeMediaSpecificInfo != 0);
    if (hasInfo && (descriptor->Private.NdisPacketFlags & fPACKET_ALLOCATED_BY_NDIS)) {
        descriptor->Private.NdisPacketFlags |= fPACKET_CONTAINS_MEDIA_SPECIFIC_INFO;
        NDIS_PACKET_OOB_DATA* to = NdisOobDataFromPacket(descriptor);
        to->MediaSpecificInformation = oob->MediaSpecificInformation;
        to->SizeMediaSpecificInfo = oob->SizeMediaSpecificInfo;
    }
}

// Sends one packet down; returns the status to complete it with, or PENDING.
NDIS_STATUS SendOne(ImAdapter* adapter, NDIS_PACKET* packet) {
    NDIS_STATUS status;
    NDIS_PACKET* descriptor;
    NdisAllocatePacket(&status, &descriptor, adapter->SendPacketPool);
    if (status != NDIS_STATUS_SUCCESS) {
        return status;
    }
    ImDescriptorReserved* reserved = ImSendReserved(descriptor);
    reserved->Wrapped = packet;
    reserved->ReplacementMarker = 0;
    descriptor->Private.Flags |= packet->Private.Flags;
    if (FlattenPacket(adapter, packet, descriptor, ImDirection::Send)) {
        reserved->ReplacementMarker = ImReplacementMarker;
    } else {
        descriptor->Private.Head = packet->Private.Head;
        descriptor->Private.Tail = packet->Private.Tail;
        descriptor->Private.ValidCounts = 0;
    }
    CopySendInfo(packet, descriptor);
    NdisSend(&status, adapter->BindingHandle, descriptor);
    if (status == NDIS_STATUS_PENDING) {
        return status;
    }
    NdisIMCopySendCompletePerPacketInfo(packet, descriptor);
    ImFreeDescriptor(descriptor, reserved, false);
    return status;
}

} // namespace

void MPSendPackets(NDIS_HANDLE context, NDIS_PACKET** packets, uint32_t count) {
    auto* adapter = static_cast<ImAdapter*>(context);
    bool atDispatch = ImAtDispatch();
    for (uint32_t i = 0; i < count; ++i) {
        NDIS_PACKET* packet = packets[i];
        if (!AdmitSend(adapter, atDispatch)) {
            NdisMSendComplete(adapter->MiniportHandle, packet, NDIS_STATUS_FAILURE);
            continue;
        }
        NDIS_STATUS status = SendOne(adapter, packet);
        if (status == NDIS_STATUS_PENDING) {
            continue;
        }
        ChangeOutstandingSends(adapter, false, atDispatch);
        NdisMSendComplete(adapter->MiniportHandle, packet, status);
    }
}

void PtSendComplete(NDIS_HANDLE context, NDIS_PACKET* descriptor, NDIS_STATUS status) {
    auto* adapter = static_cast<ImAdapter*>(context);
    ImDescriptorReserved* reserved = ImSendReserved(descriptor);
    NDIS_PACKET* packet = reserved->Wrapped;
    NdisIMCopySendCompletePerPacketInfo(packet, descriptor);
    ImFreeDescriptor(descriptor, reserved, true);
    NdisMSendComplete(adapter->MiniportHandle, packet, status);
    ChangeOutstandingSends(adapter, false, ImAtDispatch());
}

void MPCancelSendPackets(NDIS_HANDLE context, void* cancelId) {
    NdisCancelSendPackets(static_cast<ImAdapter*>(context)->BindingHandle, cancelId);
}
