// Driver objects and I/O requests of the simulation.
#include "misuse.h"
#include "sim.h"
#include "sim_io.h"

void KmSetDriverUnload(KmDriverObject* driverObject, KmDriverUnload unload) {
    driverObject->DriverUnload = unload;
}

void KmReadRequest(KmIrp* irp, KmDeviceControl* request) {
    *request = irp->request;
}

void KmCompleteRequest(KmIrp* irp, int32_t status, uintptr_t information) {
    if (KmGetCurrentIrql() > KmDispatchLevel) {
        SimReportMisuse("I/O request completed above DISPATCH_LEVEL");
    }
    if (++irp->completions != 1) {
        SimReportMisuse("I/O request completed twice");
    }
    irp->status = status;
    irp->information = information;
}

KmIrp SimMakeRequest(uint32_t majorFunction, uint32_t controlCode, void* systemBuffer,
                     uint32_t inputLength, uint32_t outputLength, bool withFileObject) {
    KmIrp irp{};
    irp.request.majorFunction = majorFunction;
    irp.request.hasFileObject = withFileObject;
    irp.request.controlCode = controlCode;
    irp.request.inputLength = inputLength;
    irp.request.outputLength = outputLength;
    irp.request.systemBuffer = systemBuffer;
    irp.status = -1;
    return irp;
}
