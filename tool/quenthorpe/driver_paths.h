// Where the driver package lies beside the tool, and the names of its INF files.
#pragma once

#include <cstdint>
#include <string>

const wchar_t* const ComponentId = L"MS_Merrowfaldine";
const wchar_t* const InfBaseName = L"Merrowfaldine";
const wchar_t* const LockClientName = L"Merrowfaldine";

struct DriverPaths {
    bool twoInfMode;          // the NDIS 5 build: a service INF and a miniport INF
    std::wstring driverDir;   // ExeDir\driver\v1 or ExeDir\driver\v2
    std::wstring serviceInf;  // driverDir\Merrowfaldine.inf
    std::wstring miniportInf; // driverDir\Merrowfaldine_m.inf (two-INF mode only)
};

// The executable's full path cut at its last backslash.
std::wstring DirectoryOf(const std::wstring& path);

// `ndis5`: the Windows major version is 5.
DriverPaths ComposeDriverPaths(const std::wstring& executablePath, bool ndis5);

// A Win32 error as an HRESULT: zero or negative values stay, others get facility WIN32.
int32_t HresultFromWin32(uint32_t error);
