// Registration of the user-mode service through the service library that ships beside
// the tool. The library creates and deletes the service itself; the tool only decides,
// from the service's presence, whether to call it.
#pragma once

#include <cstdint>
#include <string>

const wchar_t* const CoreLibraryName = L"MerrowfaldineCore.dll";
const wchar_t* const CoreServiceName = L"MerrowfaldineCore";

class ServiceHost {
  public:
    virtual ~ServiceHost() = default;
    virtual std::wstring ExecutableDirectory() = 0;
    // Opens the local service control manager for READ_CONTROL; false when it cannot.
    virtual bool OpenServiceManager() = 0;
    // With the manager open: whether the service exists. Closes every handle.
    virtual bool ServiceExistsAndClose(const std::wstring& name) = 0;
    // Loads the library by full path and binds both exports; false (with the library
    // unloaded again) when the file does not load or an export is missing.
    virtual bool LoadServiceLibrary(const std::wstring& path) = 0;
    virtual int32_t CallInstallService(const std::wstring& libraryPath) = 0;
    virtual int32_t CallUnInstallService() = 0;
    virtual void UnloadServiceLibrary() = 0;
};

// The library entry's result, or 0 when no entry was called.
int32_t SetupCoreService(ServiceHost& host, bool install);
