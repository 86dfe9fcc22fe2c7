#include "win32_file_list.h"

#include <windows.h>

#include "ansi.h"

bool Win32FileList::ListDirectory(const std::wstring& directory,
                                  std::vector<DirectoryEntry>* entries) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((directory + L"*.*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    do {
        bool isDirectory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entries->push_back({found.cFileName, isDirectory});
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return true;
}

bool Win32FileList::RemoveFile(const std::wstring& path) {
    return DeleteFileW(path.c_str()) != 0;
}

bool Win32FileList::RemoveFolder(const std::wstring& path) {
    return RemoveDirectoryW(path.c_str()) != 0;
}

bool Win32FileList::CreateListFile(const std::wstring& path) {
    list_ = _wfopen(path.c_str(), L"wb");
    return list_ != nullptr;
}

void Win32FileList::WriteListFile(const std::string& bytes) {
    fwrite(bytes.data(), 1, bytes.size(), list_);
}

void Win32FileList::CloseListFile() {
    if (list_ != nullptr) {
        fclose(list_);
        list_ = nullptr;
    }
}

bool Win32FileList::ReadFile(const std::wstring& path, std::string* bytes) {
    FILE* in = _wfopen(path.c_str(), L"rb");
    if (in == nullptr) {
        return false;
    }
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, in)) != 0) {
        bytes->append(chunk, got);
    }
    fclose(in);
    return true;
}

std::string Win32FileList::ToAnsi(const std::wstring& text) {
    return ToThreadAnsi(text);
}

std::wstring Win32FileList::FromAnsi(const std::string& bytes) {
    return FromThreadAnsi(bytes);
}
