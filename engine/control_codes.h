// The control protocol between the engine and its user-mode service: control codes,
// status values and result words. Shared by the engine and user-mode programs; the record
// layouts that cross it are in records.h.
#pragma once

#include <stdint.h>

// CTL_CODE(DeviceType, Function, METHOD_BUFFERED, FILE_ANY_ACCESS)
constexpr uint32_t EngineControlCode(uint32_t deviceType, uint32_t function) {
    return deviceType << 16 | function << 2;
}

const uint32_t EngineDeviceType = 0x9900;

const uint32_t IOCTL_ENGINE_GET_VERSION = EngineControlCode(EngineDeviceType, 0x990);
const uint32_t IOCTL_ENGINE_SET_RULES = EngineControlCode(EngineDeviceType, 0x991);
const uint32_t IOCTL_ENGINE_READ_EVENTS = EngineControlCode(EngineDeviceType, 0x992);
const uint32_t IOCTL_ENGINE_SET_ADMISSION_LIST = EngineControlCode(EngineDeviceType, 0x993);
const uint32_t IOCTL_ENGINE_SET_KNOWN_CLIENTS = EngineControlCode(EngineDeviceType, 0x994);
const uint32_t IOCTL_ENGINE_SET_SETTINGS = EngineControlCode(EngineDeviceType, 0x995);
const uint32_t IOCTL_ENGINE_SET_TEMPLATES = EngineControlCode(EngineDeviceType, 0x996);
const uint32_t IOCTL_ENGINE_READ_LEARNED = EngineControlCode(EngineDeviceType, 0x997);
const uint32_t IOCTL_ENGINE_READ_SESSIONS = EngineControlCode(EngineDeviceType, 0x998);
const uint32_t IOCTL_ENGINE_READ_STATS = EngineControlCode(EngineDeviceType, 0x999);
const uint32_t IOCTL_ENGINE_ASSIGN_USERS = EngineControlCode(EngineDeviceType, 0x99A);
const uint32_t IOCTL_ENGINE_SET_INSPECTION = EngineControlCode(EngineDeviceType, 0x99B);
// Codes beyond the service's own set: their records are in records.h.
const uint32_t IOCTL_ENGINE_READ_EVENT_CLIENTS = EngineControlCode(EngineDeviceType, 0x99C);
const uint32_t IOCTL_ENGINE_READ_UNREADABLE_STATS = EngineControlCode(EngineDeviceType, 0x99D);
// One byte: nonzero refuses the encrypted and compressed requests of sessions whose user
// has a deny rule. Off after start.
const uint32_t IOCTL_ENGINE_SET_REFUSE_UNREADABLE = EngineControlCode(EngineDeviceType, 0x99E);
const uint32_t IOCTL_ENGINE_READ_SESSION_CLIENTS = EngineControlCode(EngineDeviceType, 0x99F);

static_assert(IOCTL_ENGINE_GET_VERSION == 0x99002640, "control code");
static_assert(IOCTL_ENGINE_SET_INSPECTION == 0x9900266C, "control code");

const uint32_t EngineVersion = 40100;

const uint32_t STATUS_SUCCESS_CODE = 0x00000000;
const uint32_t STATUS_INVALID_PARAMETER_CODE = 0xC000000D;
const uint32_t STATUS_INVALID_DEVICE_REQUEST_CODE = 0xC0000010;

// Result word of the set codes: 0, or -1 when a new list could not be allocated.
const int32_t ControlResultOk = 0;
const int32_t ControlResultNoMemory = -1;

// The status block a request completes with.
struct ControlStatusBlock {
    uint32_t status;
    uintptr_t information; // bytes returned
};
