#include "win32_service_host.h"

#include "../quenthorpe/driver_paths.h"
#include "ansi.h"

std::wstring Win32ServiceHost::ExecutableDirectory() {
    return DirectoryOf(ExecutablePath());
}

bool Win32ServiceHost::OpenServiceManager() {
    manager_ = OpenSCManagerW(nullptr, nullptr, READ_CONTROL);
    return manager_ != nullptr;
}

bool Win32ServiceHost::ServiceExistsAndClose(const std::wstring& name) {
    SC_HANDLE service = OpenServiceW(manager_, name.c_str(), SERVICE_QUERY_CONFIG);
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager_);
    manager_ = nullptr;
    return service != nullptr;
}

bool Win32ServiceHost::LoadServiceLibrary(const std::wstring& path) {
    library_ = LoadLibraryW(path.c_str());
    if (library_ == nullptr) {
        return false;
    }
    install_ = reinterpret_cast<InstallServiceEntry>(
        reinterpret_cast<void*>(GetProcAddress(library_, "InstallService")));
    uninstall_ = reinterpret_cast<UnInstallServiceEntry>(
        reinterpret_cast<void*>(GetProcAddress(library_, "UnInstallService")));
    if (install_ == nullptr || uninstall_ == nullptr) {
        UnloadServiceLibrary();
        return false;
    }
    return true;
}

int32_t Win32ServiceHost::CallInstallService(const std::wstring& libraryPath) {
    return install_(libraryPath.c_str());
}

int32_t Win32ServiceHost::CallUnInstallService() {
    return uninstall_();
}

void Win32ServiceHost::UnloadServiceLibrary() {
    if (library_ != nullptr) {
        FreeLibrary(library_);
    }
    library_ = nullptr;
    install_ = nullptr;
    uninstall_ = nullptr;
}
