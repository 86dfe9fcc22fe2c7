#include "dispatch.h"

namespace {

const wchar_t* const SwitchInstall = L"/INSTALL";
const wchar_t* const SwitchUninstall = L"/UNINSTALL";
const wchar_t* const SwitchInstallService = L"/INSTALL_SRV";
const wchar_t* const SwitchUninstallService = L"/UNINSTALL_SRV";
const wchar_t* const SwitchGenerateList = L"/GEN_FILE_LIST";
const wchar_t* const SwitchDeleteList = L"/DEL_FILE_LIST";

const size_t GenerateListOperands = 3;
const size_t DeleteListOperands = 1;

} // namespace

int DispatchArguments(const std::vector<std::wstring>& arguments, ToolActions& actions) {
    const size_t count = arguments.size();
    for (size_t i = 1; i < count; ++i) {
        const std::wstring& a = arguments[i];
        // Switches are compared exactly: another case or anything appended matches nothing.
        if (a == SwitchUninstall) {
            actions.SetupFilterDriver(false);
        } else if (a == SwitchInstall) {
            actions.SetupFilterDriver(true);
        }
        if (a == SwitchUninstallService) {
            actions.SetupCoreService(false);
        } else if (a == SwitchInstallService) {
            actions.SetupCoreService(true);
        } else if (a == SwitchGenerateList) {
            // Operands are consumed whatever they look like. A switch without all of its
            // operands is malformed and skipped; nothing past the vector is read.
            if (count - 1 - i >= GenerateListOperands) {
                actions.GenerateFileList(arguments[i + 1], arguments[i + 2], arguments[i + 3]);
            }
            i += GenerateListOperands;
        } else if (a == SwitchDeleteList) {
            if (count - 1 - i >= DeleteListOperands) {
                actions.DeleteFileList(arguments[i + 1]);
            }
            i += DeleteListOperands;
        }
    }
    return 0;
}
