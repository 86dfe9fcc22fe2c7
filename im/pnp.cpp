// Status indications and PnP events from the lower adapter. While either edge is powered
// down only media connect and disconnect are kept, to be indicated on the return to D0;
// a power-down of the lower adapter lets outstanding sends and the request drain first.
#include "im.h"

namespace {

const uint32_t DrainPollMicroseconds = 2;

bool IsMediaStatus(NDIS_STATUS status) {
    return status == NDIS_STATUS_MEDIA_CONNECT || status == NDIS_STATUS_MEDIA_DISCONNECT;
}

NDIS_STATUS NotifyUp(ImAdapter* adapter, NET_PNP_EVENT* event) {
    NDIS_HANDLE miniport = adapter->MiniportHandle;
    return miniport != nullptr ? NdisIMNotifyPnPEvent(miniport, event) : NDIS_STATUS_SUCCESS;
}

// Reads the adapter's flag or counter under its lock.
uint32_t LockedRead(ImAdapter* adapter, const uint32_t* counter, const uint8_t* flag) {
    EngineLockAcquire(&adapter->Lock, false);
    uint32_t value = counter != nullptr ? *counter : *flag;
    EngineLockRelease(&adapter->Lock, false);
    return value;
}

NDIS_STATUS ProtocolSetPower(ImAdapter* adapter, NET_PNP_EVENT* event) {
    NDIS_DEVICE_POWER_STATE next = NdisDeviceStateUnspecified;
    if (event->Buffer != nullptr && event->BufferLength >= sizeof(uint32_t)) {
        KmCopyMemory(&next, event->Buffer, sizeof(next));
    }
    EngineLockAcquire(&adapter->Lock, false);
    NDIS_DEVICE_POWER_STATE previous = adapter->ProtocolPowerState;
    ImSetPowerState(&adapter->ProtocolPowerState, next);
    if (next <= NdisDeviceStateD0) {
        if (previous > NdisDeviceStateD0) {
            adapter->StandingBy = 0;
        }
        if (adapter->RequestQueued) {
            adapter->RequestQueued = 0;
            adapter->RequestOutstanding = 1;
            EngineLockRelease(&adapter->Lock, false);
            ImForwardRequest(adapter);
        } else {
            EngineLockRelease(&adapter->Lock, false);
        }
        return NotifyUp(adapter, event);
    }
    if (previous == NdisDeviceStateD0) {
        adapter->StandingBy = 1;
    }
    EngineLockRelease(&adapter->Lock, false);
    NDIS_STATUS status = NotifyUp(adapter, event);
    while (LockedRead(adapter, &adapter->OutstandingSends, nullptr) != 0) {
        NdisMSleep(DrainPollMicroseconds);
    }
    while (LockedRead(adapter, nullptr, &adapter->RequestOutstanding) != 0) {
        NdisMSleep(DrainPollMicroseconds);
    }
    EngineLockAcquire(&adapter->Lock, false);
    if (adapter->RequestQueued) {
        adapter->RequestQueued = 0;
        EngineLockRelease(&adapter->Lock, false);
        PtRequestComplete(adapter, &adapter->Request, NDIS_STATUS_FAILURE);
    } else {
        EngineLockRelease(&adapter->Lock, false);
    }
    return status;
}

} // namespace

void PtStatus(NDIS_HANDLE context, NDIS_STATUS generalStatus, void* buffer, uint32_t size) {
    auto* adapter = static_cast<ImAdapter*>(context);
    if (adapter->MiniportHandle == nullptr) {
        return;
    }
    bool atDispatch = ImAtDispatch();
    EngineLockAcquire(&adapter->Lock, atDispatch);
    bool on = ImBothEdgesOn(adapter);
    if (IsMediaStatus(generalStatus)) {
        if (on) {
            adapter->LastIndicatedStatus = generalStatus;
        } else {
            adapter->LatestUnindicatedStatus = generalStatus;
        }
    }
    EngineLockRelease(&adapter->Lock, atDispatch);
    if (on) {
        NdisMIndicateStatus(adapter->MiniportHandle, generalStatus, buffer, size);
    }
}

void PtStatusComplete(NDIS_HANDLE context) {
    auto* adapter = static_cast<ImAdapter*>(context);
    if (adapter->MiniportHandle != nullptr && ImBothEdgesOn(adapter)) {
        NdisMIndicateStatusComplete(adapter->MiniportHandle);
    }
}

NDIS_STATUS PtPnPEvent(NDIS_HANDLE context, NET_PNP_EVENT* event) {
    auto* adapter = static_cast<ImAdapter*>(context);
    if (event->NetEvent == NetEventSetPower && adapter != nullptr) {
        return ProtocolSetPower(adapter, event);
    }
    if (adapter == nullptr) {
        if (event->NetEvent == NetEventReconfigure) {
            NdisReEnumerateProtocolBindings(g_Im.ProtocolHandle);
        }
        return NDIS_STATUS_SUCCESS;
    }
    return NotifyUp(adapter, event);
}
