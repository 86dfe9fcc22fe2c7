#include "ansi.h"

#include <windows.h>

std::string ToThreadAnsi(const std::wstring& text) {
    if (text.empty()) {
        return std::string();
    }
    int bytes = WideCharToMultiByte(CP_THREAD_ACP, 0, text.c_str(), int(text.size()), nullptr, 0,
                                    nullptr, nullptr);
    std::string out(size_t(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) {
        WideCharToMultiByte(CP_THREAD_ACP, 0, text.c_str(), int(text.size()), &out[0], bytes,
                            nullptr, nullptr);
    }
    return out;
}

std::wstring FromThreadAnsi(const std::string& bytes) {
    if (bytes.empty()) {
        return std::wstring();
    }
    int units = MultiByteToWideChar(CP_THREAD_ACP, 0, bytes.data(), int(bytes.size()), nullptr, 0);
    std::wstring out(size_t(units > 0 ? units : 0), L'\0');
    if (units > 0) {
        MultiByteToWideChar(CP_THREAD_ACP, 0, bytes.data(), int(bytes.size()), &out[0], units);
    }
    return out;
}

std::wstring ExecutablePath() {
    wchar_t path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length < MAX_PATH ? length : 0);
}
