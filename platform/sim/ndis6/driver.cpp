// Filter registration, the control device, filter modules and their control path (attach,
// pause, restart, detach, OID requests, status and PnP) as NDIS drives a filter.
#include <algorithm>
#include <new>

#include "ndis6_internal.h"

SimDriver g_simDriver;

const uint32_t SimNdis6Tags[] = {SimNdisDriverTag,  SimNdisDeviceTag,  SimNdisModuleTag,
                                 SimNdisMdlTag,     SimNdisNblPoolTag, SimNdisNbPoolTag,
                                 SimNdisNbTag,      KmPoolTag("Filt"), KmPoolTag("Igat"),
                                 KmPoolTag("FTnd"), KmPoolTag("IFlg")};
const size_t SimNdis6TagCount = sizeof SimNdis6Tags / sizeof SimNdis6Tags[0];

uint64_t SimNdis6BlocksHeld() {
    uint64_t blocks = 0;
    for (uint32_t tag : SimNdis6Tags) {
        blocks += SimPoolUsageForTag(tag).blocks;
    }
    return blocks;
}

std::u16string SimText(const NDIS_STRING& s) {
    return std::u16string(reinterpret_cast<const char16_t*>(s.Buffer), s.Length / 2);
}

SimModule* SimModuleOf(NDIS_HANDLE handle, const char* call) {
    auto* module = static_cast<SimModule*>(handle);
    if (module == nullptr || module->magic != SimModuleMagic) {
        SimReportMisuse(call);
        return nullptr;
    }
    return module;
}

void SimCheckCallerIrql(uint32_t flags, const char* call) {
    KmIrql irql = KmGetCurrentIrql();
    if (irql > KmDispatchLevel || ((flags & 1) != 0 && irql != KmDispatchLevel)) {
        SimReportMisuse(call);
    }
}

bool SimDrawDispatch(SimModule* module) {
    uint64_t seed = module->options.irqlSeed;
    if (seed == 0) {
        return false;
    }
    // A splitmix64 step over the seed and the draw's number: threads of one module draw
    // without a lock, and one sequence of calls sees one sequence of levels.
    uint64_t x = seed + (module->irqlDraws.fetch_add(1) + 1) * 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return ((x ^ (x >> 31)) & 1) != 0;
}

void SimCheckNoLockHeld() {
    if (SimLocksHeld() != 0) {
        SimReportMisuse("model: NBLs passed to another driver with a spin lock held");
    }
}

namespace {

void CheckPassive(const char* call) {
    if (KmGetCurrentIrql() != KmPassiveLevel) {
        SimReportMisuse(call);
    }
}

void FreeModule(SimModule* module) {
    if (module->attributesBlock != nullptr) {
        KmFreePool(module->attributesBlock, SimNdisModuleTag);
    }
    module->magic = SimDeadMagic;
    delete module;
}

} // namespace

// ---- Driver ----
int32_t SimNdis6LoadDriver(SimDriverEntry entry) {
    g_simDriver.object = KmDriverObject{};
    g_simDriver.loaded = true;
    g_simDriver.unloadSteps.clear();
    int32_t status = 0;
    SimCallAt(false, "DriverEntry", [&] { status = entry(&g_simDriver.object, nullptr); });
    if (status != 0) {
        if (g_simDriver.block != nullptr || g_simDriver.device != nullptr) {
            SimReportMisuse("model: DriverEntry failed but left a registration behind");
        }
        g_simDriver.loaded = false;
    }
    return status;
}

void SimNdis6UnloadDriver() {
    if (!g_simDriver.loaded || g_simDriver.object.DriverUnload == nullptr) {
        SimReportMisuse("model: unload of a driver without an unload routine");
        return;
    }
    SimCallAt(false, "DriverUnload", [&] { g_simDriver.object.DriverUnload(&g_simDriver.object); });
    if (g_simDriver.block != nullptr || g_simDriver.device != nullptr) {
        SimReportMisuse("model: the driver unloaded with its filter or device still registered");
    }
    if (SimNdis6BlocksHeld() != 0) {
        SimReportMisuse("model: the driver unloaded with pool still allocated");
    }
    g_simDriver.loaded = false;
}

SimNdis6Registration SimNdis6Registered() {
    SimNdis6Registration r{};
    r.registered = g_simDriver.block != nullptr;
    r.characteristics = g_simDriver.characteristics;
    r.friendlyName = g_simDriver.friendlyName;
    r.uniqueName = g_simDriver.uniqueName;
    r.serviceName = g_simDriver.serviceName;
    r.deviceRegistered = g_simDriver.device != nullptr;
    r.deviceName = g_simDriver.deviceName;
    r.symbolicName = g_simDriver.symbolicName;
    r.extensionSize = r.deviceRegistered ? g_simDriver.device->extensionSize : 0;
    r.extension = r.deviceRegistered ? g_simDriver.device + 1 : nullptr;
    r.setOptionsCalls = g_simDriver.setOptionsCalls;
    return r;
}

NDIS_STATUS SimNdis6CallSetOptions(NDIS_HANDLE driverHandle, NDIS_HANDLE context) {
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    SimCallAt(false, "SetOptions", [&] {
        status = g_simDriver.characteristics.SetOptionsHandler(driverHandle, context);
    });
    return status;
}

NDIS_HANDLE SimNdis6DriverHandle() {
    return g_simDriver.block;
}

std::vector<std::string> SimNdis6UnloadSteps() {
    return g_simDriver.unloadSteps;
}

int32_t SimNdis6DeviceRequest(KmIrp* irp) {
    if (g_simDriver.device == nullptr) {
        SimReportMisuse("model: request to a control device that is not registered");
        return -1;
    }
    KmDispatchRoutine routine = g_simDriver.majorFunctions[irp->request.majorFunction];
    int32_t status = int32_t(0xC0000010); // what the I/O manager answers without a routine
    if (routine == nullptr) {
        return status;
    }
    SimCallAt(false, "the control device's dispatch routine",
              [&] { status = SimCallDispatch(routine, g_simDriver.device, irp); });
    if (irp->completions != 1) {
        SimReportMisuse("model: a dispatch routine did not complete its request exactly once");
    } else if (irp->status != status) {
        SimReportMisuse("model: a dispatch routine returned a status other than it completed with");
    }
    return status;
}

extern "C" {

NDIS_STATUS NdisFRegisterFilterDriver(KmDriverObject* DriverObject, NDIS_HANDLE FilterDriverContext,
                                      NDIS_FILTER_DRIVER_CHARACTERISTICS* c,
                                      NDIS_HANDLE* NdisFilterDriverHandle) {
    CheckPassive("NdisFRegisterFilterDriver above PASSIVE_LEVEL");
    if (DriverObject != &g_simDriver.object || g_simDriver.block != nullptr) {
        SimReportMisuse("NdisFRegisterFilterDriver: unknown driver object or registered twice");
        return NDIS_STATUS_FAILURE;
    }
    if (c->Header.Type != NDIS_OBJECT_TYPE_FILTER_DRIVER_CHARACTERISTICS ||
        c->Header.Revision != NDIS_FILTER_CHARACTERISTICS_REVISION_1 ||
        c->Header.Size < NDIS_SIZEOF_FILTER_DRIVER_CHARACTERISTICS_REVISION_1 ||
        c->MajorNdisVersion != 6 || c->AttachHandler == nullptr || c->DetachHandler == nullptr ||
        c->RestartHandler == nullptr || c->PauseHandler == nullptr || c->ServiceName.Length == 0 ||
        c->UniqueName.Length == 0) {
        return NDIS_STATUS_INVALID_PARAMETER;
    }
    void* block = KmAllocatePool(64, SimNdisDriverTag);
    if (block == nullptr) {
        return NDIS_STATUS_RESOURCES;
    }
    g_simDriver.block = block;
    g_simDriver.characteristics = *c;
    g_simDriver.context = FilterDriverContext;
    g_simDriver.friendlyName = SimText(c->FriendlyName);
    g_simDriver.uniqueName = SimText(c->UniqueName);
    g_simDriver.serviceName = SimText(c->ServiceName);
    g_simDriver.setOptionsCalls = 0;
    *NdisFilterDriverHandle = block;
    if (c->SetOptionsHandler != nullptr) {
        ++g_simDriver.setOptionsCalls;
        NDIS_STATUS status = c->SetOptionsHandler(block, FilterDriverContext);
        if (status != NDIS_STATUS_SUCCESS) {
            KmFreePool(block, SimNdisDriverTag);
            g_simDriver.block = nullptr;
            return status;
        }
    }
    return NDIS_STATUS_SUCCESS;
}

void NdisFDeregisterFilterDriver(NDIS_HANDLE NdisFilterDriverHandle) {
    CheckPassive("NdisFDeregisterFilterDriver above PASSIVE_LEVEL");
    if (NdisFilterDriverHandle == nullptr || NdisFilterDriverHandle != g_simDriver.block) {
        SimReportMisuse("NdisFDeregisterFilterDriver with a handle that is not registered");
        return;
    }
    g_simDriver.unloadSteps.push_back("filter");
    std::vector<SimModule*> modules;
    {
        std::lock_guard<std::mutex> hold(g_simDriver.modulesLock);
        modules = g_simDriver.modules;
    }
    for (SimModule* module : modules) {
        SimNdis6Detach(module);
    }
    KmFreePool(g_simDriver.block, SimNdisDriverTag);
    g_simDriver.block = nullptr;
}

NDIS_STATUS NdisRegisterDeviceEx(NDIS_HANDLE NdisHandle, NDIS_DEVICE_OBJECT_ATTRIBUTES* a,
                                 KmDeviceObject** DeviceObject, NDIS_HANDLE* NdisDeviceHandle) {
    CheckPassive("NdisRegisterDeviceEx above PASSIVE_LEVEL");
    if (NdisHandle == nullptr || NdisHandle != g_simDriver.block || g_simDriver.device != nullptr) {
        SimReportMisuse("NdisRegisterDeviceEx: not a registered filter, or a second device");
        return NDIS_STATUS_FAILURE;
    }
    if (a->Header.Type != NDIS_OBJECT_TYPE_DEVICE_OBJECT_ATTRIBUTES ||
        a->Header.Revision != NDIS_DEVICE_OBJECT_ATTRIBUTES_REVISION_1 ||
        a->Header.Size < sizeof(NDIS_DEVICE_OBJECT_ATTRIBUTES) || a->DeviceName == nullptr ||
        a->MajorFunctions == nullptr) {
        return NDIS_STATUS_INVALID_PARAMETER;
    }
    void* block = KmAllocatePool(sizeof(KmDeviceObject) + a->ExtensionSize, SimNdisDeviceTag);
    if (block == nullptr) {
        return NDIS_STATUS_RESOURCES;
    }
    auto* device = static_cast<KmDeviceObject*>(block);
    device->magic = SimDeviceMagic;
    device->extensionSize = a->ExtensionSize;
    KmZeroMemory(device + 1, a->ExtensionSize);
    for (uint32_t i = 0; i <= KmIrpMjMaximumFunction; ++i) {
        g_simDriver.majorFunctions[i] = a->MajorFunctions[i];
    }
    g_simDriver.deviceName = SimText(*a->DeviceName);
    g_simDriver.symbolicName = a->SymbolicName == nullptr ? u"" : SimText(*a->SymbolicName);
    g_simDriver.device = device;
    *DeviceObject = device;
    *NdisDeviceHandle = device;
    return NDIS_STATUS_SUCCESS;
}

void NdisDeregisterDeviceEx(NDIS_HANDLE NdisDeviceHandle) {
    CheckPassive("NdisDeregisterDeviceEx above PASSIVE_LEVEL");
    if (NdisDeviceHandle == nullptr || NdisDeviceHandle != g_simDriver.device) {
        SimReportMisuse("NdisDeregisterDeviceEx with a handle that is not registered");
        return;
    }
    g_simDriver.unloadSteps.push_back("device");
    g_simDriver.device->magic = SimDeadMagic;
    KmFreePool(g_simDriver.device, SimNdisDeviceTag);
    g_simDriver.device = nullptr;
}

void* NdisGetDeviceReservedExtension(KmDeviceObject* DeviceObject) {
    if (DeviceObject == nullptr || DeviceObject->magic != SimDeviceMagic) {
        SimReportMisuse("NdisGetDeviceReservedExtension of an unknown device");
        return nullptr;
    }
    return DeviceObject + 1;
}

NDIS_STATUS NdisFSetAttributes(NDIS_HANDLE NdisFilterHandle, NDIS_HANDLE FilterModuleContext,
                               NDIS_FILTER_ATTRIBUTES* a) {
    SimModule* module = SimModuleOf(NdisFilterHandle, "NdisFSetAttributes of an unknown module");
    if (module == nullptr) {
        return NDIS_STATUS_FAILURE;
    }
    if (a->Header.Type != NDIS_OBJECT_TYPE_FILTER_ATTRIBUTES || a->Header.Revision != 1 ||
        a->Header.Size < sizeof(NDIS_FILTER_ATTRIBUTES) || module->attributesBlock != nullptr) {
        return NDIS_STATUS_INVALID_PARAMETER;
    }
    module->attributesBlock = KmAllocatePool(16, SimNdisModuleTag);
    if (module->attributesBlock == nullptr) {
        return NDIS_STATUS_RESOURCES;
    }
    module->context = FilterModuleContext;
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS NdisFRestartFilter(NDIS_HANDLE NdisFilterHandle) {
    SimModule* module = SimModuleOf(NdisFilterHandle, "NdisFRestartFilter of an unknown module");
    SimCheckCallerIrql(0, "NdisFRestartFilter above DISPATCH_LEVEL");
    if (module == nullptr) {
        return NDIS_STATUS_FAILURE;
    }
    std::lock_guard<std::mutex> hold(module->lock);
    ++module->restartRequests;
    return module->options.failRestartRequests ? NDIS_STATUS_FAILURE : NDIS_STATUS_SUCCESS;
}

// ---- OID requests, status and PnP from the filter ----
NDIS_STATUS NdisFOidRequest(NDIS_HANDLE NdisFilterHandle, NDIS_OID_REQUEST* OidRequest) {
    SimModule* module = SimModuleOf(NdisFilterHandle, "NdisFOidRequest of an unknown module");
    SimCheckCallerIrql(0, "NdisFOidRequest above DISPATCH_LEVEL");
    if (module == nullptr) {
        return NDIS_STATUS_FAILURE;
    }
    std::lock_guard<std::mutex> hold(module->lock);
    ++module->oidsSeen;
    if (std::find(module->issued.begin(), module->issued.end(), OidRequest) !=
        module->issued.end()) {
        SimReportMisuse("NdisFOidRequest passed the protocol's own request down, not a clone");
    }
    const SimOidAnswer& answer = module->answer;
    if (answer.pend) {
        module->pendingAtMiniport = OidRequest;
        return NDIS_STATUS_PENDING;
    }
    if (OidRequest->RequestType == NdisRequestMethod) {
        OidRequest->DATA.METHOD_INFORMATION.OutputBufferLength = answer.outputBufferLength;
        OidRequest->DATA.METHOD_INFORMATION.BytesWritten = answer.bytesWritten;
        OidRequest->DATA.METHOD_INFORMATION.BytesRead = answer.bytesRead;
        OidRequest->DATA.METHOD_INFORMATION.BytesNeeded = answer.bytesNeeded;
    } else if (OidRequest->RequestType == NdisRequestSetInformation) {
        OidRequest->DATA.SET_INFORMATION.BytesRead = answer.bytesRead;
        OidRequest->DATA.SET_INFORMATION.BytesNeeded = answer.bytesNeeded;
    } else {
        OidRequest->DATA.QUERY_INFORMATION.BytesWritten = answer.bytesWritten;
        OidRequest->DATA.QUERY_INFORMATION.BytesNeeded = answer.bytesNeeded;
    }
    return answer.status;
}

void NdisFOidRequestComplete(NDIS_HANDLE NdisFilterHandle, NDIS_OID_REQUEST* OidRequest,
                             NDIS_STATUS Status) {
    SimModule* module = SimModuleOf(NdisFilterHandle, "NdisFOidRequestComplete: unknown module");
    SimCheckCallerIrql(0, "NdisFOidRequestComplete above DISPATCH_LEVEL");
    if (module == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> hold(module->lock);
    auto at = std::find(module->issued.begin(), module->issued.end(), OidRequest);
    if (at == module->issued.end()) {
        SimReportMisuse("NdisFOidRequestComplete of a request the protocol did not issue "
                        "(or completed twice)");
        return;
    }
    module->issued.erase(at);
    module->completions.push_back({OidRequest, Status});
}

void NdisFCancelOidRequest(NDIS_HANDLE NdisFilterHandle, void* RequestId) {
    SimModule* module = SimModuleOf(NdisFilterHandle, "NdisFCancelOidRequest: unknown module");
    SimCheckCallerIrql(0, "NdisFCancelOidRequest above DISPATCH_LEVEL");
    if (module != nullptr) {
        std::lock_guard<std::mutex> hold(module->lock);
        module->cancelledOids.push_back(RequestId);
    }
}

void NdisFIndicateStatus(NDIS_HANDLE NdisFilterHandle, NDIS_STATUS_INDICATION* StatusIndication) {
    SimModule* module = SimModuleOf(NdisFilterHandle, "NdisFIndicateStatus: unknown module");
    SimCheckCallerIrql(0, "NdisFIndicateStatus above DISPATCH_LEVEL");
    if (module != nullptr) {
        module->statusReached = StatusIndication;
    }
}

void NdisFDevicePnPEventNotify(NDIS_HANDLE NdisFilterHandle, NET_DEVICE_PNP_EVENT* Event) {
    SimModule* module = SimModuleOf(NdisFilterHandle, "NdisFDevicePnPEventNotify: unknown module");
    CheckPassive("NdisFDevicePnPEventNotify above PASSIVE_LEVEL");
    if (module != nullptr) {
        module->pnpReached = Event;
    }
}

NDIS_STATUS NdisFNetPnPEvent(NDIS_HANDLE NdisFilterHandle, NET_PNP_EVENT_NOTIFICATION* Event) {
    SimModule* module = SimModuleOf(NdisFilterHandle, "NdisFNetPnPEvent: unknown module");
    CheckPassive("NdisFNetPnPEvent above PASSIVE_LEVEL");
    if (module == nullptr) {
        return NDIS_STATUS_FAILURE;
    }
    module->pnpReached = Event;
    return module->answer.status;
}

} // extern "C"

// ---- Modules ----
// Attach, detach, pause, restart, module options, device and network PnP events, driver
// entry and unload and the control device's dispatch routines are documented at
// PASSIVE_LEVEL only, and are called there. The OID request path, status indications and
// cancels are documented at IRQL <= DISPATCH_LEVEL, and are called at either as the
// module's irqlSeed draws.
SimModule* SimNdis6Attach(const SimAdapter& adapter, const SimModuleOptions& options,
                          NDIS_STATUS* status) {
    if (g_simDriver.block == nullptr) {
        SimReportMisuse("model: attach without a registered filter driver");
        return nullptr;
    }
    auto* module = new SimModule();
    module->magic = SimModuleMagic;
    module->options = options;
    module->random.seed(options.seed);
    module->names[0] = adapter.moduleName;
    module->names[1] = adapter.instanceName;
    module->names[2] = adapter.miniportName;
    for (int i = 0; i < 3; ++i) {
        module->strings[i].Length = uint16_t(module->names[i].size() * 2);
        module->strings[i].MaximumLength = module->strings[i].Length;
        module->strings[i].Buffer =
            reinterpret_cast<decltype(module->strings[i].Buffer)>(&module->names[i][0]);
    }
    NDIS_FILTER_ATTACH_PARAMETERS parameters{};
    parameters.Header.Type = NDIS_OBJECT_TYPE_FILTER_ATTACH_PARAMETERS;
    parameters.Header.Revision = 1;
    parameters.Header.Size = sizeof parameters;
    parameters.IfIndex = adapter.ifIndex + 1000;
    parameters.FilterModuleGuidName = &module->strings[0];
    parameters.BaseMiniportIfIndex = adapter.ifIndex;
    parameters.BaseMiniportInstanceName = &module->strings[1];
    parameters.BaseMiniportName = &module->strings[2];
    parameters.MiniportMediaType = adapter.medium;
    SimCallAt(false, "FilterAttach", [&] {
        *status =
            g_simDriver.characteristics.AttachHandler(module, g_simDriver.context, &parameters);
    });
    if (*status != NDIS_STATUS_SUCCESS) {
        FreeModule(module);
        return nullptr;
    }
    if (module->context == nullptr) {
        SimReportMisuse("model: FilterAttach succeeded without NdisFSetAttributes");
    }
    module->state = FilterStatePaused;
    std::lock_guard<std::mutex> hold(g_simDriver.modulesLock);
    g_simDriver.modules.push_back(module);
    return module;
}

NDIS_STATUS SimNdis6Restart(SimModule* module, bool withAttributes, uint32_t* lookahead) {
    // NDIS_RESTART_ATTRIBUTES with a general attribute block in its Data.
    alignas(16)
        uint8_t storage[sizeof(NDIS_RESTART_ATTRIBUTES) + sizeof(NDIS_RESTART_GENERAL_ATTRIBUTES)] =
            {};
    auto* attributes = reinterpret_cast<NDIS_RESTART_ATTRIBUTES*>(storage);
    auto* general = reinterpret_cast<NDIS_RESTART_GENERAL_ATTRIBUTES*>(attributes->Data);
    attributes->Oid = OID_GEN_MINIPORT_RESTART_ATTRIBUTES;
    attributes->DataLength = sizeof *general;
    general->Header.Type = NDIS_OBJECT_TYPE_RESTART_GENERAL_ATTRIBUTES;
    general->Header.Revision = 1;
    general->Header.Size = sizeof *general;
    general->MtuSize = 1500;
    general->LookaheadSize = 1514;
    NDIS_FILTER_RESTART_PARAMETERS parameters{};
    parameters.MiniportMediaType = NdisMedium802_3;
    parameters.RestartAttributes = withAttributes ? attributes : nullptr;
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    uint32_t before = module->state;
    SimCallAt(false, "FilterRestart", [&] {
        status = g_simDriver.characteristics.RestartHandler(module->context, &parameters);
    });
    // NDIS restarts only a paused module; a test may try otherwise, and the filter must
    // refuse it.
    if (before != FilterStatePaused && status == NDIS_STATUS_SUCCESS) {
        SimReportMisuse("model: FilterRestart succeeded on a module that is not paused");
    }
    if (status == NDIS_STATUS_SUCCESS) {
        module->state = FilterStateRunning;
    }
    if (lookahead != nullptr) {
        *lookahead = general->LookaheadSize;
    }
    return status;
}

NDIS_STATUS SimNdis6Pause(SimModule* module) {
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    module->state = FilterStatePausing;
    SimCallAt(false, "FilterPause",
              [&] { status = g_simDriver.characteristics.PauseHandler(module->context, nullptr); });
    // A filter completes its pause (here: always at once) only with nothing of its own
    // outstanding; the model takes the module as paused whatever the status.
    if (status != NDIS_STATUS_SUCCESS) {
        SimReportMisuse("model: FilterPause failed; a pause cannot fail");
    }
    module->state = FilterStatePaused;
    return status;
}

void SimNdis6Detach(SimModule* module) {
    if (module->state == FilterStateRunning) {
        SimNdis6Pause(module);
    }
    // NDIS completes a pause only when every NBL is back with its owner.
    if (module->outstanding.load() != 0 || !module->issued.empty()) {
        SimReportMisuse("model: module detached with NBLs or OID requests outstanding");
    }
    SimCallAt(false, "FilterDetach",
              [&] { g_simDriver.characteristics.DetachHandler(module->context); });
    {
        std::lock_guard<std::mutex> hold(g_simDriver.modulesLock);
        auto& modules = g_simDriver.modules;
        modules.erase(std::remove(modules.begin(), modules.end(), module), modules.end());
    }
    FreeModule(module);
}

uint32_t SimNdis6RestartRequests(SimModule* module) {
    std::lock_guard<std::mutex> hold(module->lock);
    return module->restartRequests;
}

uint32_t SimNdis6State(SimModule* module) {
    return module->state;
}

// ---- OID requests from the protocol ----
void SimNdis6SetOidAnswer(SimModule* module, const SimOidAnswer& answer) {
    std::lock_guard<std::mutex> hold(module->lock);
    module->answer = answer;
}

NDIS_STATUS SimNdis6Request(SimModule* module, NDIS_OID_REQUEST* request) {
    {
        std::lock_guard<std::mutex> hold(module->lock);
        module->issued.push_back(request);
    }
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    SimCallAt(SimDrawDispatch(module), "FilterOidRequest", [&] {
        status = g_simDriver.characteristics.OidRequestHandler(module->context, request);
    });
    if (status != NDIS_STATUS_PENDING) {
        // Completed by the return value: it must not have been completed otherwise.
        std::lock_guard<std::mutex> hold(module->lock);
        auto at = std::find(module->issued.begin(), module->issued.end(), request);
        if (at == module->issued.end()) {
            SimReportMisuse("model: an OID request completed both by return and by call");
        } else {
            module->issued.erase(at);
            module->completions.push_back({request, status});
        }
    }
    return status;
}

void SimNdis6CompleteOid(SimModule* module) {
    NDIS_OID_REQUEST* clone;
    SimOidAnswer answer;
    {
        std::lock_guard<std::mutex> hold(module->lock);
        clone = module->pendingAtMiniport;
        module->pendingAtMiniport = nullptr;
        answer = module->answer;
    }
    if (clone == nullptr) {
        SimReportMisuse("model: no OID request pending at the miniport");
        return;
    }
    if (clone->RequestType == NdisRequestMethod) {
        clone->DATA.METHOD_INFORMATION.OutputBufferLength = answer.outputBufferLength;
        clone->DATA.METHOD_INFORMATION.BytesWritten = answer.bytesWritten;
        clone->DATA.METHOD_INFORMATION.BytesRead = answer.bytesRead;
        clone->DATA.METHOD_INFORMATION.BytesNeeded = answer.bytesNeeded;
    } else if (clone->RequestType == NdisRequestSetInformation) {
        clone->DATA.SET_INFORMATION.BytesRead = answer.bytesRead;
        clone->DATA.SET_INFORMATION.BytesNeeded = answer.bytesNeeded;
    } else {
        clone->DATA.QUERY_INFORMATION.BytesWritten = answer.bytesWritten;
        clone->DATA.QUERY_INFORMATION.BytesNeeded = answer.bytesNeeded;
    }
    SimCallAt(SimDrawDispatch(module), "FilterOidRequestComplete", [&] {
        g_simDriver.characteristics.OidRequestCompleteHandler(module->context, clone,
                                                              answer.status);
    });
}

std::vector<SimOidCompletion> SimNdis6OidCompletions(SimModule* module) {
    std::lock_guard<std::mutex> hold(module->lock);
    return module->completions;
}

void SimNdis6CancelOid(SimModule* module, void* requestId) {
    SimCallAt(SimDrawDispatch(module), "FilterCancelOidRequest", [&] {
        g_simDriver.characteristics.CancelOidRequestHandler(module->context, requestId);
    });
}

std::vector<void*> SimNdis6CancelledOids(SimModule* module) {
    std::lock_guard<std::mutex> hold(module->lock);
    return module->cancelledOids;
}

size_t SimNdis6OidsSeen(SimModule* module) {
    std::lock_guard<std::mutex> hold(module->lock);
    return module->oidsSeen;
}

// ---- Status and PnP ----
void* SimNdis6IndicateStatus(SimModule* module, NDIS_STATUS_INDICATION* indication) {
    module->statusReached = nullptr;
    SimCallAt(SimDrawDispatch(module), "FilterStatus",
              [&] { g_simDriver.characteristics.StatusHandler(module->context, indication); });
    return module->statusReached;
}

void* SimNdis6DevicePnP(SimModule* module, NET_DEVICE_PNP_EVENT* event) {
    module->pnpReached = nullptr;
    SimCallAt(false, "FilterDevicePnPEventNotify", [&] {
        g_simDriver.characteristics.DevicePnPEventNotifyHandler(module->context, event);
    });
    return module->pnpReached;
}

NDIS_STATUS SimNdis6NetPnP(SimModule* module, NET_PNP_EVENT_NOTIFICATION* event, NDIS_STATUS answer,
                           void** reached) {
    module->pnpReached = nullptr;
    module->answer.status = answer;
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    SimCallAt(false, "FilterNetPnPEvent", [&] {
        status = g_simDriver.characteristics.NetPnPEventHandler(module->context, event);
    });
    *reached = module->pnpReached;
    return status;
}
