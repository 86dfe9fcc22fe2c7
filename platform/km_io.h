// The kernel objects of a driver that NDIS does not wrap: the driver object (for its unload
// routine) and the I/O requests of a control device. Hosts see them only through these
// calls, so the same host code runs on the Windows kernel and on the Linux simulation.
#pragma once

#include <stdint.h>

#include "ndis_common.h"

struct KmDriverObject;
struct KmDeviceObject;
struct KmIrp;

typedef void(NDIS_API* KmDriverUnload)(KmDriverObject* driverObject);
typedef int32_t(NDIS_API* KmDispatchRoutine)(KmDeviceObject* device, KmIrp* irp);

// Major function numbers of the requests a control device serves.
const uint32_t KmIrpMjCreate = 0x00;
const uint32_t KmIrpMjClose = 0x02;
const uint32_t KmIrpMjDeviceControl = 0x0E;
const uint32_t KmIrpMjCleanup = 0x12;
const uint32_t KmIrpMjMaximumFunction = 0x1B;

void KmSetDriverUnload(KmDriverObject* driverObject, KmDriverUnload unload);

// What a device-control request carries (METHOD_BUFFERED: one system buffer in and out).
struct KmDeviceControl {
    uint32_t majorFunction;
    bool hasFileObject;
    uint32_t controlCode;
    uint32_t inputLength;
    uint32_t outputLength;
    void* systemBuffer;
};
void KmReadRequest(KmIrp* irp, KmDeviceControl* request);

// Sets the request's status block and completes it without a priority boost.
void KmCompleteRequest(KmIrp* irp, int32_t status, uintptr_t information);
