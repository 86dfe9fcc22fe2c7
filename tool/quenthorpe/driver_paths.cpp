#include "driver_paths.h"

std::wstring DirectoryOf(const std::wstring& path) {
    size_t last = path.rfind(L'\\');
    return last == std::wstring::npos ? std::wstring() : path.substr(0, last);
}

DriverPaths ComposeDriverPaths(const std::wstring& executablePath, bool ndis5) {
    DriverPaths paths;
    paths.twoInfMode = ndis5;
    paths.driverDir = DirectoryOf(executablePath) + L"\\" + (ndis5 ? L"driver\\v1" : L"driver\\v2");
    paths.serviceInf = paths.driverDir + L"\\" + InfBaseName + L".inf";
    if (ndis5) {
        paths.miniportInf = paths.driverDir + L"\\" + InfBaseName + L"_m.inf";
    }
    return paths;
}

int32_t HresultFromWin32(uint32_t error) {
    int32_t value = int32_t(error);
    if (value <= 0) {
        return value;
    }
    return int32_t(0x80070000u | (error & 0xFFFFu));
}
