// The control device: it exists while at least one virtual miniport is initialised. A
// creation and a deletion never overlap: a creator that finds a deletion under way waits
// for it, polling the state.
#include "../engine/control_device.h"
#include "im.h"

namespace {

// One routine for every major function; only device-control requests reach the engine.
int32_t ImDeviceDispatch(KmDeviceObject*, KmIrp* irp) {
    KmDeviceControl request;
    KmReadRequest(irp, &request);
    ControlStatusBlock block = {STATUS_SUCCESS_CODE, 0};
    if (request.majorFunction == KmIrpMjDeviceControl) {
        EngineDeviceControl(request.systemBuffer, request.inputLength, request.outputLength,
                            request.controlCode, &block);
    }
    int32_t status = int32_t(block.status);
    KmCompleteRequest(irp, status, block.information);
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

        KmDispatchRoutine functions[KmIrpMjMaximumFunction + 1] = {};
        functions[KmIrpMjCreate] = ImDeviceDispatch;
        functions[KmIrpMjClose] = ImDeviceDispatch;
        functions[KmIrpMjCleanup] = ImDeviceDispatch;
        functions[KmIrpMjDeviceControl] = ImDeviceDispatch;
        NDIS_STRING device = NdisConstantString(u"\\Device\\Merrowfaldine");
        NDIS_STRING link = NdisConstantString(u"\\DosDevices\\Merrowfaldine");
        // The driver works without the device; what a failed call left in the outputs is
        // not a device to deregister later.
        if (NdisMRegisterDevice(g_Im.WrapperHandle, &device, &link, functions,
                                &g_Im.ControlDeviceObject,
                                &g_Im.ControlDeviceHandle) != NDIS_STATUS_SUCCESS) {
            g_Im.ControlDeviceObject = nullptr;
            g_Im.ControlDeviceHandle = nullptr;
        }

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
