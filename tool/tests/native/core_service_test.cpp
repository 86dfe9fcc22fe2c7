#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../../quenthorpe/core_service.h"
#include "../../quenthorpe/driver_paths.h"

namespace {

class FakeServiceHost : public ServiceHost {
  public:
    std::wstring ExecutableDirectory() override { return L"C:\\Program Files\\Merrowfaldine"; }
    bool OpenServiceManager() override { return managerOpens; }
    bool ServiceExistsAndClose(const std::wstring& name) override {
        EXPECT_EQ(name, L"MerrowfaldineCore");
        return serviceExists;
    }
    bool LoadServiceLibrary(const std::wstring& path) override {
        loadedPath = path;
        ++loads;
        return bothExports;
    }
    int32_t CallInstallService(const std::wstring& libraryPath) override {
        calls.push_back(L"install " + libraryPath);
        serviceExists = true;
        return 42;
    }
    int32_t CallUnInstallService() override {
        calls.push_back(L"uninstall");
        serviceExists = false;
        return 43;
    }
    void UnloadServiceLibrary() override { ++unloads; }

    bool managerOpens = true;
    bool serviceExists = false;
    bool bothExports = true;
    int loads = 0;
    int unloads = 0;
    std::wstring loadedPath;
    std::vector<std::wstring> calls;
};

TEST(CoreService, InstallCallsTheLibraryOnlyWhileTheServiceIsMissing) {
    FakeServiceHost host;
    EXPECT_EQ(SetupCoreService(host, true), 42);
    EXPECT_EQ(host.loadedPath, L"C:\\Program Files\\Merrowfaldine\\MerrowfaldineCore.dll");
    EXPECT_EQ(host.calls.back(), L"install " + host.loadedPath);
    EXPECT_EQ(host.unloads, 1);
    EXPECT_EQ(SetupCoreService(host, true), 0) << "the second install finds the service";
    EXPECT_EQ(host.loads, 1);
}

TEST(CoreService, RemoveNeedsTheManagerAndTheService) {
    FakeServiceHost host;
    EXPECT_EQ(SetupCoreService(host, false), 0);
    EXPECT_EQ(host.loads, 0) << "never registered: not loaded";
    host.serviceExists = true;
    host.managerOpens = false;
    EXPECT_EQ(SetupCoreService(host, false), 0);
    EXPECT_EQ(host.loads, 0);
    host.managerOpens = true;
    EXPECT_EQ(SetupCoreService(host, false), 43);
    EXPECT_EQ(host.calls, std::vector<std::wstring>{L"uninstall"});
}

TEST(CoreService, InstallWithoutTheManagerCallsTheLibraryAllTheSame) {
    FakeServiceHost host;
    host.managerOpens = false;
    host.serviceExists = true;
    EXPECT_EQ(SetupCoreService(host, true), 42);
}

TEST(CoreService, LibraryMissingAnExportIsNeverCalled) {
    FakeServiceHost host;
    host.bothExports = false;
    EXPECT_EQ(SetupCoreService(host, true), 0);
    host.serviceExists = true;
    EXPECT_EQ(SetupCoreService(host, false), 0);
    EXPECT_TRUE(host.calls.empty());
}

TEST(DriverPaths, PackageFolderFollowsTheWindowsVersion) {
    DriverPaths v1 = ComposeDriverPaths(L"C:\\Program Files\\M\\Quenthorpe.exe", true);
    EXPECT_TRUE(v1.twoInfMode);
    EXPECT_EQ(v1.serviceInf, L"C:\\Program Files\\M\\driver\\v1\\Merrowfaldine.inf");
    EXPECT_EQ(v1.miniportInf, L"C:\\Program Files\\M\\driver\\v1\\Merrowfaldine_m.inf");
    DriverPaths v2 = ComposeDriverPaths(L"C:\\Program Files\\M\\Quenthorpe.exe", false);
    EXPECT_FALSE(v2.twoInfMode);
    EXPECT_EQ(v2.serviceInf, L"C:\\Program Files\\M\\driver\\v2\\Merrowfaldine.inf");
    EXPECT_TRUE(v2.miniportInf.empty());
}

TEST(DriverPaths, Win32ErrorsBecomeHresults) {
    EXPECT_EQ(HresultFromWin32(0), 0);
    EXPECT_EQ(uint32_t(HresultFromWin32(2)), 0x80070002u);
    EXPECT_EQ(uint32_t(HresultFromWin32(0xE0000102)), 0xE0000102u) << "negative stays";
    EXPECT_EQ(uint32_t(HresultFromWin32(0x12345)), 0x80072345u);
}

} // namespace
