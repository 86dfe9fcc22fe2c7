// The control device: it exists while at least one virtual miniport is initialised. A
// creation and a deletion never overlap: a creator that finds a deletion under way waits
// for it, polling the state.
#include "../engine/control_device.h"
#include "im.h"

namespace {

NdisWchar g_deviceName[] = u"\\Device\\Merrowfaldine";
NdisWchar g_linkName[] = u"\\DosDevices\\Merrowfaldine";

NDIS_STRING Name(NdisWchar* text, size_t bytesWithTerminator) {
    NDIS_STRING s;
    s.Buffer = text;
    s.Length = uint16_t(bytesWithTerminator - sizeof(NdisWchar));
    s.MaximumLength = uint16_t(bytesWithTerminator);
    return s;
}

// One routine for every major function; only device-control requests reach the engine.
NTSTATUS ImDeviceDispatch(DEVICE_OBJECT*, IRP* irp) {
    IO_STACK_LOCATION* stack = irp->CurrentStackLocation;
    NTSTATUS status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        ControlStatusBlock block = {STATUS_SUCCESS_CODE, 0};
        EngineDeviceControl(irp->SystemBuffer, stack->DeviceIoControl.InputBufferLength,
                            stack->DeviceIoControl.OutputBufferLength,
                            stack->DeviceIoControl.IoControlCode, &block);
        status = NTSTATUS(block.status);
        irp->IoStatus.Information = block.information;
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

} // namespace

void ImRegisterControlDevice() {
    EngineLockAcquire(&g_Im.GlobalLock, false);
    if (++g_Im.MiniportCount == 1) {
        while (g_Im.ControlDeviceState != ControlDeviceReady) {
            EngineLockRelease(&g_Im.GlobalLock, false);
            NdisMSleep(1);
            EngineLockAcquire(&g_Im.GlobalLock, false);
        }
        g_Im.ControlDeviceState = ControlDeviceCreating;
        EngineLockRelease(&g_Im.GlobalLock, false);

        DRIVER_DISPATCH functions[IRP_MJ_FUNCTION_COUNT] = {};
        functions[IRP_MJ_CREATE] = ImDeviceDispatch;
        functions[IRP_MJ_CLOSE] = ImDeviceDispatch;
        functions[IRP_MJ_CLEANUP] = ImDeviceDispatch;
        functions[IRP_MJ_DEVICE_CONTROL] = ImDeviceDispatch;
        NDIS_STRING device = Name(g_deviceName, sizeof(g_deviceName));
        NDIS_STRING link = Name(g_linkName, sizeof(g_linkName));
        // The driver works without the device, so its status is not checked.
        NdisMRegisterDevice(g_Im.WrapperHandle, &device, &link, functions,
                            &g_Im.ControlDeviceObject, &g_Im.ControlDeviceHandle);

        EngineLockAcquire(&g_Im.GlobalLock, false);
        g_Im.ControlDeviceState = ControlDeviceReady;
    }
    EngineLockRelease(&g_Im.GlobalLock, false);
}

void ImDeregisterControlDevice() {
    EngineLockAcquire(&g_Im.GlobalLock, false);
    if (--g_Im.MiniportCount == 0) {
        g_Im.ControlDeviceState = ControlDeviceDeleting;
        EngineLockRelease(&g_Im.GlobalLock, false);
        if (g_Im.ControlDeviceHandle != nullptr) {
            NdisMDeregisterDevice(g_Im.ControlDeviceHandle);
            g_Im.ControlDeviceHandle = nullptr;
        }
        EngineLockAcquire(&g_Im.GlobalLock, false);
        g_Im.ControlDeviceState = ControlDeviceReady;
    }
    EngineLockRelease(&g_Im.GlobalLock, false);
}
