// Driver-wide calls of the NDIS 5 model: the wrapper, the registration of the layered
// miniport and the protocol, the unload routine and the control device.
#include "../sim_io.h"
#include "model.h"

extern "C" int32_t DriverEntry(KmDriverObject* driverObject, NDIS_STRING* registryPath);

using namespace sim5;

namespace {

KmDriverObject g_driverObject;
NDIS_STRING g_registryPath = NdisConstantString(u"\\Registry\\Machine\\Merrowfaldine");
int g_wrapperToken;
int g_driverToken;
int g_protocolToken;
int g_deviceToken;

void RequirePassive(const char* what) {
    if (KmGetCurrentIrql() != KmPassiveLevel) {
        SimReportMisuse(what);
    }
}

} // namespace

void NdisInitializeWrapper(NDIS_HANDLE* wrapper, void*, void*, void*) {
    RequirePassive("NdisInitializeWrapper above PASSIVE_LEVEL");
    TheModel().wrapperOpen = true;
    *wrapper = &g_wrapperToken;
}

void NdisTerminateWrapper(NDIS_HANDLE wrapper, void*) {
    if (wrapper != &g_wrapperToken || !TheModel().wrapperOpen) {
        SimReportMisuse("NdisTerminateWrapper without an open wrapper");
    }
    TheModel().wrapperOpen = false;
}

NDIS_STATUS NdisIMRegisterLayeredMiniport(NDIS_HANDLE wrapper,
                                          NDIS_MINIPORT_CHARACTERISTICS* characteristics,
                                          uint32_t length, NDIS_HANDLE* driver) {
    Model& m = TheModel();
    if (wrapper != &g_wrapperToken || length != sizeof(NDIS_MINIPORT_CHARACTERISTICS) ||
        characteristics->MajorNdisVersion != 5 || characteristics->MinorNdisVersion != 1) {
        return NDIS_STATUS_FAILURE;
    }
    if (m.load.failMiniportRegistration) {
        return NDIS_STATUS_RESOURCES;
    }
    m.miniport = *characteristics;
    m.miniportRegistered = true;
    *driver = &g_driverToken;
    return NDIS_STATUS_SUCCESS;
}

void NdisIMDeregisterLayeredMiniport(NDIS_HANDLE driver) {
    if (driver != &g_driverToken || !TheModel().miniportRegistered) {
        SimReportMisuse("NdisIMDeregisterLayeredMiniport without a registration");
    }
    TheModel().miniportRegistered = false;
}

void NdisMRegisterUnloadHandler(NDIS_HANDLE, void (*unload)(void*)) {
    TheModel().unload = unload;
}

void NdisRegisterProtocol(NDIS_STATUS* status, NDIS_HANDLE* handle,
                          NDIS_PROTOCOL_CHARACTERISTICS* characteristics, uint32_t length) {
    Model& m = TheModel();
    if (length != sizeof(NDIS_PROTOCOL_CHARACTERISTICS) || characteristics->MajorNdisVersion != 5 ||
        characteristics->MinorNdisVersion != 0) {
        *status = NDIS_STATUS_FAILURE;
        return;
    }
    if (m.load.failProtocolRegistration) {
        *status = NDIS_STATUS_RESOURCES;
        return;
    }
    m.protocol = *characteristics;
    m.protocolRegistered = true;
    *handle = &g_protocolToken;
    *status = NDIS_STATUS_SUCCESS;
}

void NdisDeregisterProtocol(NDIS_STATUS* status, NDIS_HANDLE handle) {
    Model& m = TheModel();
    if (handle != &g_protocolToken || !m.protocolRegistered) {
        SimReportMisuse("NdisDeregisterProtocol without a registration");
    }
    if (!m.bindings.empty()) {
        SimReportMisuse("protocol deregistered with bindings left");
    }
    m.protocolRegistered = false;
    *status = NDIS_STATUS_SUCCESS;
}

void NdisIMAssociateMiniport(NDIS_HANDLE driver, NDIS_HANDLE protocol) {
    if (driver != &g_driverToken || protocol != &g_protocolToken) {
        SimReportMisuse("NdisIMAssociateMiniport with unknown handles");
    }
    TheModel().associated = true;
}

void NdisReEnumerateProtocolBindings(NDIS_HANDLE) {
    TheModel().reEnumerations += 1;
}

NDIS_STATUS NdisMRegisterDevice(NDIS_HANDLE wrapper, NDIS_STRING* name, NDIS_STRING* link,
                                KmDispatchRoutine* functions, KmDeviceObject** device,
                                NDIS_HANDLE* handle) {
    RequirePassive("NdisMRegisterDevice above PASSIVE_LEVEL");
    Model& m = TheModel();
    std::u16string expectedName = u"\\Device\\Merrowfaldine";
    std::u16string expectedLink = u"\\DosDevices\\Merrowfaldine";
    auto text = [](NDIS_STRING* s) {
        return std::u16string(reinterpret_cast<const char16_t*>(s->Buffer),
                              s->Length / sizeof(char16_t));
    };
    if (wrapper != &g_wrapperToken || text(name) != expectedName || text(link) != expectedLink) {
        SimReportMisuse("control device registered with another name or wrapper");
    }
    if (m.deviceExists) {
        SimReportMisuse("control device registered twice");
    }
    if (m.load.failDeviceRegistrations > 0) {
        m.load.failDeviceRegistrations -= 1;
        // What a failed call leaves in its outputs is not documented: the stricter reading
        // is that nothing there may be used, so they are left holding garbage.
        *device = reinterpret_cast<KmDeviceObject*>(&g_wrapperToken);
        *handle = &g_wrapperToken;
        return NDIS_STATUS_RESOURCES;
    }
    for (uint32_t i = 0; i <= KmIrpMjMaximumFunction; ++i) {
        m.dispatch[i] = functions[i];
    }
    m.deviceExists = true;
    m.deviceRegistrations += 1;
    *device = reinterpret_cast<KmDeviceObject*>(&g_deviceToken);
    *handle = &g_deviceToken;
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS NdisMDeregisterDevice(NDIS_HANDLE handle) {
    RequirePassive("NdisMDeregisterDevice above PASSIVE_LEVEL");
    Model& m = TheModel();
    if (handle != &g_deviceToken || !m.deviceExists) {
        SimReportMisuse("NdisMDeregisterDevice of no device");
    }
    m.deviceExists = false;
    return NDIS_STATUS_SUCCESS;
}

namespace sim5 {

NDIS_STATUS LoadDriver(const LoadOptions& options) {
    Model& m = TheModel();
    m.load = options;
    m.unload = nullptr;
    m.associated = false;
    return NDIS_STATUS(DriverEntry(&g_driverObject, &g_registryPath));
}

void UnloadDriver() {
    Model& m = TheModel();
    if (m.unload == nullptr) {
        SimReportMisuse("the driver registered no unload routine");
        return;
    }
    if (m.deviceExists) {
        SimReportMisuse("driver unloaded with its control device still registered");
    }
    m.unload(&g_driverObject);
    if (m.protocolRegistered || m.miniportRegistered) {
        SimReportMisuse("unload left a registration behind");
    }
    m.unload = nullptr;
}

bool ProtocolRegistered() {
    return TheModel().protocolRegistered;
}

bool ControlDeviceExists() {
    return TheModel().deviceExists;
}

int ControlDeviceRegistrations() {
    return TheModel().deviceRegistrations;
}

bool DeviceControl(uint32_t code, std::vector<uint8_t>& buffer, uint32_t inputLength,
                   uint32_t outputLength, DeviceControlResult* result) {
    Model& m = TheModel();
    if (!m.deviceExists) {
        return false;
    }
    if (buffer.size() < outputLength) {
        buffer.resize(outputLength);
    }
    KmIrp irp =
        SimMakeRequest(KmIrpMjDeviceControl, code, buffer.data(), inputLength, outputLength, true);
    int32_t status = SimCallDispatch(m.dispatch[KmIrpMjDeviceControl],
                                     reinterpret_cast<KmDeviceObject*>(&g_deviceToken), &irp);
    if (irp.completions != 1 || irp.status != status) {
        SimReportMisuse("control request not completed once with its status");
    }
    result->status = uint32_t(irp.status);
    result->information = irp.information;
    return true;
}

int ReEnumerations() {
    return TheModel().reEnumerations;
}

NDIS_STATUS GlobalPnPEvent(NET_PNP_EVENT_CODE code) {
    NET_PNP_EVENT event{};
    event.NetEvent = code;
    return TheModel().protocol.PnPEventHandler(nullptr, &event);
}

} // namespace sim5
