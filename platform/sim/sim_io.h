// The simulation's driver object and I/O requests (km_io.h), for the NDIS models and the
// tests that play the I/O manager.
#pragma once

#include "../km_io.h"

struct KmDriverObject {
    KmDriverUnload DriverUnload;
};

// A device object as the models register it; the device's extension follows it.
struct KmDeviceObject {
    uint32_t magic;
    uint32_t extensionSize;
};

struct KmIrp {
    KmDeviceControl request;
    int32_t status;
    uintptr_t information;
    int completions; // a request must be completed exactly once
};

// A request as the I/O manager builds it for a handle opened on a device. `systemBuffer` is
// the caller's buffer; SimCallDispatch gives the driver a system buffer of its own.
KmIrp SimMakeRequest(uint32_t majorFunction, uint32_t controlCode, void* systemBuffer,
                     uint32_t inputLength, uint32_t outputLength, bool withFileObject = true);

// Runs a dispatch routine as the I/O manager does for METHOD_BUFFERED: a device-control
// request gets a fresh system buffer of max(input, output) bytes holding the input, and on
// completion `information` bytes go back to the caller's buffer unless the status is an
// error. Writing past the system buffer, or completing without an error status with more
// information than the output length, is reported as misuse. Returns the routine's status.
int32_t SimCallDispatch(KmDispatchRoutine routine, KmDeviceObject* device, KmIrp* irp);
