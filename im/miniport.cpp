// The virtual miniport's life: MiniportInitialize puts the binding's record on the list and
// brings up the control device with the first miniport; MiniportHalt undoes both, closes
// the binding and drops the references.
#include "im.h"

namespace {

const uint32_t MiniportAttributes = NDIS_ATTRIBUTE_IGNORE_PACKET_TIMEOUT |
                                    NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT |
                                    NDIS_ATTRIBUTE_NO_HALT_ON_SUSPEND |
                                    NDIS_ATTRIBUTE_INTERMEDIATE_DRIVER | NDIS_ATTRIBUTE_DESERIALIZE;
static_assert(MiniportAttributes == 0x73, "attribute flags");
const uint32_t HaltPollMicroseconds = 50;

void RemoveFromList(ImAdapter* adapter) {
    for (ImAdapter** link = &g_Im.AdapterList; *link != nullptr; link = &(*link)->Next) {
        if (*link == adapter) {
            *link = adapter->Next;
            adapter->Next = nullptr;
            return;
        }
    }
}

} // namespace

NDIS_STATUS MPInitialize(NDIS_STATUS* openErrorStatus, uint32_t* selectedMediumIndex,
                         NDIS_MEDIUM* mediumArray, uint32_t mediumArraySize,
                         NDIS_HANDLE miniportAdapterHandle, NDIS_HANDLE) {
    auto* adapter = static_cast<ImAdapter*>(NdisIMGetDeviceContext(miniportAdapterHandle));
    adapter->MiniportHalted = 0;
    // Over a WAN binding the virtual miniport presents Ethernet.
    NDIS_MEDIUM wanted = adapter->Medium == NdisMediumWan ? NdisMedium802_3 : adapter->Medium;
    uint32_t index = 0;
    while (index < mediumArraySize && mediumArray[index] != wanted) {
        ++index;
    }
    NDIS_STATUS status = NDIS_STATUS_UNSUPPORTED_MEDIA;
    if (index < mediumArraySize) {
        status = NDIS_STATUS_SUCCESS;
        *selectedMediumIndex = index;
        NdisMSetAttributesEx(miniportAdapterHandle, adapter, 0, MiniportAttributes,
                             NdisInterfaceInternal);
        adapter->MiniportHandle = miniportAdapterHandle;
        adapter->LastIndicatedStatus = NDIS_STATUS_MEDIA_CONNECT;
        adapter->MiniportPowerState = NdisDeviceStateD0;
        adapter->ProtocolPowerState = NdisDeviceStateD0;

        EngineLockAcquire(&g_Im.GlobalLock, false);
        adapter->Next = g_Im.AdapterList;
        g_Im.AdapterList = adapter;
        EngineLockRelease(&g_Im.GlobalLock, false);

        ImRegisterControlDevice();
    }
    adapter->MiniportInitPending = 0;
    NdisSetEvent(&adapter->MiniportInitEvent);
    if (status == NDIS_STATUS_SUCCESS) {
        ImAdapterReference(adapter); // the initialised miniport's
    }
    *openErrorStatus = status;
    return status;
}

void MPHalt(NDIS_HANDLE context) {
    auto* adapter = static_cast<ImAdapter*>(context);
    __atomic_store_n(&adapter->MiniportHandle, nullptr, __ATOMIC_SEQ_CST);
    adapter->MiniportHalted = 1;
    // Receives that read the handle before it was cleared finish first.
    while (__atomic_load_n(&adapter->ReceivesInFlight, __ATOMIC_SEQ_CST) != 0) {
        NdisMSleep(HaltPollMicroseconds);
    }

    EngineLockAcquire(&g_Im.GlobalLock, false);
    RemoveFromList(adapter);
    EngineLockRelease(&g_Im.GlobalLock, false);

    ImDeregisterControlDevice();

    if (adapter->BindingHandle != nullptr) {
        NDIS_STATUS status;
        ImCloseBinding(adapter, &status);
        ImAdapterDereference(adapter);
    }
    ImAdapterDereference(adapter);
}

void MPPnPEventNotify(NDIS_HANDLE, uint32_t, void*, uint32_t) {}

void MPAdapterShutdown(void*) {}
