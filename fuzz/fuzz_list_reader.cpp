// Any bytes as an installed-file list: lines of any length and content are parsed, and
// nothing but listed paths is removed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cwctype>
#include <string>

#include "../tool/tests/native/fake_platform.h"

namespace {
std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) {
        c = wchar_t(std::towlower(wint_t(c)));
    }
    return text;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FakeFileSystem fs;
    fs.AddDirectory(L"C:");
    fs.AddDirectory(L"C:\\App");
    fs.AddDirectory(L"C:\\App\\bin");
    fs.AddFile(L"C:\\App\\bin\\x.dll");
    fs.AddFile(L"C:\\App\\keep.txt");
    fs.AddFile(L"C:\\list.txt", std::string(reinterpret_cast<const char*>(data), size));
    DeleteFileList(fs, L"C:\\list.txt");
    // Whatever went must have been named, whole, in the list (names compare without
    // regard to case, as on Windows).
    std::wstring text = Lower(fs.FromAnsi(std::string(reinterpret_cast<const char*>(data), size)));
    for (const std::wstring& path : fs.removed) {
        if (text.find(Lower(path)) == std::wstring::npos) {
            std::abort();
        }
    }
    return 0;
}
