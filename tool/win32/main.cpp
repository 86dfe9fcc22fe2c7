// Quenthorpe: the windowless operations tool started by the product's installer and
// uninstaller. It runs the actions its switches name and always exits with 0.
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "../quenthorpe/core_service.h"
#include "../quenthorpe/dispatch.h"
#include "../quenthorpe/file_list.h"
#include "net_install.h"
#include "win32_file_list.h"
#include "win32_service_host.h"

namespace {

class Win32Actions : public ToolActions {
  public:
    int32_t SetupFilterDriver(bool install) override { return ::SetupFilterDriver(install); }
    int32_t SetupCoreService(bool install) override {
        Win32ServiceHost host;
        return ::SetupCoreService(host, install);
    }
    int32_t GenerateFileList(const std::wstring& base, const std::wstring& subdirectory,
                             const std::wstring& listFile) override {
        Win32FileList files;
        return ::GenerateFileList(files, base, subdirectory, listFile);
    }
    int32_t DeleteFileList(const std::wstring& listFile) override {
        Win32FileList files;
        return ::DeleteFileList(files, listFile);
    }
};

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    // The runtime's argument vector, split by its standard rules.
    std::vector<std::wstring> arguments(__wargv, __wargv + __argc);
    Win32Actions actions;
    return DispatchArguments(arguments, actions);
}
