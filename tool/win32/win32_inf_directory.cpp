#include "win32_inf_directory.h"

#include <windows.h>

#include "ansi.h"

std::wstring Win32InfDirectory::Path() {
    wchar_t windows[MAX_PATH] = {};
    UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    return std::wstring(windows, length < MAX_PATH ? length : 0) + L"\\inf\\";
}

bool Win32InfDirectory::FindInfFiles(std::vector<std::wstring>* names) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((Path() + L"*.inf").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    do {
        names->push_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return true;
}

bool Win32InfDirectory::MapFile(const std::wstring& path, std::string* bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD size = GetFileSize(file, nullptr);
    bool mapped = false;
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, size, nullptr);
    if (mapping != nullptr) {
        const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, size);
        if (view != nullptr) {
            bytes->assign(static_cast<const char*>(view), size);
            UnmapViewOfFile(view);
            mapped = true;
        }
        CloseHandle(mapping);
    }
    CloseHandle(file);
    return mapped;
}

bool Win32InfDirectory::RemoveFile(const std::wstring& path) {
    return DeleteFileW(path.c_str()) != 0;
}

std::string Win32InfDirectory::ToAnsi(const std::wstring& text) {
    return ToThreadAnsi(text);
}
