// The service control manager and the service library on Windows.
#pragma once

#include <windows.h>

#include "../quenthorpe/core_service.h"

class Win32ServiceHost : public ServiceHost {
  public:
    std::wstring ExecutableDirectory() override;
    bool OpenServiceManager() override;
    bool ServiceExistsAndClose(const std::wstring& name) override;
    bool LoadServiceLibrary(const std::wstring& path) override;
    int32_t CallInstallService(const std::wstring& libraryPath) override;
    int32_t CallUnInstallService() override;
    void UnloadServiceLibrary() override;

  private:
    typedef int(WINAPI* InstallServiceEntry)(const wchar_t* libraryPath);
    typedef int(WINAPI* UnInstallServiceEntry)();

    SC_HANDLE manager_ = nullptr;
    HMODULE library_ = nullptr;
    InstallServiceEntry install_ = nullptr;
    UnInstallServiceEntry uninstall_ = nullptr;
};
