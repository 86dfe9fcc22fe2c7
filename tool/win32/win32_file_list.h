// The installed-file list on the Windows file system.
#pragma once

#include <cstdio>

#include "../quenthorpe/file_list.h"

class Win32FileList : public FileListPlatform {
  public:
    bool ListDirectory(const std::wstring& directory,
                       std::vector<DirectoryEntry>* entries) override;
    bool RemoveFile(const std::wstring& path) override;
    bool RemoveFolder(const std::wstring& path) override;
    bool CreateListFile(const std::wstring& path) override;
    void WriteListFile(const std::string& bytes) override;
    void CloseListFile() override;
    bool ReadFile(const std::wstring& path, std::string* bytes) override;
    std::string ToAnsi(const std::wstring& text) override;
    std::wstring FromAnsi(const std::string& bytes) override;

  private:
    FILE* list_ = nullptr;
};
