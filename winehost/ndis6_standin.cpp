// ndis.sys for running MerrowfaldineLwf.sys under Wine's kernel-driver host: a PE DLL
// that serves the filter's NDIS 6 imports. Registration and the control device are real
// (the device is created with Wine's IoCreateDevice, so CreateFile and DeviceIoControl from
// Win32 programs reach the filter's dispatch routines); the data path is not served, and
// a call into it stops the driver host with a message naming the call.
#include <ntddk.h>

#include "kernel_shim.h"

// The NDIS entries, exported under their undecorated names.
#define NDIS_EXPORT __declspec(dllexport)

namespace {

PDRIVER_OBJECT FilterDriverObject;

// Wine's ntoskrnl has no KeBugCheck that stops the host; a fault in the stand-in's use
// ends the driver host so the test sees the driver vanish.
[[noreturn]] void Unserved(const char* call) {
    DbgPrint("ndis.sys stand-in: %s is not served\n", call);
    ShimStopHost();
}

struct DeviceRecord {
    PDEVICE_OBJECT Device;
    UNICODE_STRING SymbolicName;
    WCHAR SymbolicText[64];
};

// The control device's registration, as NdisRegisterDeviceEx receives it.
struct DeviceAttributes {
    UCHAR HeaderType, HeaderRevision;
    USHORT HeaderSize;
    PUNICODE_STRING DeviceName;
    PUNICODE_STRING SymbolicName;
    PDRIVER_DISPATCH* MajorFunctions;
    ULONG ExtensionSize;
    PVOID DefaultSddlString;
    PVOID DeviceClassGuid;
};

} // namespace

extern "C" {

NTSTATUS NDIS_EXPORT NTAPI NdisFRegisterFilterDriver(PDRIVER_OBJECT driverObject, PVOID, PVOID,
                                                     PVOID* handle) {
    FilterDriverObject = driverObject;
    ShimPatchImports(driverObject->DriverStart);
    *handle = driverObject;
    return STATUS_SUCCESS;
}

VOID NDIS_EXPORT NTAPI NdisFDeregisterFilterDriver(PVOID) {
    FilterDriverObject = nullptr;
}

NTSTATUS NDIS_EXPORT NTAPI NdisRegisterDeviceEx(PVOID, DeviceAttributes* attributes,
                                                PDEVICE_OBJECT* deviceObject, PVOID* deviceHandle) {
    if (!FilterDriverObject)
        return STATUS_INVALID_DEVICE_STATE;
    DeviceRecord* record = static_cast<DeviceRecord*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(DeviceRecord), 'vDdN'));
    if (!record)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(record, sizeof *record);
    NTSTATUS status =
        IoCreateDevice(FilterDriverObject, attributes->ExtensionSize, attributes->DeviceName,
                       FILE_DEVICE_NETWORK, 0, FALSE, &record->Device);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(record, 'vDdN');
        return status;
    }
    record->SymbolicName.Buffer = record->SymbolicText;
    record->SymbolicName.MaximumLength = sizeof record->SymbolicText;
    RtlCopyUnicodeString(&record->SymbolicName, attributes->SymbolicName);
    status = IoCreateSymbolicLink(&record->SymbolicName, attributes->DeviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(record->Device);
        ExFreePoolWithTag(record, 'vDdN');
        return status;
    }
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        if (attributes->MajorFunctions[i])
            FilterDriverObject->MajorFunction[i] = attributes->MajorFunctions[i];
    record->Device->Flags &= ~DO_DEVICE_INITIALIZING;
    *deviceObject = record->Device;
    *deviceHandle = record;
    return STATUS_SUCCESS;
}

VOID NDIS_EXPORT NTAPI NdisDeregisterDeviceEx(PVOID deviceHandle) {
    DeviceRecord* record = static_cast<DeviceRecord*>(deviceHandle);
    IoDeleteSymbolicLink(&record->SymbolicName);
    IoDeleteDevice(record->Device);
    ExFreePoolWithTag(record, 'vDdN');
}

PVOID NDIS_EXPORT NTAPI NdisGetDeviceReservedExtension(PDEVICE_OBJECT deviceObject) {
    return deviceObject->DeviceExtension;
}

PVOID NDIS_EXPORT NTAPI NdisAllocateMemoryWithTagPriority(PVOID, ULONG length, ULONG tag, ULONG) {
    return ShimAllocate(length, tag);
}

VOID NDIS_EXPORT NTAPI NdisFreeMemory(PVOID block, ULONG, ULONG) {
    ShimFree(block);
}

// The data path and the calls only a running binding makes.
#define UNSERVED(name, ...)                                                                        \
    VOID NDIS_EXPORT NTAPI name(__VA_ARGS__) {                                                     \
        Unserved(#name);                                                                           \
    }
UNSERVED(NdisAllocateCloneOidRequest, PVOID, PVOID, ULONG, ULONG)
UNSERVED(NdisAllocateMdl, PVOID, PVOID, ULONG)
UNSERVED(NdisAllocateNetBuffer, PVOID, PVOID, ULONG, SIZE_T)
UNSERVED(NdisAllocateNetBufferListPool, PVOID, PVOID)
UNSERVED(NdisAllocateNetBufferPool, PVOID, PVOID)
UNSERVED(NdisFCancelOidRequest, PVOID, PVOID)
UNSERVED(NdisFCancelSendNetBufferLists, PVOID, PVOID)
UNSERVED(NdisFDevicePnPEventNotify, PVOID, PVOID)
UNSERVED(NdisFIndicateReceiveNetBufferLists, PVOID, PVOID, ULONG, ULONG, ULONG)
UNSERVED(NdisFIndicateStatus, PVOID, PVOID)
UNSERVED(NdisFNetPnPEvent, PVOID, PVOID)
UNSERVED(NdisFOidRequest, PVOID, PVOID)
UNSERVED(NdisFOidRequestComplete, PVOID, PVOID, ULONG)
UNSERVED(NdisFRestartFilter, PVOID)
UNSERVED(NdisFReturnNetBufferLists, PVOID, PVOID, ULONG)
UNSERVED(NdisFSendNetBufferLists, PVOID, PVOID, ULONG, ULONG)
UNSERVED(NdisFSendNetBufferListsComplete, PVOID, PVOID, ULONG)
UNSERVED(NdisFSetAttributes, PVOID, PVOID, PVOID)
UNSERVED(NdisFreeCloneOidRequest, PVOID, PVOID)
UNSERVED(NdisFreeMdl, PVOID)
UNSERVED(NdisFreeNetBuffer, PVOID)
UNSERVED(NdisFreeNetBufferListPool, PVOID)
UNSERVED(NdisFreeNetBufferPool, PVOID)

BOOLEAN WINAPI DllMain(PVOID, ULONG, PVOID) {
    return TRUE;
}

} // extern "C"
