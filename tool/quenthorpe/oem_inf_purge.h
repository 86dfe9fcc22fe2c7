// Removal of the INF copies that earlier installations staged in the Windows INF
// directory: every INF whose text contains the base name goes, with its ".pnf" companion.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class InfDirectory {
  public:
    virtual ~InfDirectory() = default;
    // The INF directory with a trailing backslash.
    virtual std::wstring Path() = 0;
    // Names matching "*.inf" in enumeration order; false when the search cannot start.
    virtual bool FindInfFiles(std::vector<std::wstring>* names) = 0;
    // The whole file as mapped; false when it cannot be opened or mapped (an empty file
    // cannot be mapped).
    virtual bool MapFile(const std::wstring& path, std::string* bytes) = 0;
    virtual bool RemoveFile(const std::wstring& path) = 0;
    virtual std::string ToAnsi(const std::wstring& text) = 0;
};

// 1 when the scan ran to its end, 0 when a matching INF could not be deleted.
int32_t PurgeOemInfs(InfDirectory& directory, const std::wstring& infBaseName);

// True when `key` occurs in `text` before its first zero byte (case-sensitive).
bool InfTextMentions(const std::string& text, const std::string& key);
// The precompiled companion: the path lower-cased (A to Z only), ".inf" turned to ".pnf".
std::wstring CompanionPnfPath(const std::wstring& infPath);
