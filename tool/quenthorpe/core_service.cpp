#include "core_service.h"

int32_t SetupCoreService(ServiceHost& host, bool install) {
    const std::wstring libraryPath = host.ExecutableDirectory() + L"\\" + CoreLibraryName;
    if (host.OpenServiceManager()) {
        bool exists = host.ServiceExistsAndClose(CoreServiceName);
        // Installed already, or nothing to remove: the library is not loaded.
        if (install == exists) {
            return 0;
        }
    } else if (!install) {
        return 0; // without the manager, removal cannot tell whether there is a service
    }
    if (!host.LoadServiceLibrary(libraryPath)) {
        return 0;
    }
    int32_t result = install ? host.CallInstallService(libraryPath) : host.CallUnInstallService();
    host.UnloadServiceLibrary();
    return result;
}
