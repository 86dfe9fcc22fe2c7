// Driver entry and unload: the engine first, then the layered miniport and the protocol;
// unload in reverse, ending with the engine.
#include "../engine/engine_state.h"
#include "im.h"

ImDriver g_Im;

namespace {

void FillMiniportCharacteristics(NDIS_MINIPORT_CHARACTERISTICS* c) {
    KmZeroMemory(c, sizeof(*c));
    c->MajorNdisVersion = 5;
    c->MinorNdisVersion = 1;
    c->HaltHandler = MPHalt;
    c->InitializeHandler = MPInitialize;
    c->QueryInformationHandler = MPQueryInformation;
    c->SetInformationHandler = MPSetInformation;
    c->TransferDataHandler = MPTransferData;
    c->ReturnPacketHandler = MPReturnPacket;
    c->SendPacketsHandler = MPSendPackets;
    c->CancelSendPacketsHandler = MPCancelSendPackets;
    c->PnPEventNotifyHandler = MPPnPEventNotify;
    c->AdapterShutdownHandler = MPAdapterShutdown;
}

void FillProtocolCharacteristics(NDIS_PROTOCOL_CHARACTERISTICS* c) {
    KmZeroMemory(c, sizeof(*c));
    c->MajorNdisVersion = 5;
    c->MinorNdisVersion = 0;
    c->Name = NdisConstantString(u"Merrowfaldine");
    c->OpenAdapterCompleteHandler = PtOpenAdapterComplete;
    c->CloseAdapterCompleteHandler = PtCloseAdapterComplete;
    c->SendCompleteHandler = PtSendComplete;
    c->TransferDataCompleteHandler = PtTransferDataComplete;
    c->ResetCompleteHandler = PtResetComplete;
    c->RequestCompleteHandler = PtRequestComplete;
    c->ReceiveHandler = PtReceive;
    c->ReceiveCompleteHandler = PtReceiveComplete;
    c->StatusHandler = PtStatus;
    c->StatusCompleteHandler = PtStatusComplete;
    c->ReceivePacketHandler = PtReceivePacket;
    c->BindAdapterHandler = PtBindAdapter;
    c->UnbindAdapterHandler = PtUnbindAdapter;
    c->PnPEventHandler = PtPnPEvent;
    c->UnloadHandler = PtUnload;
}

} // namespace

extern "C" int32_t DriverEntry(KmDriverObject* driverObject, NDIS_STRING* registryPath) {
    KmZeroMemory(&g_Im, sizeof(g_Im));
    EngineLockInit(&g_Im.GlobalLock);
    if (!EngineStart()) {
        return NDIS_STATUS_RESOURCES;
    }
    NdisInitializeWrapper(&g_Im.WrapperHandle, driverObject, registryPath, nullptr);

    NDIS_MINIPORT_CHARACTERISTICS miniport;
    FillMiniportCharacteristics(&miniport);
    NDIS_STATUS status = NdisIMRegisterLayeredMiniport(g_Im.WrapperHandle, &miniport,
                                                       sizeof(miniport), &g_Im.DriverHandle);
    if (status == NDIS_STATUS_SUCCESS) {
        NdisMRegisterUnloadHandler(g_Im.WrapperHandle, ImUnload);
        NDIS_PROTOCOL_CHARACTERISTICS protocol;
        FillProtocolCharacteristics(&protocol);
        NdisRegisterProtocol(&status, &g_Im.ProtocolHandle, &protocol, sizeof(protocol));
        if (status != NDIS_STATUS_SUCCESS) {
            NdisIMDeregisterLayeredMiniport(g_Im.DriverHandle);
        } else {
            NdisIMAssociateMiniport(g_Im.DriverHandle, g_Im.ProtocolHandle);
        }
    }
    if (status != NDIS_STATUS_SUCCESS) {
        NdisTerminateWrapper(g_Im.WrapperHandle, nullptr);
        // Nothing registered stays behind, so the engine goes too.
        EngineStop();
    }
    return status;
}

void PtUnload() {
    if (g_Im.ProtocolHandle != nullptr) {
        NDIS_STATUS status;
        NdisDeregisterProtocol(&status, g_Im.ProtocolHandle);
        g_Im.ProtocolHandle = nullptr;
    }
}

void ImUnload(void*) {
    PtUnload();
    NdisIMDeregisterLayeredMiniport(g_Im.DriverHandle);
    EngineStop();
}
