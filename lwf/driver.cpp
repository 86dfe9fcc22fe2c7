// Driver entry and unload of the NDIS 6 filter: the engine first, then the buffer maps,
// the filter registration and the control device; unload in reverse.
#include "../engine/engine_state.h"
#include "filter.h"

KmDriverObject* FilterDriverObject;
NDIS_HANDLE FilterDriverHandle;
ModuleLink AttachedModuleList;
EngineLock AttachedModuleListLock;
KeyedTable* SendBufferMap;
KeyedTable* ReceiveBufferMap;

namespace {

// DriverEntry's status when the engine cannot start.
const int32_t EngineStartFailure = int32_t(0xC0001389);

char16_t ServiceNameText[] = u"Merrowfaldine";
char16_t FriendlyNameText[] = u"Halvorstine LWF Driver";
char16_t UniqueNameText[] = u"{8C35DB74-7C33-4619-8B4E-FD864D681EF6}";

template <size_t N> NDIS_STRING MakeNdisString(char16_t (&text)[N]) {
    NDIS_STRING s;
    s.Length = uint16_t((N - 1) * 2);
    s.MaximumLength = uint16_t(N * 2);
    s.Buffer = reinterpret_cast<decltype(s.Buffer)>(text);
    return s;
}

// The maps and the engine; used when entry fails after the engine started, and at unload
// once NDIS has detached every module, so that no replacement can be in flight.
void ReleaseEngineAndMaps() {
    DestroyKeyedTable(ReceiveBufferMap, false);
    DestroyKeyedTable(SendBufferMap, false);
    ReceiveBufferMap = nullptr;
    SendBufferMap = nullptr;
    EngineStop();
}

} // namespace

extern "C" int32_t NDIS_API DriverEntry(KmDriverObject* driverObject, void*) {
    if (!EngineStart()) {
        return EngineStartFailure;
    }
    // A map that cannot be created stays null; every insert into it fails and the frames
    // concerned travel with their own bytes.
    SendBufferMap = CreateKeyedTable();
    ReceiveBufferMap = CreateKeyedTable();

    FilterDriverObject = driverObject;
    KmSetDriverUnload(driverObject, FilterUnload);
    AttachedModuleList.Flink = &AttachedModuleList;
    AttachedModuleList.Blink = &AttachedModuleList;
    FilterDriverHandle = nullptr;
    EngineLockInit(&AttachedModuleListLock);

    NDIS_FILTER_DRIVER_CHARACTERISTICS fc;
    KmZeroMemory(&fc, sizeof fc);
    fc.Header.Type = NDIS_OBJECT_TYPE_FILTER_DRIVER_CHARACTERISTICS;
    fc.Header.Revision = NDIS_FILTER_CHARACTERISTICS_REVISION_1;
    fc.Header.Size = NDIS_SIZEOF_FILTER_DRIVER_CHARACTERISTICS_REVISION_1;
    fc.MajorNdisVersion = 6;
    fc.MinorNdisVersion = 0;
    fc.MajorDriverVersion = 1;
    fc.MinorDriverVersion = 0;
    fc.Flags = 0;
    fc.FriendlyName = MakeNdisString(FriendlyNameText);
    fc.UniqueName = MakeNdisString(UniqueNameText);
    fc.ServiceName = MakeNdisString(ServiceNameText);
    fc.SetOptionsHandler = FilterSetOptions;
    fc.SetFilterModuleOptionsHandler = FilterSetModuleOptions;
    fc.AttachHandler = FilterAttach;
    fc.DetachHandler = FilterDetach;
    fc.RestartHandler = FilterRestart;
    fc.PauseHandler = FilterPause;
    fc.SendNetBufferListsHandler = FilterSendNetBufferLists;
    fc.SendNetBufferListsCompleteHandler = FilterSendNetBufferListsComplete;
    fc.CancelSendNetBufferListsHandler = FilterCancelSendNetBufferLists;
    fc.ReceiveNetBufferListsHandler = FilterReceiveNetBufferLists;
    fc.ReturnNetBufferListsHandler = FilterReturnNetBufferLists;
    fc.OidRequestHandler = FilterOidRequest;
    fc.OidRequestCompleteHandler = FilterOidRequestComplete;
    fc.CancelOidRequestHandler = FilterCancelOidRequest;
    fc.DevicePnPEventNotifyHandler = FilterDevicePnPEventNotify;
    fc.NetPnPEventHandler = FilterNetPnPEvent;
    fc.StatusHandler = FilterStatus;

    NDIS_STATUS status =
        NdisFRegisterFilterDriver(driverObject, driverObject, &fc, &FilterDriverHandle);
    if (status != NDIS_STATUS_SUCCESS) {
        ReleaseEngineAndMaps();
        return status;
    }
    status = RegisterControlDevice();
    if (status != NDIS_STATUS_SUCCESS) {
        NdisFDeregisterFilterDriver(FilterDriverHandle);
        FilterDriverHandle = nullptr;
        ReleaseEngineAndMaps();
        return status;
    }
    return NDIS_STATUS_SUCCESS;
}

void NDIS_API FilterUnload(KmDriverObject*) {
    DeregisterControlDevice();
    // NDIS detaches every module before this returns.
    NdisFDeregisterFilterDriver(FilterDriverHandle);
    FilterDriverHandle = nullptr;
    ReleaseEngineAndMaps();
}

NDIS_STATUS NDIS_API FilterSetOptions(NDIS_HANDLE NdisDriverHandle, NDIS_HANDLE DriverContext) {
    if (NdisDriverHandle != FilterDriverHandle ||
        DriverContext != static_cast<NDIS_HANDLE>(FilterDriverObject)) {
        return NDIS_STATUS_INVALID_PARAMETER;
    }
    return NDIS_STATUS_SUCCESS;
}
