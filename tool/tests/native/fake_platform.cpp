#include "fake_platform.h"

#include <algorithm>
#include <cwctype>

namespace {
// File names compare case-insensitively, as on Windows (without building folded copies:
// the fuzz target removes files at a high rate).
bool SameFolded(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && std::towlower(wint_t(a[i])) != std::towlower(wint_t(b[i]))) {
            return false;
        }
    }
    return true;
}
} // namespace

std::wstring FakeFileSystem::Parent(const std::wstring& path) {
    size_t last = path.rfind(L'\\');
    return last == std::wstring::npos ? std::wstring() : path.substr(0, last);
}

void FakeFileSystem::AddDirectory(const std::wstring& path) {
    Node& node = nodes_[path];
    node.directory = true;
    std::wstring parent = Parent(path);
    if (nodes_.count(parent) != 0) {
        nodes_[parent].children.push_back(path.substr(parent.size() + 1));
    }
}

void FakeFileSystem::AddFile(const std::wstring& path, const std::string& content) {
    nodes_[path].content = content;
    std::wstring parent = Parent(path);
    if (nodes_.count(parent) != 0) {
        nodes_[parent].children.push_back(path.substr(parent.size() + 1));
    }
}

bool FakeFileSystem::ListDirectory(const std::wstring& directory,
                                   std::vector<DirectoryEntry>* entries) {
    ++enumerations;
    std::wstring path = directory.substr(0, directory.size() - 1); // without the backslash
    auto it = nodes_.find(path);
    if (it == nodes_.end() || !it->second.directory) {
        return false;
    }
    entries->push_back({L".", true});
    entries->push_back({L"..", true});
    for (const std::wstring& name : it->second.children) {
        entries->push_back({name, nodes_[path + L"\\" + name].directory});
    }
    return true;
}

bool FakeFileSystem::RemoveFile(const std::wstring& path) {
    for (auto it = nodes_.begin(); it != nodes_.end(); ++it) {
        if (!it->second.directory && SameFolded(it->first, path)) {
            if (it->second.readOnly) {
                return false;
            }
            std::wstring parent = Parent(it->first);
            std::wstring name = it->first.substr(parent.size() + 1);
            removed.push_back(it->first);
            nodes_.erase(it);
            auto& siblings = nodes_[parent].children;
            siblings.erase(std::remove(siblings.begin(), siblings.end(), name), siblings.end());
            return true;
        }
    }
    return false;
}

bool FakeFileSystem::RemoveFolder(const std::wstring& path) {
    auto it = nodes_.find(path);
    if (it == nodes_.end() || !it->second.directory || !it->second.children.empty()) {
        return false; // missing or not empty
    }
    std::wstring parent = Parent(path);
    removed.push_back(path);
    nodes_.erase(it);
    auto& siblings = nodes_[parent].children;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), path.substr(parent.size() + 1)),
                   siblings.end());
    return true;
}

bool FakeFileSystem::CreateListFile(const std::wstring& path) {
    if (refuseListFile) {
        return false;
    }
    listPath = path;
    nodes_[path].content.clear();
    return true;
}

void FakeFileSystem::WriteListFile(const std::string& bytes) {
    nodes_[listPath].content += bytes;
}

bool FakeFileSystem::ReadFile(const std::wstring& path, std::string* bytes) {
    auto it = nodes_.find(path);
    if (it == nodes_.end() || it->second.directory) {
        return false;
    }
    *bytes = it->second.content;
    return true;
}

// A single-byte code page: Latin-1, with '?' for what it cannot hold.
std::string FakeFileSystem::ToAnsi(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        out.push_back(c < 256 ? char(c) : '?');
    }
    return out;
}

std::wstring FakeFileSystem::FromAnsi(const std::string& bytes) {
    std::wstring out(bytes.size(), L'\0');
    for (size_t i = 0; i < bytes.size(); ++i) {
        out[i] = wchar_t(static_cast<unsigned char>(bytes[i]));
    }
    return out;
}

bool FakeInfDirectory::FindInfFiles(std::vector<std::wstring>* names) {
    if (searchFails) {
        return false;
    }
    *names = names_;
    return true;
}

bool FakeInfDirectory::MapFile(const std::wstring& path, std::string* bytes) {
    if (!files_.ReadFile(path, bytes)) {
        return false;
    }
    return !bytes->empty(); // an empty file cannot be mapped
}

bool FakeInfDirectory::RemoveFile(const std::wstring& path) {
    return files_.RemoveFile(path);
}
