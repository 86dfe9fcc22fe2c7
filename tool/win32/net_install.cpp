#include "net_install.h"

#include <initguid.h>

#include <windows.h>

#include <devguid.h>
#include <excpt.h>
#include <netcfgx.h>
#include <objbase.h>
#include <setupapi.h>

#include <cstdlib>
#include <string>

#include "../quenthorpe/driver_paths.h"
#include "../quenthorpe/oem_inf_purge.h"
#include "ansi.h"
#include "win32_inf_directory.h"

namespace {

const HRESULT NetcfgRebootRequired = 0x0004A020;       // NETCFG_S_REBOOT
const HRESULT NetcfgNoWriteLock = HRESULT(0x8004A024); // NETCFG_E_NO_WRITE_LOCK
const DWORD WriteLockTimeoutMs = 5000;
// The miniport INF of the two-INF package could not be staged.
const HRESULT MiniportInfNotStaged = 1;

bool IsNdis5Platform() {
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    return GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version)) &&
           version.dwMajorVersion == 5;
}

template <typename T> void Release(T*& object) {
    if (object != nullptr) {
        object->Release();
        object = nullptr;
    }
}

// Opens the network configuration with its write lock held.
HRESULT OpenNetConfig(const wchar_t* clientName, INetCfg** netCfg, LPWSTR* lockHolder) {
    *netCfg = nullptr;
    *lockHolder = nullptr;
    HRESULT hr = CoInitialize(nullptr);
    if (hr != S_OK && hr != S_FALSE) {
        return hr;
    }
    INetCfg* config = nullptr;
    INetCfgLock* lock = nullptr;
    hr = CoCreateInstance(CLSID_CNetCfg, nullptr, CLSCTX_INPROC_SERVER, IID_INetCfg,
                          reinterpret_cast<void**>(&config));
    if (SUCCEEDED(hr)) {
        hr = config->QueryInterface(IID_INetCfgLock, reinterpret_cast<void**>(&lock));
    }
    if (SUCCEEDED(hr)) {
        hr = lock->AcquireWriteLock(WriteLockTimeoutMs, clientName, lockHolder);
        if (hr == S_FALSE) {
            hr = NetcfgNoWriteLock; // another client holds it
        }
    }
    if (SUCCEEDED(hr)) {
        hr = config->Initialize(nullptr);
        if (SUCCEEDED(hr)) {
            config->AddRef();
            *netCfg = config;
        } else {
            lock->ReleaseWriteLock();
        }
    }
    Release(lock);
    Release(config);
    if (hr != S_OK) {
        CoUninitialize();
    }
    return hr;
}

HRESULT CloseNetConfig(INetCfg* netCfg) {
    HRESULT hr = netCfg->Uninitialize();
    if (hr == S_OK) {
        INetCfgLock* lock = nullptr;
        if (SUCCEEDED(netCfg->QueryInterface(IID_INetCfgLock, reinterpret_cast<void**>(&lock)))) {
            hr = lock->ReleaseWriteLock();
            lock->Release();
        }
    }
    netCfg->Release();
    CoUninitialize();
    return hr;
}

void FreeLockHolder(HRESULT hr, LPWSTR lockHolder) {
    if (hr == NetcfgNoWriteLock && lockHolder != nullptr) {
        CoTaskMemFree(lockHolder);
    }
}

// Stages an INF in the driver store from its own directory.
BOOL CopyOemInf(const std::wstring& infPath) {
    wchar_t drive[_MAX_DRIVE] = {};
    wchar_t directory[_MAX_DIR] = {};
    _wsplitpath(infPath.c_str(), drive, directory, nullptr, nullptr);
    std::wstring media = std::wstring(drive) + directory;
    return SetupCopyOEMInfW(infPath.c_str(), media.c_str(), SPOST_PATH, 0, nullptr, 0, nullptr,
                            nullptr);
}

HRESULT AddNetComponent(INetCfg* netCfg, const wchar_t* id, const GUID& classGuid) {
    OBO_TOKEN token = {};
    token.Type = OBO_USER;
    INetCfgClassSetup* setup = nullptr;
    HRESULT hr = netCfg->QueryNetCfgClass(&classGuid, IID_INetCfgClassSetup,
                                          reinterpret_cast<void**>(&setup));
    if (SUCCEEDED(hr)) {
        INetCfgComponent* component = nullptr;
        hr = setup->Install(id, &token, 0, 0, nullptr, nullptr, &component);
        if (hr == S_OK && component != nullptr) {
            component->Release();
        }
        setup->Release();
    }
    return hr;
}

HRESULT InstallNetComponent(INetCfg* netCfg, const wchar_t* id, const GUID& classGuid,
                            const std::wstring* infPath) {
    if (infPath != nullptr && !CopyOemInf(*infPath)) {
        HRESULT hr = HresultFromWin32(GetLastError());
        if (hr != 0) {
            return hr;
        }
    }
    HRESULT hr = AddNetComponent(netCfg, id, classGuid);
    if (hr == S_OK) {
        hr = netCfg->Apply();
    }
    return hr;
}

void PurgeStaleInfs() {
    Win32InfDirectory directory;
    PurgeOemInfs(directory, InfBaseName);
}

HRESULT InstallWithConfig(const std::wstring& serviceInf) {
    INetCfg* netCfg = nullptr;
    LPWSTR lockHolder = nullptr;
    HRESULT hr = OpenNetConfig(LockClientName, &netCfg, &lockHolder);
    if (hr == S_OK) {
        hr = InstallNetComponent(netCfg, ComponentId, GUID_DEVCLASS_NETSERVICE, &serviceInf);
        if (hr == S_OK || hr == NetcfgRebootRequired) {
            hr = netCfg->Apply();
        }
        CloseNetConfig(netCfg);
    } else {
        FreeLockHolder(hr, lockHolder);
    }
    return hr;
}

HRESULT InstallFromInf(const DriverPaths& paths) {
    PurgeStaleInfs();
    return InstallWithConfig(paths.serviceInf);
}

HRESULT InstallFromInfPair(const DriverPaths& paths) {
    PurgeStaleInfs();
    if (!CopyOemInf(paths.miniportInf)) {
        return MiniportInfNotStaged;
    }
    return InstallWithConfig(paths.serviceInf);
}

bool RemoveNetComponent(const wchar_t* id) {
    INetCfg* netCfg = nullptr;
    LPWSTR lockHolder = nullptr;
    HRESULT hr = OpenNetConfig(LockClientName, &netCfg, &lockHolder);
    if (hr != S_OK) {
        FreeLockHolder(hr, lockHolder);
        return false;
    }
    bool removed = false;
    INetCfgComponent* component = nullptr;
    INetCfgClass* netClass = nullptr;
    INetCfgClassSetup* setup = nullptr;
    GUID classGuid;
    if (netCfg->FindComponent(id, &component) == S_OK &&
        SUCCEEDED(component->GetClassGuid(&classGuid)) &&
        SUCCEEDED(netCfg->QueryNetCfgClass(&classGuid, IID_INetCfgClass,
                                           reinterpret_cast<void**>(&netClass))) &&
        SUCCEEDED(
            netClass->QueryInterface(IID_INetCfgClassSetup, reinterpret_cast<void**>(&setup)))) {
        OBO_TOKEN token = {};
        token.Type = OBO_USER;
        hr = setup->DeInstall(component, &token, nullptr);
        if (hr == S_OK || hr == NetcfgRebootRequired) {
            HRESULT applied = netCfg->Apply();
            removed = applied == S_OK || applied == NetcfgRebootRequired;
        }
    }
    Release(setup);
    Release(netClass);
    Release(component);
    CloseNetConfig(netCfg);
    return removed;
}

// A processor or system exception during an installation ends that step as failed.
bool g_installFaulted;
const DriverPaths* g_guardedPaths;
HRESULT g_guardedResult;

} // namespace

extern "C" long QuenthorpeInstallFault(EXCEPTION_POINTERS*) {
    g_installFaulted = true;
    return EXCEPTION_EXECUTE_HANDLER;
}

namespace {

__attribute__((noinline)) void RunGuardedInstall() {
    __try1(QuenthorpeInstallFault) g_guardedResult = g_guardedPaths->twoInfMode
                                                         ? InstallFromInfPair(*g_guardedPaths)
                                                         : InstallFromInf(*g_guardedPaths);
    __except1
}

} // namespace

int32_t SetupFilterDriver(bool install) {
    DriverPaths paths = ComposeDriverPaths(ExecutablePath(), IsNdis5Platform());
    if (!install) {
        return RemoveNetComponent(ComponentId) ? 1 : 0;
    }
    g_installFaulted = false;
    g_guardedPaths = &paths;
    g_guardedResult = E_FAIL;
    RunGuardedInstall();
    return !g_installFaulted && g_guardedResult == S_OK ? 1 : 0;
}
