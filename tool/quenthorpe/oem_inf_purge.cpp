#include "oem_inf_purge.h"

bool InfTextMentions(const std::string& text, const std::string& key) {
    // The search stops at the first zero byte, so an INF stored as UTF-16 never matches.
    std::string upToZero = text.substr(0, text.find('\0'));
    return upToZero.find(key) != std::string::npos;
}

std::wstring CompanionPnfPath(const std::wstring& infPath) {
    std::wstring lower = infPath;
    for (wchar_t& c : lower) {
        if (c >= L'A' && c <= L'Z') {
            c = wchar_t(c - L'A' + L'a');
        }
    }
    const std::wstring from = L".inf";
    const std::wstring to = L".pnf";
    for (size_t at = lower.find(from); at != std::wstring::npos; at = lower.find(from, at)) {
        lower.replace(at, from.size(), to);
        at += to.size();
    }
    return lower;
}

int32_t PurgeOemInfs(InfDirectory& directory, const std::wstring& infBaseName) {
    std::vector<std::wstring> names;
    if (!directory.FindInfFiles(&names)) {
        return 1;
    }
    const std::string key = directory.ToAnsi(infBaseName);
    const std::wstring infDir = directory.Path();
    for (const std::wstring& name : names) {
        std::wstring path = infDir + name;
        std::string text;
        if (!directory.MapFile(path, &text) || !InfTextMentions(text, key)) {
            continue;
        }
        // A copy that cannot be deleted (read-only, in use) ends the scan.
        if (!directory.RemoveFile(path)) {
            return 0;
        }
        directory.RemoveFile(CompanionPnfPath(path));
    }
    return 1;
}
