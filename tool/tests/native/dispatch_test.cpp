#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../../quenthorpe/dispatch.h"

namespace {

class RecordingActions : public ToolActions {
  public:
    int32_t SetupFilterDriver(bool install) override {
        calls.push_back(install ? L"driver install" : L"driver remove");
        return 1;
    }
    int32_t SetupCoreService(bool install) override {
        calls.push_back(install ? L"service install" : L"service remove");
        return 5;
    }
    int32_t GenerateFileList(const std::wstring& base, const std::wstring& sub,
                             const std::wstring& list) override {
        calls.push_back(L"generate " + base + L"|" + sub + L"|" + list);
        return 1;
    }
    int32_t DeleteFileList(const std::wstring& list) override {
        calls.push_back(L"delete " + list);
        return 1;
    }
    std::vector<std::wstring> calls;
};

std::vector<std::wstring> Dispatch(std::vector<std::wstring> arguments) {
    arguments.insert(arguments.begin(), L"C:\\Tools\\Quenthorpe.exe");
    RecordingActions actions;
    EXPECT_EQ(DispatchArguments(arguments, actions), 0);
    return actions.calls;
}

using Calls = std::vector<std::wstring>;

TEST(Dispatch, NothingOrUnknownArgumentsDoNothing) {
    EXPECT_TRUE(Dispatch({}).empty());
    EXPECT_TRUE(Dispatch({L"/install", L"INSTALL", L"/INSTALLX", L" /INSTALL", L"/?"}).empty());
}

TEST(Dispatch, ActionsRunInCommandLineOrder) {
    EXPECT_EQ(Dispatch({L"/INSTALL", L"/INSTALL_SRV"}),
              (Calls{L"driver install", L"service install"}));
    EXPECT_EQ(Dispatch({L"/INSTALL", L"/UNINSTALL"}), (Calls{L"driver install", L"driver remove"}));
    EXPECT_EQ(Dispatch({L"/UNINSTALL_SRV", L"/UNINSTALL_SRV"}),
              (Calls{L"service remove", L"service remove"}));
    EXPECT_EQ(Dispatch({L"/GEN_FILE_LIST", L"C:\\App", L"bin", L"C:\\list.txt", L"/INSTALL"}),
              (Calls{L"generate C:\\App|bin|C:\\list.txt", L"driver install"}));
}

TEST(Dispatch, OperandsAreConsumedEvenWhenTheyLookLikeSwitches) {
    EXPECT_EQ(Dispatch({L"/DEL_FILE_LIST", L"/INSTALL"}), (Calls{L"delete /INSTALL"}));
    EXPECT_EQ(
        Dispatch({L"/GEN_FILE_LIST", L"/INSTALL", L"/UNINSTALL", L"/INSTALL_SRV", L"/UNINSTALL"}),
        (Calls{L"generate /INSTALL|/UNINSTALL|/INSTALL_SRV", L"driver remove"}));
}

TEST(Dispatch, SwitchesWithoutTheirOperandsAreSkipped) {
    EXPECT_TRUE(Dispatch({L"/DEL_FILE_LIST"}).empty());
    EXPECT_TRUE(Dispatch({L"/GEN_FILE_LIST", L"C:\\App", L"bin"}).empty());
    EXPECT_EQ(Dispatch({L"/INSTALL", L"/GEN_FILE_LIST", L"a"}), (Calls{L"driver install"}));
}

} // namespace
