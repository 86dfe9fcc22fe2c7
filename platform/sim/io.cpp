// Driver objects and I/O requests of the simulation.
#include <algorithm>
#include <cstring>
#include <vector>

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

namespace {

const uint32_t GuardBytes = 32;
const uint8_t GuardByte = 0xA5;

bool IsError(int32_t status) {
    return (uint32_t(status) >> 30) == 3;
}

} // namespace

int32_t SimCallDispatch(KmDispatchRoutine routine, KmDeviceObject* device, KmIrp* irp) {
    KmDeviceControl& request = irp->request;
    if (request.majorFunction != KmIrpMjDeviceControl) {
        return routine(device, irp);
    }
    auto* user = static_cast<uint8_t*>(request.systemBuffer);
    uint32_t room = std::max(request.inputLength, request.outputLength);
    // The driver sees only the system buffer, with guard bytes behind it.
    std::vector<uint8_t> system(room + GuardBytes, GuardByte);
    if (user != nullptr && request.inputLength != 0) {
        std::memcpy(system.data(), user, request.inputLength);
    }
    request.systemBuffer = room != 0 ? system.data() : nullptr;
    int32_t status = routine(device, irp);
    request.systemBuffer = user;
    for (uint32_t i = room; i < system.size(); ++i) {
        if (system[i] != GuardByte) {
            SimReportMisuse("a dispatch routine wrote past the system buffer");
            break;
        }
    }
    if (irp->completions == 1 && !IsError(irp->status)) {
        if (irp->information > request.outputLength) {
            SimReportMisuse("a request completed with more information than its output length");
        } else if (user != nullptr && irp->information != 0) {
            std::memcpy(user, system.data(), irp->information);
        }
    }
    return status;
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
