// Requests of the protocols above: forwarded one at a time through the embedded request,
// queued while the lower adapter is powered down, answered locally for the power OIDs.
#include "im.h"

namespace {

const uint32_t PowerStateBytes = sizeof(uint32_t);
const uint32_t CapabilitiesBytes = sizeof(NDIS_PNP_CAPABILITIES);
const uint32_t MacOptionsVersionLimit = 0x50000;

// Queues, forwards or refuses the request now in adapter->Request. `synchronousSet`
// makes a set that completes at once return its own status.
NDIS_STATUS SubmitRequest(ImAdapter* adapter, bool synchronousSet) {
    EngineLockAcquire(&adapter->Lock, false);
    if (!adapter->Unbinding) {
        if (adapter->ProtocolPowerState > NdisDeviceStateD0 && !adapter->StandingBy) {
            adapter->RequestQueued = 1;
            EngineLockRelease(&adapter->Lock, false);
            return NDIS_STATUS_PENDING;
        }
        if (!adapter->StandingBy) {
            adapter->RequestOutstanding = 1;
            EngineLockRelease(&adapter->Lock, false);
            NDIS_STATUS status;
            NdisRequest(&status, adapter->BindingHandle, &adapter->Request);
            if (status == NDIS_STATUS_PENDING) {
                return status;
            }
            if (synchronousSet) {
                *adapter->BytesReadOrWritten = adapter->Request.DATA.INFORMATION.BytesWrittenOrRead;
                *adapter->BytesNeeded = adapter->Request.DATA.INFORMATION.BytesNeeded;
                ImSetRequestOutstanding(adapter, false);
                return status;
            }
            PtRequestComplete(adapter, &adapter->Request, status);
            return NDIS_STATUS_PENDING;
        }
    }
    EngineLockRelease(&adapter->Lock, false);
    return NDIS_STATUS_FAILURE;
}

void FillRequest(ImAdapter* adapter, NDIS_REQUEST_TYPE type, NDIS_OID oid, void* buffer,
                 uint32_t length, uint32_t* bytesDone, uint32_t* bytesNeeded) {
    adapter->Request.RequestType = type;
    adapter->Request.DATA.INFORMATION.Oid = oid;
    adapter->Request.DATA.INFORMATION.InformationBuffer = buffer;
    adapter->Request.DATA.INFORMATION.InformationBufferLength = length;
    adapter->BytesNeeded = bytesNeeded;
    adapter->BytesReadOrWritten = bytesDone;
}

bool Refused(ImAdapter* adapter) {
    EngineLockAcquire(&adapter->Lock, false);
    bool refused = adapter->Unbinding != 0 || adapter->MiniportPowerState > NdisDeviceStateD0;
    EngineLockRelease(&adapter->Lock, false);
    return refused;
}

// OID_PNP_SET_POWER: the virtual miniport's own power state.
NDIS_STATUS SetPower(ImAdapter* adapter, const void* buffer, uint32_t length, uint32_t* bytesRead,
                     uint32_t* bytesNeeded) {
    *bytesRead = 0;
    *bytesNeeded = PowerStateBytes;
    if (length < PowerStateBytes) {
        return NDIS_STATUS_INVALID_LENGTH;
    }
    NDIS_DEVICE_POWER_STATE next;
    KmCopyMemory(&next, buffer, sizeof(next));
    EngineLockAcquire(&adapter->Lock, false);
    NDIS_DEVICE_POWER_STATE current = adapter->MiniportPowerState;
    if (current > NdisDeviceStateD0 && next != NdisDeviceStateD0) {
        EngineLockRelease(&adapter->Lock, false);
        return NDIS_STATUS_FAILURE;
    }
    if (current == NdisDeviceStateD0 && next > NdisDeviceStateD0) {
        adapter->StandingBy = 1;
    } else if (current > NdisDeviceStateD0 && next == NdisDeviceStateD0) {
        adapter->StandingBy = 0;
    }
    ImSetPowerState(&adapter->MiniportPowerState, next);
    bool indicate = false;
    if (adapter->StandingBy) {
        adapter->LatestUnindicatedStatus = adapter->LastIndicatedStatus;
    } else if (adapter->LatestUnindicatedStatus != adapter->LastIndicatedStatus &&
               adapter->MiniportHandle != nullptr) {
        adapter->LastIndicatedStatus = adapter->LatestUnindicatedStatus;
        indicate = true;
    }
    NDIS_STATUS held = adapter->LastIndicatedStatus;
    EngineLockRelease(&adapter->Lock, false);
    if (indicate) {
        NdisMIndicateStatus(adapter->MiniportHandle, held, nullptr, 0);
        NdisMIndicateStatusComplete(adapter->MiniportHandle);
    }
    *bytesRead = PowerStateBytes;
    *bytesNeeded = 0;
    return NDIS_STATUS_SUCCESS;
}

} // namespace

void ImSetRequestOutstanding(ImAdapter* adapter, bool outstanding) {
    bool atDispatch = ImAtDispatch();
    EngineLockAcquire(&adapter->Lock, atDispatch);
    adapter->RequestOutstanding = outstanding;
    EngineLockRelease(&adapter->Lock, atDispatch);
}

NDIS_STATUS MPQueryInformation(NDIS_HANDLE context, NDIS_OID oid, void* buffer, uint32_t length,
                               uint32_t* bytesWritten, uint32_t* bytesNeeded) {
    auto* adapter = static_cast<ImAdapter*>(context);
    if (oid == OID_PNP_QUERY_POWER) {
        return NDIS_STATUS_SUCCESS;
    }
    if (oid == OID_GEN_SUPPORTED_GUIDS) {
        return NDIS_STATUS_NOT_SUPPORTED;
    }
    if (Refused(adapter)) {
        return NDIS_STATUS_FAILURE;
    }
    FillRequest(adapter, NdisRequestQueryInformation, oid, buffer, length, bytesWritten,
                bytesNeeded);
    return SubmitRequest(adapter, false);
}

NDIS_STATUS MPSetInformation(NDIS_HANDLE context, NDIS_OID oid, void* buffer, uint32_t length,
                             uint32_t* bytesRead, uint32_t* bytesNeeded) {
    auto* adapter = static_cast<ImAdapter*>(context);
    if (oid == OID_PNP_SET_POWER) {
        return SetPower(adapter, buffer, length, bytesRead, bytesNeeded);
    }
    if (Refused(adapter)) {
        return NDIS_STATUS_FAILURE;
    }
    FillRequest(adapter, NdisRequestSetInformation, oid, buffer, length, bytesRead, bytesNeeded);
    return SubmitRequest(adapter, true);
}

void PtRequestComplete(NDIS_HANDLE context, NDIS_REQUEST* request, NDIS_STATUS status) {
    auto* adapter = static_cast<ImAdapter*>(context);
    ImSetRequestOutstanding(adapter, false);
    auto& info = request->DATA.INFORMATION;
    if (request->RequestType == NdisRequestQueryInformation) {
        if (info.Oid == OID_PNP_CAPABILITIES && status == NDIS_STATUS_SUCCESS) {
            if (info.InformationBufferLength < CapabilitiesBytes) {
                info.BytesNeeded = CapabilitiesBytes;
                status = NDIS_STATUS_RESOURCES;
            } else {
                // The virtual miniport wakes nothing: no minimum wake-up states.
                auto* caps = static_cast<NDIS_PNP_CAPABILITIES*>(info.InformationBuffer);
                caps->MinMagicPacketWakeUp = NdisDeviceStateUnspecified;
                caps->MinPatternWakeUp = NdisDeviceStateUnspecified;
                caps->MinLinkChangeWakeUp = NdisDeviceStateUnspecified;
                bool atDispatch = ImAtDispatch();
                EngineLockAcquire(&adapter->Lock, atDispatch);
                ImSetPowerState(&adapter->MiniportPowerState, NdisDeviceStateD0);
                ImSetPowerState(&adapter->ProtocolPowerState, NdisDeviceStateD0);
                EngineLockRelease(&adapter->Lock, atDispatch);
            }
        }
        *adapter->BytesReadOrWritten = info.BytesWrittenOrRead;
        *adapter->BytesNeeded = info.BytesNeeded;
        if (info.Oid == OID_GEN_MAC_OPTIONS && status == NDIS_STATUS_SUCCESS &&
            g_Im.NdisVersion > MacOptionsVersionLimit &&
            info.InformationBufferLength >= sizeof(uint32_t)) {
            uint32_t options;
            KmCopyMemory(&options, info.InformationBuffer, sizeof(options));
            options &= ~NDIS_MAC_OPTION_NO_LOOPBACK;
            KmCopyMemory(info.InformationBuffer, &options, sizeof(options));
        }
        NdisMQueryInformationComplete(adapter->MiniportHandle, status);
    } else if (request->RequestType == NdisRequestSetInformation) {
        *adapter->BytesReadOrWritten = info.BytesWrittenOrRead;
        *adapter->BytesNeeded = info.BytesNeeded;
        NdisMSetInformationComplete(adapter->MiniportHandle, status);
    }
}

void ImForwardRequest(ImAdapter* adapter) {
    NDIS_STATUS status;
    NdisRequest(&status, adapter->BindingHandle, &adapter->Request);
    if (status != NDIS_STATUS_PENDING) {
        PtRequestComplete(adapter, &adapter->Request, status);
    }
}
