// The installed-file list: a directory tree recorded as lines of "D" or "F", a TAB and a
// path (ANSI code page, LF line ends), and the removal of exactly what such a list names.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

struct FileListEntry {
    std::wstring Path;
    int32_t IsDirectory;
};

struct DirectoryEntry {
    std::wstring name;
    bool isDirectory;
};

// What the list needs of the platform.
class FileListPlatform {
  public:
    virtual ~FileListPlatform() = default;
    // Entries of `directory` (which ends in a backslash) in enumeration order, "." and ".."
    // included or not; false when it cannot be enumerated.
    virtual bool ListDirectory(const std::wstring& directory,
                               std::vector<DirectoryEntry>* entries) = 0;
    virtual bool RemoveFile(const std::wstring& path) = 0;
    virtual bool RemoveFolder(const std::wstring& path) = 0;
    // Creates or truncates a file and writes `bytes`; `Create` fails when the file cannot
    // be opened, before anything is walked.
    virtual bool CreateListFile(const std::wstring& path) = 0;
    virtual void WriteListFile(const std::string& bytes) = 0;
    virtual void CloseListFile() = 0;
    virtual bool ReadFile(const std::wstring& path, std::string* bytes) = 0;
    // Conversions with the thread's ANSI code page.
    virtual std::string ToAnsi(const std::wstring& text) = 0;
    virtual std::wstring FromAnsi(const std::string& bytes) = 0;
};

int32_t GenerateFileList(FileListPlatform& platform, const std::wstring& base,
                         const std::wstring& subdirectory, const std::wstring& listFile);
int32_t DeleteFileList(FileListPlatform& platform, const std::wstring& listFile);
int32_t CollectTree(FileListPlatform& platform, std::wstring directory,
                    std::vector<FileListEntry>* entries, bool recursive);

// Helpers, exposed for their tests.
std::wstring RemoveEvery(const std::wstring& text, const std::wstring& piece);
std::wstring TrimWhitespace(const std::wstring& text);
std::string FormatListLine(const FileListEntry& entry, const std::string& ansiPath);
// The line of bytes that starts at *at, into *line (whose room is reused), and *at moved
// past it; false at the end of the bytes. Lines end after an LF, whatever their length.
bool NextListLine(const std::string& bytes, size_t* at, std::string* line);

struct ListRecord {
    std::wstring kind;
    std::wstring path;
};
// False for a line that is empty after trimming or holds no TAB.
bool ParseListLine(const std::wstring& line, ListRecord* record);

// Directories to remove, by their number of backslashes; deepest first, each depth in
// ascending code-unit order, each path once.
class DepthBuckets {
  public:
    void Add(const std::wstring& path);
    std::vector<std::wstring> RemovalOrder() const;

  private:
    std::map<size_t, std::set<std::wstring>> byDepth_;
};
