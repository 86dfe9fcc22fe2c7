// The kernel objects of km_io.h on the Windows kernel.
#include <ntddk.h>

#include "../km_io.h"

void KmSetDriverUnload(KmDriverObject* driverObject, KmDriverUnload unload) {
    reinterpret_cast<PDRIVER_OBJECT>(driverObject)->DriverUnload =
        reinterpret_cast<PDRIVER_UNLOAD>(unload);
}

void KmReadRequest(KmIrp* irp, KmDeviceControl* request) {
    PIRP real = reinterpret_cast<PIRP>(irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(real);
    request->majorFunction = stack->MajorFunction;
    request->hasFileObject = stack->FileObject != nullptr;
    request->controlCode = stack->Parameters.DeviceIoControl.IoControlCode;
    request->inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    request->outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    request->systemBuffer = real->AssociatedIrp.SystemBuffer;
}

void KmCompleteRequest(KmIrp* irp, int32_t status, uintptr_t information) {
    PIRP real = reinterpret_cast<PIRP>(irp);
    real->IoStatus.Status = status;
    real->IoStatus.Information = information;
    IoCompleteRequest(real, IO_NO_INCREMENT);
}
