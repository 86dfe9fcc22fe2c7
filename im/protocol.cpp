// The protocol edge: binding to a lower adapter, unbinding, the open and close
// completions, and the reference count that keeps each ImAdapter alive.
#include "im.h"

namespace {

NDIS_MEDIUM g_mediumArray[] = {NdisMedium802_3, NdisMedium802_5, NdisMediumFddi, NdisMediumWan};
const uint32_t MediumCount = sizeof(g_mediumArray) / sizeof(g_mediumArray[0]);
const uint32_t PoolDescriptors = 255;
const uint32_t PoolOverflowDescriptors = 65280;
// Buffers are needed only for rewritten frames, one per descriptor at most.
const uint32_t BufferPoolDescriptors = 2 * (PoolDescriptors + PoolOverflowDescriptors);

uint32_t RecordSize(uint32_t nameBytes, uint32_t processors) {
    return sizeof(ImAdapter) + nameBytes + processors;
}

// Frees the pools and the record; the binding must be closed.
void FreeAdapter(ImAdapter* adapter) {
    if (adapter->ReceivePacketPool != nullptr) {
        NdisFreePacketPool(adapter->ReceivePacketPool);
    }
    if (adapter->SendPacketPool != nullptr) {
        NdisFreePacketPool(adapter->SendPacketPool);
    }
    if (adapter->BufferPool != nullptr) {
        NdisFreeBufferPool(adapter->BufferPool);
    }
    NdisFreeMemory(adapter, RecordSize(adapter->DeviceName.MaximumLength, adapter->ProcessorCount),
                   0);
}

// Reads the binding's parameters and allocates its record with both pools.
NDIS_STATUS CreateAdapter(NDIS_HANDLE configuration, ImAdapter** created) {
    NDIS_STATUS status;
    NDIS_CONFIGURATION_PARAMETER* value;
    if (g_Im.NdisVersion == 0) {
        NDIS_STRING name = NdisConstantString(u"NdisVersion");
        NdisReadConfiguration(&status, &value, configuration, &name, NdisParameterInteger);
        if (status != NDIS_STATUS_SUCCESS) {
            return status;
        }
        g_Im.NdisVersion = value->ParameterData.IntegerData;
    }
    NDIS_STRING name = NdisConstantString(u"UpperBindings");
    NdisReadConfiguration(&status, &value, configuration, &name, NdisParameterString);
    if (status != NDIS_STATUS_SUCCESS) {
        return status;
    }
    const NDIS_STRING& upper = value->ParameterData.StringData;
    int8_t processors = NdisSystemProcessorCount();
    uint32_t processorCount = processors > 0 ? uint32_t(processors) : 1;
    uint32_t size = RecordSize(upper.MaximumLength, processorCount);
    ImAdapter* adapter;
    if (NdisAllocateMemoryWithTag(reinterpret_cast<void**>(&adapter), size, ImAdapterPoolTag) !=
        NDIS_STATUS_SUCCESS) {
        return NDIS_STATUS_RESOURCES;
    }
    KmZeroMemory(adapter, size);
    adapter->DeviceName.Length = upper.Length;
    adapter->DeviceName.MaximumLength = upper.MaximumLength;
    adapter->DeviceName.Buffer = reinterpret_cast<decltype(upper.Buffer)>(adapter + 1);
    KmCopyMemory(adapter->DeviceName.Buffer, upper.Buffer,
                 upper.Length < upper.MaximumLength ? upper.Length : upper.MaximumLength);
    adapter->ProcessorCount = processorCount;
    adapter->ReceiveCompletePending = reinterpret_cast<uint8_t*>(adapter + 1) + upper.MaximumLength;
    NdisInitializeEvent(&adapter->CompletionEvent);
    EngineLockInit(&adapter->Lock);

    NdisAllocatePacketPoolEx(&status, &adapter->SendPacketPool, PoolDescriptors,
                             PoolOverflowDescriptors, ImSendReservedLength);
    if (status == NDIS_STATUS_SUCCESS) {
        NdisAllocatePacketPoolEx(&status, &adapter->ReceivePacketPool, PoolDescriptors,
                                 PoolOverflowDescriptors, ImReceiveReservedLength);
    }
    if (status == NDIS_STATUS_SUCCESS) {
        NdisAllocateBufferPool(&status, &adapter->BufferPool, BufferPoolDescriptors);
    }
    if (status != NDIS_STATUS_SUCCESS) {
        // Nothing refers to the record yet: release what was allocated.
        FreeAdapter(adapter);
        return status;
    }
    *created = adapter;
    return NDIS_STATUS_SUCCESS;
}

} // namespace

void ImAdapterReference(ImAdapter* adapter) {
    EngineLockAcquire(&adapter->Lock, false);
    adapter->ReferenceCount += 1;
    EngineLockRelease(&adapter->Lock, false);
}

bool ImAdapterDereference(ImAdapter* adapter) {
    EngineLockAcquire(&adapter->Lock, false);
    uint32_t left = --adapter->ReferenceCount;
    EngineLockRelease(&adapter->Lock, false);
    if (left != 0) {
        return false;
    }
    FreeAdapter(adapter);
    return true;
}

void ImCloseBinding(ImAdapter* adapter, NDIS_STATUS* status) {
    NdisResetEvent(&adapter->CompletionEvent);
    NdisCloseAdapter(status, adapter->BindingHandle);
    if (*status == NDIS_STATUS_PENDING) {
        NdisWaitEvent(&adapter->CompletionEvent, 0);
        *status = adapter->CompletionStatus;
    }
    adapter->BindingHandle = nullptr;
}

void PtBindAdapter(NDIS_STATUS* result, NDIS_HANDLE, NDIS_STRING* deviceName, void* systemSpecific1,
                   void*) {
    NDIS_STATUS status;
    NDIS_HANDLE configuration = nullptr;
    NdisOpenProtocolConfiguration(&status, &configuration,
                                  static_cast<NDIS_STRING*>(systemSpecific1));
    if (status != NDIS_STATUS_SUCCESS) {
        *result = status;
        return;
    }
    ImAdapter* adapter = nullptr;
    status = CreateAdapter(configuration, &adapter);
    bool halted = false;
    if (status == NDIS_STATUS_SUCCESS) {
        NDIS_STATUS openError;
        uint32_t selected = 0;
        NdisOpenAdapter(&status, &openError, &adapter->BindingHandle, &selected, g_mediumArray,
                        MediumCount, g_Im.ProtocolHandle, adapter, deviceName, 0, nullptr);
        if (status == NDIS_STATUS_PENDING) {
            NdisWaitEvent(&adapter->CompletionEvent, 0);
            status = adapter->CompletionStatus;
        }
        if (status != NDIS_STATUS_SUCCESS) {
            adapter->BindingHandle = nullptr;
            FreeAdapter(adapter); // never opened: no reference to drop
            adapter = nullptr;
        } else {
            ImAdapterReference(adapter); // the open binding's
            adapter->Medium = g_mediumArray[selected < MediumCount ? selected : 0];
            adapter->MiniportInitPending = 1;
            NdisInitializeEvent(&adapter->MiniportInitEvent);
            ImAdapterReference(adapter); // held across the initialisation call
            status =
                NdisIMInitializeDeviceInstanceEx(g_Im.DriverHandle, &adapter->DeviceName, adapter);
            if (status != NDIS_STATUS_SUCCESS) {
                halted = adapter->MiniportHalted != 0;
            }
            if (ImAdapterDereference(adapter)) {
                adapter = nullptr;
            }
        }
    }
    NdisCloseConfiguration(configuration);
    if (status != NDIS_STATUS_SUCCESS && !halted && adapter != nullptr &&
        adapter->BindingHandle != nullptr) {
        NDIS_STATUS closeStatus;
        ImCloseBinding(adapter, &closeStatus);
        ImAdapterDereference(adapter);
    }
    *result = status;
}

void PtUnbindAdapter(NDIS_STATUS* result, NDIS_HANDLE context, NDIS_HANDLE) {
    auto* adapter = static_cast<ImAdapter*>(context);
    EngineLockAcquire(&adapter->Lock, false);
    adapter->Unbinding = 1;
    if (adapter->RequestQueued) {
        adapter->RequestQueued = 0;
        EngineLockRelease(&adapter->Lock, false);
        PtRequestComplete(adapter, &adapter->Request, NDIS_STATUS_FAILURE);
    } else {
        EngineLockRelease(&adapter->Lock, false);
    }
    if (adapter->MiniportInitPending) {
        if (NdisIMCancelInitializeDeviceInstance(g_Im.DriverHandle, &adapter->DeviceName) ==
            NDIS_STATUS_SUCCESS) {
            adapter->MiniportInitPending = 0;
        } else {
            NdisWaitEvent(&adapter->MiniportInitEvent, 0);
        }
    }
    if (adapter->MiniportHandle != nullptr) {
        // MiniportHalt closes the binding and drops the references.
        NDIS_STATUS status = NdisIMDeInitializeDeviceInstance(adapter->MiniportHandle);
        *result = status == NDIS_STATUS_SUCCESS ? status : NDIS_STATUS_FAILURE;
        return;
    }
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    if (adapter->BindingHandle != nullptr) {
        ImCloseBinding(adapter, &status);
    }
    FreeAdapter(adapter);
    *result = status;
}

void PtOpenAdapterComplete(NDIS_HANDLE context, NDIS_STATUS status, NDIS_STATUS) {
    auto* adapter = static_cast<ImAdapter*>(context);
    adapter->CompletionStatus = status;
    NdisSetEvent(&adapter->CompletionEvent);
}

void PtCloseAdapterComplete(NDIS_HANDLE context, NDIS_STATUS status) {
    PtOpenAdapterComplete(context, status, status);
}

void PtResetComplete(NDIS_HANDLE, NDIS_STATUS) {}
