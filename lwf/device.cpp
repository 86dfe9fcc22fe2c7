// The control device: open and close, the filter's own codes (restart and list modules),
// and every other code handed to the engine's control protocol. It never touches an NBL.
#include "../engine/control_device.h"
#include "filter.h"

namespace {

char16_t DeviceNameText[] = u"\\Device\\Merrowfaldine";
char16_t SymbolicNameText[] = u"\\DosDevices\\Merrowfaldine";

KmDeviceObject* ControlDeviceObject;
NDIS_HANDLE ControlDeviceHandle;

template <size_t N> NDIS_STRING MakeNdisString(char16_t (&text)[N]) {
    NDIS_STRING s;
    s.Length = uint16_t((N - 1) * 2);
    s.MaximumLength = uint16_t(N * 2);
    s.Buffer = reinterpret_cast<decltype(s.Buffer)>(text);
    return s;
}

FilterModule* ModuleOf(ModuleLink* link) {
    return reinterpret_cast<FilterModule*>(link); // Link is the record's first field
}

// Asks NDIS to restart every module (`name` null) or the first whose whole name equals the
// start of `name`; returns the first failure NDIS gives, else success. NDIS is called under
// the list lock: the module cannot be detached (and its filter handle go stale) between
// finding it and the call, and NdisFRestartFilter only schedules the restart, as callable at
// DISPATCH_LEVEL.
NDIS_STATUS RestartModules(const uint8_t* name, uint32_t nameLength) {
    NDIS_STATUS result = NDIS_STATUS_SUCCESS;
    EngineLockAcquire(&AttachedModuleListLock, false);
    for (ModuleLink* link = AttachedModuleList.Flink; link != &AttachedModuleList;
         link = link->Flink) {
        FilterModule* module = ModuleOf(link);
        uint32_t length = module->ModuleName.Length;
        if (name != nullptr &&
            (length > nameLength || !KmEqualMemory(module->ModuleName.Buffer, name, length))) {
            continue;
        }
        NDIS_STATUS status = NdisFRestartFilter(module->FilterHandle);
        if (status != NDIS_STATUS_SUCCESS && result == NDIS_STATUS_SUCCESS) {
            result = status;
        }
        if (name != nullptr) {
            break;
        }
    }
    EngineLockRelease(&AttachedModuleListLock, false);
    return result;
}

// Writes the entries that fit while the running total stays within the output; returns
// the total of every entry.
uint32_t ListModules(uint8_t* out, uint32_t outLength) {
    uint32_t total = 0;
    EngineLockAcquire(&AttachedModuleListLock, false);
    for (ModuleLink* link = AttachedModuleList.Flink; link != &AttachedModuleList;
         link = link->Flink) {
        FilterModule* module = ModuleOf(link);
        uint16_t length = module->ModuleName.Length;
        uint32_t at = total;
        total += 2 + uint32_t(length);
        if (total <= outLength) {
            out[at] = uint8_t(length);
            out[at + 1] = uint8_t(length >> 8);
            KmCopyMemory(out + at + 2, module->ModuleName.Buffer, length);
        }
    }
    EngineLockRelease(&AttachedModuleListLock, false);
    return total;
}

} // namespace

NDIS_STATUS RegisterControlDevice() {
    static KmDispatchRoutine majorFunctions[KmIrpMjMaximumFunction + 1];
    KmZeroMemory(majorFunctions, sizeof majorFunctions);
    majorFunctions[KmIrpMjCreate] = FilterDeviceOpenClose;
    majorFunctions[KmIrpMjClose] = FilterDeviceOpenClose;
    majorFunctions[KmIrpMjCleanup] = FilterDeviceOpenClose;
    majorFunctions[KmIrpMjDeviceControl] = FilterDeviceIoControl;

    NDIS_STRING deviceName = MakeNdisString(DeviceNameText);
    NDIS_STRING symbolicName = MakeNdisString(SymbolicNameText);
    NDIS_DEVICE_OBJECT_ATTRIBUTES attributes;
    KmZeroMemory(&attributes, sizeof attributes);
    attributes.Header.Type = NDIS_OBJECT_TYPE_DEVICE_OBJECT_ATTRIBUTES;
    attributes.Header.Revision = NDIS_DEVICE_OBJECT_ATTRIBUTES_REVISION_1;
    attributes.Header.Size = uint16_t(sizeof attributes);
    attributes.DeviceName = &deviceName;
    attributes.SymbolicName = &symbolicName;
    attributes.MajorFunctions = majorFunctions;
    attributes.ExtensionSize = sizeof(ControlDeviceExtension);

    NDIS_STATUS status = NdisRegisterDeviceEx(FilterDriverHandle, &attributes, &ControlDeviceObject,
                                              &ControlDeviceHandle);
    if (status == NDIS_STATUS_SUCCESS) {
        auto* extension = static_cast<ControlDeviceExtension*>(
            NdisGetDeviceReservedExtension(ControlDeviceObject));
        extension->Signature = ControlDeviceSignature;
        extension->Handle = FilterDriverHandle;
    } else {
        ControlDeviceHandle = nullptr;
        ControlDeviceObject = nullptr;
    }
    return status;
}

void DeregisterControlDevice() {
    if (ControlDeviceHandle != nullptr) {
        NdisDeregisterDeviceEx(ControlDeviceHandle);
        ControlDeviceHandle = nullptr;
        ControlDeviceObject = nullptr;
    }
}

int32_t NDIS_API FilterDeviceOpenClose(KmDeviceObject*, KmIrp* irp) {
    KmCompleteRequest(irp, KM_STATUS_SUCCESS, 0);
    return KM_STATUS_SUCCESS;
}

int32_t NDIS_API FilterDeviceIoControl(KmDeviceObject*, KmIrp* irp) {
    KmDeviceControl request;
    KmReadRequest(irp, &request);
    if (!request.hasFileObject) {
        KmCompleteRequest(irp, KM_STATUS_UNSUCCESSFUL, 0);
        return KM_STATUS_UNSUCCESSFUL;
    }
    int32_t status = KM_STATUS_SUCCESS;
    uintptr_t information = 0;
    auto* buffer = static_cast<uint8_t*>(request.systemBuffer);
    switch (request.controlCode) {
    case IOCTL_HOST_RESTART_ALL:
        status = RestartModules(nullptr, 0);
        break;
    case IOCTL_HOST_RESTART_MODULE:
        if (buffer != nullptr) {
            status = RestartModules(buffer, request.inputLength);
        }
        break;
    case IOCTL_HOST_LIST_MODULES: {
        uint32_t total = ListModules(buffer, buffer == nullptr ? 0 : request.outputLength);
        information = total;
        if (total > request.outputLength) {
            status = KM_STATUS_BUFFER_TOO_SMALL;
        }
        break;
    }
    default: {
        ControlStatusBlock block{STATUS_SUCCESS_CODE, 0};
        EngineDeviceControl(request.systemBuffer, request.inputLength, request.outputLength,
                            request.controlCode, &block);
        status = int32_t(block.status);
        information = block.information;
        break;
    }
    }
    KmCompleteRequest(irp, status, information);
    return status;
}
