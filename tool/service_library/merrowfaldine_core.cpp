// Stand-in for the product's service library: the least that lets the tool's service
// switches run for real. InstallService registers a demand-start Windows service named
// "MerrowfaldineCore"; UnInstallService deletes it. Each returns 1 on success, 0 otherwise.
#include <windows.h>

#include <string>

namespace {
const wchar_t* const ServiceName = L"MerrowfaldineCore";
} // namespace

extern "C" __declspec(dllexport) int WINAPI InstallService(const wchar_t* libraryPath) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr) {
        return 0;
    }
    std::wstring command = L"rundll32.exe \"" + std::wstring(libraryPath) + L"\",ServiceMain";
    SC_HANDLE service =
        CreateServiceW(manager, ServiceName, ServiceName, SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                       command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    int result = service != nullptr ? 1 : 0;
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return result;
}

extern "C" __declspec(dllexport) int WINAPI UnInstallService() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        return 0;
    }
    SC_HANDLE service = OpenServiceW(manager, ServiceName, DELETE);
    int result = 0;
    if (service != nullptr) {
        result = DeleteService(service) ? 1 : 0;
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return result;
}
