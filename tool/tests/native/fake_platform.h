// An in-memory file system standing in for Windows in the tool's logic tests. Paths use
// backslashes; directories enumerate their entries in the order they were created.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "../../quenthorpe/file_list.h"
#include "../../quenthorpe/oem_inf_purge.h"

class FakeFileSystem : public FileListPlatform {
  public:
    void AddDirectory(const std::wstring& path);
    void AddFile(const std::wstring& path, const std::string& content = "x");
    bool Exists(const std::wstring& path) const { return nodes_.count(path) != 0; }
    std::string Content(const std::wstring& path) const { return nodes_.at(path).content; }
    void SetReadOnly(const std::wstring& path) { nodes_[path].readOnly = true; }

    bool ListDirectory(const std::wstring& directory,
                       std::vector<DirectoryEntry>* entries) override;
    bool RemoveFile(const std::wstring& path) override;
    bool RemoveFolder(const std::wstring& path) override;
    bool CreateListFile(const std::wstring& path) override;
    void WriteListFile(const std::string& bytes) override;
    void CloseListFile() override {}
    bool ReadFile(const std::wstring& path, std::string* bytes) override;
    std::string ToAnsi(const std::wstring& text) override;
    std::wstring FromAnsi(const std::string& bytes) override;

    std::vector<std::wstring> removed; // in removal order
    std::wstring listPath;
    bool refuseListFile = false;
    int enumerations = 0;

  private:
    struct Node {
        bool directory = false;
        bool readOnly = false;
        std::string content;
        std::vector<std::wstring> children; // names, creation order
    };
    static std::wstring Parent(const std::wstring& path);
    std::map<std::wstring, Node> nodes_;
};

// The INF directory of a fake Windows installation.
class FakeInfDirectory : public InfDirectory {
  public:
    explicit FakeInfDirectory(FakeFileSystem& files) : files_(files) {
        files_.AddDirectory(L"C:\\Windows");
        files_.AddDirectory(L"C:\\Windows\\inf");
    }
    void AddInf(const std::wstring& name, const std::string& content) {
        files_.AddFile(L"C:\\Windows\\inf\\" + name, content);
        names_.push_back(name);
    }
    std::wstring Path() override { return L"C:\\Windows\\inf\\"; }
    bool FindInfFiles(std::vector<std::wstring>* names) override;
    bool MapFile(const std::wstring& path, std::string* bytes) override;
    bool RemoveFile(const std::wstring& path) override;
    std::string ToAnsi(const std::wstring& text) override { return files_.ToAnsi(text); }

    bool searchFails = false;

  private:
    FakeFileSystem& files_;
    std::vector<std::wstring> names_;
};
