// Filter module lifecycle: attach and detach build and release the module record and its
// pools; pause and restart follow NDIS; status and PnP pass straight through.
#include "filter.h"

namespace {

void CopyName(NDIS_STRING* to, const NDIS_STRING* from, uint8_t** tail) {
    uint16_t length = from == nullptr ? 0 : from->Length;
    to->Length = length;
    to->MaximumLength = length;
    to->Buffer = reinterpret_cast<decltype(to->Buffer)>(*tail);
    if (length != 0) {
        KmCopyMemory(*tail, from->Buffer, length);
    }
    *tail += length;
}

uint16_t NameLength(const NDIS_STRING* name) {
    return name == nullptr ? 0 : name->Length;
}

// Frees whatever pools the record holds and clears their handles.
void FreeModulePools(FilterModule* module) {
    if (module->NblPool1 != nullptr) {
        NdisFreeNetBufferListPool(module->NblPool1);
        module->NblPool1 = nullptr;
    }
    if (module->NblPool2 != nullptr) {
        NdisFreeNetBufferListPool(module->NblPool2);
        module->NblPool2 = nullptr;
    }
    if (module->SendNetBufferPool != nullptr) {
        NdisFreeNetBufferPool(module->SendNetBufferPool);
        module->SendNetBufferPool = nullptr;
    }
    if (module->ReceiveNetBufferPool != nullptr) {
        NdisFreeNetBufferPool(module->ReceiveNetBufferPool);
        module->ReceiveNetBufferPool = nullptr;
    }
}

bool AllocateModulePools(FilterModule* module, NDIS_HANDLE filterHandle) {
    NET_BUFFER_LIST_POOL_PARAMETERS nblParameters;
    KmZeroMemory(&nblParameters, sizeof nblParameters);
    nblParameters.Header.Type = NDIS_OBJECT_TYPE_DEFAULT;
    nblParameters.Header.Revision = NET_BUFFER_LIST_POOL_PARAMETERS_REVISION_1;
    nblParameters.Header.Size = uint16_t(sizeof nblParameters);
    nblParameters.ProtocolId = NDIS_PROTOCOL_ID_DEFAULT;
    nblParameters.fAllocateNetBuffer = 0;
    nblParameters.ContextSize = 0;
    nblParameters.PoolTag = FilterNdisTag;
    nblParameters.DataSize = 0;

    NET_BUFFER_POOL_PARAMETERS nbParameters;
    KmZeroMemory(&nbParameters, sizeof nbParameters);
    nbParameters.Header.Type = NDIS_OBJECT_TYPE_DEFAULT;
    nbParameters.Header.Revision = NET_BUFFER_POOL_PARAMETERS_REVISION_1;
    nbParameters.Header.Size = uint16_t(sizeof nbParameters);
    nbParameters.PoolTag = FilterNdisTag;
    nbParameters.DataSize = 0;

    module->NblPool1 = NdisAllocateNetBufferListPool(filterHandle, &nblParameters);
    if (module->NblPool1 == nullptr) {
        return false;
    }
    module->NblPool2 = NdisAllocateNetBufferListPool(filterHandle, &nblParameters);
    if (module->NblPool2 == nullptr) {
        return false;
    }
    module->SendNetBufferPool = NdisAllocateNetBufferPool(filterHandle, &nbParameters);
    if (module->SendNetBufferPool == nullptr) {
        return false;
    }
    module->ReceiveNetBufferPool = NdisAllocateNetBufferPool(filterHandle, &nbParameters);
    return module->ReceiveNetBufferPool != nullptr;
}

} // namespace

NDIS_STATUS NDIS_API FilterAttach(NDIS_HANDLE NdisFilterHandle, NDIS_HANDLE FilterDriverContext,
                                  NDIS_FILTER_ATTACH_PARAMETERS* Parameters) {
    if (FilterDriverContext != static_cast<NDIS_HANDLE>(FilterDriverObject)) {
        return NDIS_STATUS_INVALID_PARAMETER;
    }
    if (Parameters->MiniportMediaType != NdisMedium802_3 &&
        Parameters->MiniportMediaType != NdisMediumWan) {
        return NDIS_STATUS_INVALID_PARAMETER;
    }
    uint32_t size = uint32_t(sizeof(FilterModule)) + NameLength(Parameters->FilterModuleGuidName) +
                    NameLength(Parameters->BaseMiniportInstanceName) +
                    NameLength(Parameters->BaseMiniportName);
    auto* module = static_cast<FilterModule*>(NdisAllocateMemoryWithTagPriority(
        NdisFilterHandle, size, FilterNdisTag, NdisLowPoolPriority));
    if (module == nullptr) {
        return NDIS_STATUS_RESOURCES;
    }
    KmZeroMemory(module, sizeof *module);
    uint8_t* tail = reinterpret_cast<uint8_t*>(module + 1);
    CopyName(&module->ModuleName, Parameters->FilterModuleGuidName, &tail);
    CopyName(&module->MiniportFriendlyName, Parameters->BaseMiniportInstanceName, &tail);
    CopyName(&module->MiniportName, Parameters->BaseMiniportName, &tail);
    module->MiniportIfIndex = Parameters->BaseMiniportIfIndex;
    module->FilterHandle = NdisFilterHandle;

    NDIS_FILTER_ATTRIBUTES attributes;
    KmZeroMemory(&attributes, sizeof attributes);
    attributes.Header.Type = NDIS_OBJECT_TYPE_FILTER_ATTRIBUTES;
    attributes.Header.Revision = NDIS_FILTER_ATTRIBUTES_REVISION_1;
    attributes.Header.Size = uint16_t(sizeof attributes);
    attributes.Flags = 0;
    NDIS_STATUS status = NdisFSetAttributes(NdisFilterHandle, module, &attributes);
    if (status != NDIS_STATUS_SUCCESS) {
        NdisFreeMemory(module, 0, 0);
        return status;
    }
    module->State = FilterPaused;
    if (!AllocateModulePools(module, NdisFilterHandle)) {
        FreeModulePools(module);
        NdisFreeMemory(module, 0, 0);
        return NDIS_STATUS_RESOURCES;
    }
    EngineLockInit(&module->ModuleLock);
    EngineLockInit(&module->SendCopyLock);
    EngineLockInit(&module->ReceiveCopyLock);

    EngineLockAcquire(&AttachedModuleListLock, false);
    module->Link.Flink = AttachedModuleList.Flink;
    module->Link.Blink = &AttachedModuleList;
    AttachedModuleList.Flink->Blink = &module->Link;
    AttachedModuleList.Flink = &module->Link;
    EngineLockRelease(&AttachedModuleListLock, false);
    return NDIS_STATUS_SUCCESS;
}

void NDIS_API FilterDetach(NDIS_HANDLE FilterModuleContext) {
    auto* module = static_cast<FilterModule*>(FilterModuleContext);
    EngineLockAcquire(&AttachedModuleListLock, false);
    module->Link.Blink->Flink = module->Link.Flink;
    module->Link.Flink->Blink = module->Link.Blink;
    EngineLockRelease(&AttachedModuleListLock, false);
    FreeModulePools(module);
    NdisFreeMemory(module, 0, 0);
}

NDIS_STATUS NDIS_API FilterPause(NDIS_HANDLE FilterModuleContext, NDIS_FILTER_PAUSE_PARAMETERS*) {
    auto* module = static_cast<FilterModule*>(FilterModuleContext);
    EngineLockAcquire(&module->ModuleLock, false);
    module->State = FilterPausing;
    EngineLockRelease(&module->ModuleLock, false);
    // Every NBL passed through belongs to the protocol or the miniport, so NDIS itself
    // waits for them; the module holds none of its own.
    EngineLockAcquire(&module->ModuleLock, false);
    module->State = FilterPaused;
    EngineLockRelease(&module->ModuleLock, false);
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS NDIS_API FilterRestart(NDIS_HANDLE FilterModuleContext,
                                   NDIS_FILTER_RESTART_PARAMETERS* Parameters) {
    auto* module = static_cast<FilterModule*>(FilterModuleContext);
    EngineLockAcquire(&module->ModuleLock, false);
    bool paused = module->State == FilterPaused;
    EngineLockRelease(&module->ModuleLock, false);
    if (!paused) {
        return NDIS_STATUS_FAILURE; // NDIS restarts only a paused module
    }
    NDIS_RESTART_ATTRIBUTES* attributes = Parameters->RestartAttributes;
    if (attributes != nullptr) {
        auto* general = reinterpret_cast<NDIS_RESTART_GENERAL_ATTRIBUTES*>(attributes->Data);
        general->LookaheadSize = FilterLookaheadSize;
    }
    EngineLockAcquire(&module->ModuleLock, false);
    module->State = FilterRunning;
    EngineLockRelease(&module->ModuleLock, false);
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS NDIS_API FilterSetModuleOptions(NDIS_HANDLE) {
    return NDIS_STATUS_SUCCESS;
}

void NDIS_API FilterStatus(NDIS_HANDLE FilterModuleContext,
                           NDIS_STATUS_INDICATION* StatusIndication) {
    NdisFIndicateStatus(static_cast<FilterModule*>(FilterModuleContext)->FilterHandle,
                        StatusIndication);
}

void NDIS_API FilterDevicePnPEventNotify(NDIS_HANDLE FilterModuleContext,
                                         NET_DEVICE_PNP_EVENT* NetDevicePnPEvent) {
    NdisFDevicePnPEventNotify(static_cast<FilterModule*>(FilterModuleContext)->FilterHandle,
                              NetDevicePnPEvent);
}

NDIS_STATUS NDIS_API FilterNetPnPEvent(NDIS_HANDLE FilterModuleContext,
                                       NET_PNP_EVENT_NOTIFICATION* NetPnPEventNotification) {
    return NdisFNetPnPEvent(static_cast<FilterModule*>(FilterModuleContext)->FilterHandle,
                            NetPnPEventNotification);
}
