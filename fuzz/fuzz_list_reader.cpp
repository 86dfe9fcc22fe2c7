// Any bytes as an installed-file list: lines of any length and content are parsed, and
// nothing but listed paths is removed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cwctype>
#include <string>

#include "../tool/tests/native/fake_platform.h"

namespace {
void Lower(std::wstring* text) {
    for (wchar_t& c : *text) {
        c = wchar_t(std::towlower(wint_t(c)));
    }
}

// The file system the lists are read against. Reading a list changes nothing but what it
// removes, so one file system serves every input; the input that removes something builds
// the next one (in that input, so that its allocations balance the ones freed and
// libFuzzer's leak check is not set off).
FakeFileSystem* BuildFileSystem() {
    auto* fs = new FakeFileSystem;
    fs->AddDirectory(L"C:");
    fs->AddDirectory(L"C:\\App");
    fs->AddDirectory(L"C:\\App\\bin");
    fs->AddFile(L"C:\\App\\bin\\x.dll");
    fs->AddFile(L"C:\\App\\keep.txt");
    fs->AddFile(L"C:\\list.txt", "");
    return fs;
}

FakeFileSystem* g_fs = BuildFileSystem();
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string list(reinterpret_cast<const char*>(data), size);
    FakeFileSystem& fs = *g_fs;
    fs.CreateListFile(L"C:\\list.txt"); // empties it
    fs.WriteListFile(list);
    DeleteFileList(fs, L"C:\\list.txt");
    if (fs.removed.empty()) {
        return 0;
    }
    // Whatever went must have been named, whole, in the list (names compare without
    // regard to case, as on Windows).
    std::wstring text = fs.FromAnsi(list);
    Lower(&text);
    for (std::wstring path : fs.removed) {
        Lower(&path);
        if (text.find(path) == std::wstring::npos) {
            std::abort();
        }
    }
    delete g_fs;
    g_fs = BuildFileSystem();
    return 0;
}
