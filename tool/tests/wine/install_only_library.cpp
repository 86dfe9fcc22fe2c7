// A service library that lacks UnInstallService: the tool must call neither entry. Its
// InstallService leaves a marker file beside itself, so a test can see whether it ran.
#include <windows.h>

#include <string>

extern "C" __declspec(dllexport) int WINAPI InstallService(const wchar_t* libraryPath) {
    std::wstring marker = std::wstring(libraryPath) + L".called";
    HANDLE file = CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    return 7;
}
