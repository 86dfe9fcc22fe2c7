// ndis.sys for running MerrowfaldineLwf.sys under Wine's kernel-driver host: a PE DLL
// that serves the filter's NDIS 6 imports. Registration and the control device are real
// (the device is created with Wine's IoCreateDevice, so CreateFile and DeviceIoControl from
// Win32 programs reach the filter's dispatch routines); the data path is not served, and
// a call into it stops the driver host with a message naming the call. When the driver is
// unloaded the stand-in writes its books to ndis-books.txt beside it: pool blocks still
// allocated (the driver's ExAllocatePoolWithTag and NdisAllocateMemoryWithTagPriority
// both go through them), blocks freed that were not live or under another tag, and a
// filter registration or control device left behind.
#include <ntddk.h>

#include "kernel_shim.h"

// The NDIS entries, exported under their undecorated names.
#define NDIS_EXPORT __declspec(dllexport)

namespace {

PDRIVER_OBJECT FilterDriverObject;
LONG DevicesRegistered;

const ULONG ProcessAttach = 1;
const ULONG ProcessDetach = 0;

// Appends text or a decimal number to `line` at `*at`, leaving room for the terminator.
const ULONG LineBytes = 256;
void Append(char* line, ULONG* at, const char* text) {
    for (; *text && *at + 1 < LineBytes; text++)
        line[(*at)++] = *text;
    line[*at] = 0;
}
void AppendNumber(char* line, ULONG* at, ULONG value) {
    char digits[12];
    int n = 0;
    do {
        digits[n++] = char('0' + value % 10);
        value /= 10;
    } while (value);
    char text[12];
    for (int i = 0; i < n; i++)
        text[i] = digits[n - 1 - i];
    text[n] = 0;
    Append(line, at, text);
}

// One line: "balanced" when every block was freed, no free was a fault and nothing is
// still registered; otherwise what is wrong.
void WriteBooks(PVOID module) {
    char line[LineBytes];
    ULONG at = 0;
    ULONG tag = 0;
    ULONG outstanding = ShimBlocksOutstanding(&tag);
    ULONG faults = ShimPoolFaults();
    bool balanced =
        outstanding == 0 && faults == 0 && !FilterDriverObject && DevicesRegistered == 0;
    Append(line, &at,
           balanced ? "ndis.sys stand-in books: balanced, "
                    : "ndis.sys stand-in books: NOT balanced, ");
    AppendNumber(line, &at, ShimBlocksAllocated());
    Append(line, &at, " blocks allocated, ");
    AppendNumber(line, &at, outstanding);
    Append(line, &at, " outstanding");
    if (outstanding) {
        char text[] = " (one tagged 'xxxx')";
        for (int i = 0; i < 4; i++)
            text[14 + i] = char((tag >> (8 * i)) & 0xFF);
        Append(line, &at, text);
    }
    Append(line, &at, ", ");
    AppendNumber(line, &at, faults);
    Append(line, &at, " bad frees, filter ");
    Append(line, &at, FilterDriverObject ? "still registered" : "deregistered");
    Append(line, &at, ", ");
    AppendNumber(line, &at, ULONG(DevicesRegistered));
    Append(line, &at, " control devices left");
    ShimWriteReport(module, "ndis-books.txt", line);
}

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
    InterlockedIncrement(&DevicesRegistered);
    return STATUS_SUCCESS;
}

VOID NDIS_EXPORT NTAPI NdisDeregisterDeviceEx(PVOID deviceHandle) {
    DeviceRecord* record = static_cast<DeviceRecord*>(deviceHandle);
    IoDeleteSymbolicLink(&record->SymbolicName);
    IoDeleteDevice(record->Device);
    ExFreePoolWithTag(record, 'vDdN');
    InterlockedDecrement(&DevicesRegistered);
}

PVOID NDIS_EXPORT NTAPI NdisGetDeviceReservedExtension(PDEVICE_OBJECT deviceObject) {
    return deviceObject->DeviceExtension;
}

PVOID NDIS_EXPORT NTAPI NdisAllocateMemoryWithTagPriority(PVOID, ULONG length, ULONG tag, ULONG) {
    return ShimAllocate(length, tag);
}

VOID NDIS_EXPORT NTAPI NdisFreeMemory(PVOID block, ULONG, ULONG) {
    ShimFreeTagged(block, 0);
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

// Loaded as the driver's import, after the driver's imports are bound and before its
// DriverEntry runs: the replacements go in now, so that the driver's first pool block and
// first spin lock already use them. Unloaded after the driver's unload routine returned.
BOOLEAN WINAPI DllMain(PVOID module, ULONG reason, PVOID) {
    if (reason == ProcessAttach)
        ShimPatchImportersOf("ndis.sys");
    else if (reason == ProcessDetach)
        WriteBooks(module);
    return TRUE;
}

} // extern "C"
