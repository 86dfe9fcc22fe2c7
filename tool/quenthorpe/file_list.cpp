#include "file_list.h"

#include <cwctype>

namespace {

const wchar_t Backslash = L'\\';
const char Tab = '\t';

bool IsSpace(wchar_t c) {
    return std::iswspace(static_cast<wint_t>(c)) != 0;
}

std::wstring WithoutTrailingBackslashes(std::wstring path) {
    while (!path.empty() && path.back() == Backslash) {
        path.pop_back();
    }
    return path;
}

// The bounds [first, last) of text without its leading and trailing white space.
void TrimmedBounds(const std::wstring& text, size_t* first, size_t* last) {
    *first = 0;
    while (*first < text.size() && IsSpace(text[*first])) {
        ++*first;
    }
    *last = text.size();
    while (*last > *first && IsSpace(text[*last - 1])) {
        --*last;
    }
}

} // namespace

std::wstring RemoveEvery(const std::wstring& text, const std::wstring& piece) {
    if (piece.empty()) {
        return text;
    }
    std::wstring out;
    size_t at = 0;
    for (;;) {
        size_t found = text.find(piece, at);
        if (found == std::wstring::npos) {
            out.append(text, at, std::wstring::npos);
            return out;
        }
        out.append(text, at, found - at);
        at = found + piece.size();
    }
}

std::wstring TrimWhitespace(const std::wstring& text) {
    size_t first, last;
    TrimmedBounds(text, &first, &last);
    return text.substr(first, last - first);
}

std::string FormatListLine(const FileListEntry& entry, const std::string& ansiPath) {
    std::string line(entry.IsDirectory != 0 ? "D" : "F");
    line += Tab;
    line += ansiPath;
    line += '\n';
    return line;
}

bool NextListLine(const std::string& bytes, size_t* at, std::string* line) {
    if (*at >= bytes.size()) {
        return false;
    }
    size_t end = bytes.find('\n', *at);
    size_t next = end == std::string::npos ? bytes.size() : end + 1;
    line->assign(bytes, *at, next - *at);
    *at = next;
    return true;
}

bool ParseListLine(const std::wstring& line, ListRecord* record) {
    // The pieces are taken from the line in place: a list can hold many lines, and the
    // record's strings keep their room from one line to the next.
    size_t first, last;
    TrimmedBounds(line, &first, &last);
    size_t tab = line.find(L'\t', first);
    if (first == last || tab == std::wstring::npos || tab >= last) {
        return false;
    }
    record->kind.assign(line, first, tab - first);
    record->path.assign(line, tab + 1, last - (tab + 1));
    return true;
}

void DepthBuckets::Add(const std::wstring& path) {
    size_t depth = 0;
    for (wchar_t c : path) {
        depth += c == Backslash;
    }
    byDepth_[depth].insert(path);
}

std::vector<std::wstring> DepthBuckets::RemovalOrder() const {
    std::vector<std::wstring> order;
    for (auto depth = byDepth_.rbegin(); depth != byDepth_.rend(); ++depth) {
        order.insert(order.end(), depth->second.begin(), depth->second.end());
    }
    return order;
}

int32_t CollectTree(FileListPlatform& platform, std::wstring directory,
                    std::vector<FileListEntry>* entries, bool recursive) {
    directory = TrimWhitespace(directory);
    if (directory.empty()) {
        return 1;
    }
    if (directory.back() != Backslash) {
        directory += Backslash;
    }
    // The directory's own entry comes first, even when it cannot be enumerated.
    entries->push_back({WithoutTrailingBackslashes(directory), 1});
    std::vector<DirectoryEntry> content;
    if (!platform.ListDirectory(directory, &content)) {
        return 1;
    }
    for (const DirectoryEntry& entry : content) {
        if (entry.name == L"." || entry.name == L"..") {
            continue;
        }
        std::wstring full = directory + entry.name;
        if (!entry.isDirectory) {
            entries->push_back({full, 0});
        } else if (recursive) {
            CollectTree(platform, full, entries, recursive);
        } else {
            entries->push_back({WithoutTrailingBackslashes(full), 1});
        }
    }
    return 1;
}

int32_t GenerateFileList(FileListPlatform& platform, const std::wstring& base,
                         const std::wstring& subdirectory, const std::wstring& listFile) {
    std::wstring root = base;
    if (root.empty() || root.back() != Backslash) {
        root += Backslash;
    }
    root += subdirectory;
    if (!platform.CreateListFile(listFile)) {
        return 1;
    }
    std::vector<FileListEntry> entries;
    CollectTree(platform, root, &entries, true);
    // Files collected under base\subdirectory are recorded under base.
    const std::wstring prefix = subdirectory + Backslash;
    for (const FileListEntry& entry : entries) {
        std::wstring recorded = RemoveEvery(entry.Path, prefix);
        platform.WriteListFile(FormatListLine(entry, platform.ToAnsi(recorded)));
    }
    platform.CloseListFile();
    return 1;
}

int32_t DeleteFileList(FileListPlatform& platform, const std::wstring& listFile) {
    std::string bytes;
    if (!platform.ReadFile(listFile, &bytes)) {
        return 1;
    }
    // Files go while the list is read; directories afterwards, deepest first, so that
    // each is empty by its turn if everything inside it was listed.
    DepthBuckets directories;
    ListRecord record;
    size_t at = 0;
    std::string line;
    while (NextListLine(bytes, &at, &line)) {
        if (!ParseListLine(platform.FromAnsi(line), &record)) {
            continue;
        }
        if (record.kind == L"D") {
            directories.Add(record.path);
        } else if (record.kind == L"F") {
            platform.RemoveFile(record.path);
        }
    }
    for (const std::wstring& directory : directories.RemovalOrder()) {
        platform.RemoveFolder(directory);
    }
    return 1;
}
