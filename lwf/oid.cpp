// OID requests pass through as clones: the request from above rides in the clone's
// SourceReserved, and is always completed upward through NdisFOidRequestComplete.
#include "filter.h"

namespace {

NDIS_OID_REQUEST* OriginalOf(NDIS_OID_REQUEST* clone) {
    NDIS_OID_REQUEST* original;
    KmCopyMemory(&original, clone->SourceReserved, sizeof original);
    return original;
}

void SetOriginal(NDIS_OID_REQUEST* clone, NDIS_OID_REQUEST* original) {
    KmCopyMemory(clone->SourceReserved, &original, sizeof original);
}

} // namespace

NDIS_STATUS NDIS_API FilterOidRequest(NDIS_HANDLE FilterModuleContext, NDIS_OID_REQUEST* Request) {
    auto* module = static_cast<FilterModule*>(FilterModuleContext);
    NDIS_OID_REQUEST* clone = nullptr;
    NDIS_STATUS status =
        NdisAllocateCloneOidRequest(module->FilterHandle, Request, OidCloneTag, &clone);
    if (status != NDIS_STATUS_SUCCESS) {
        if (Request->RequestType == NdisRequestMethod) {
            Request->DATA.METHOD_INFORMATION.BytesWritten = 0;
            Request->DATA.METHOD_INFORMATION.BytesRead = 0;
            Request->DATA.METHOD_INFORMATION.BytesNeeded = 0;
        } else {
            Request->DATA.QUERY_INFORMATION.BytesWritten = 0;
            Request->DATA.QUERY_INFORMATION.BytesNeeded = 0;
        }
        return status;
    }
    SetOriginal(clone, Request);
    clone->RequestId = Request->RequestId;
    EngineLockAcquire(&module->ModuleLock, false);
    module->PendingOidRequest = clone;
    EngineLockRelease(&module->ModuleLock, false);

    status = NdisFOidRequest(module->FilterHandle, clone);
    if (status != NDIS_STATUS_PENDING) {
        FilterOidRequestComplete(module, clone, status);
    }
    return NDIS_STATUS_PENDING;
}

void NDIS_API FilterOidRequestComplete(NDIS_HANDLE FilterModuleContext, NDIS_OID_REQUEST* Request,
                                       NDIS_STATUS Status) {
    auto* module = static_cast<FilterModule*>(FilterModuleContext);
    NDIS_OID_REQUEST* original = OriginalOf(Request);
    EngineLockAcquire(&module->ModuleLock, false);
    module->PendingOidRequest = nullptr;
    EngineLockRelease(&module->ModuleLock, false);

    switch (Request->RequestType) {
    case NdisRequestSetInformation:
        original->DATA.SET_INFORMATION.BytesRead = Request->DATA.SET_INFORMATION.BytesRead;
        original->DATA.SET_INFORMATION.BytesNeeded = Request->DATA.SET_INFORMATION.BytesNeeded;
        break;
    case NdisRequestMethod:
        original->DATA.METHOD_INFORMATION.OutputBufferLength =
            Request->DATA.METHOD_INFORMATION.OutputBufferLength;
        original->DATA.METHOD_INFORMATION.BytesRead = Request->DATA.METHOD_INFORMATION.BytesRead;
        original->DATA.METHOD_INFORMATION.BytesNeeded =
            Request->DATA.METHOD_INFORMATION.BytesNeeded;
        original->DATA.METHOD_INFORMATION.BytesWritten =
            Request->DATA.METHOD_INFORMATION.BytesWritten;
        break;
    default:
        original->DATA.QUERY_INFORMATION.BytesWritten =
            Request->DATA.QUERY_INFORMATION.BytesWritten;
        original->DATA.QUERY_INFORMATION.BytesNeeded = Request->DATA.QUERY_INFORMATION.BytesNeeded;
        break;
    }
    SetOriginal(Request, nullptr);
    NdisFreeCloneOidRequest(module->FilterHandle, Request);
    NdisFOidRequestComplete(module->FilterHandle, original, Status);
}

void NDIS_API FilterCancelOidRequest(NDIS_HANDLE FilterModuleContext, void* RequestId) {
    auto* module = static_cast<FilterModule*>(FilterModuleContext);
    bool ours = false;
    EngineLockAcquire(&module->ModuleLock, false);
    NDIS_OID_REQUEST* pending = module->PendingOidRequest;
    if (pending != nullptr) {
        NDIS_OID_REQUEST* original = OriginalOf(pending);
        ours = original != nullptr && original->RequestId == RequestId;
    }
    EngineLockRelease(&module->ModuleLock, false);
    if (ours) {
        NdisFCancelOidRequest(module->FilterHandle, RequestId);
    }
}
