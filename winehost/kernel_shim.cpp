#include "kernel_shim.h"

#include <ntimage.h>

extern "C" {
__declspec(dllimport) BOOLEAN WINAPI
    VirtualProtect(PVOID address, SIZE_T size, ULONG protect, PULONG oldProtect);
__declspec(dllimport) void WINAPI ExitProcess(ULONG code);
__declspec(dllimport) ULONG WINAPI GetModuleFileNameA(PVOID module, char* name, ULONG size);
__declspec(dllimport) HANDLE WINAPI GetCurrentProcess();
__declspec(dllimport) BOOLEAN WINAPI
    K32EnumProcessModules(HANDLE process, PVOID* modules, ULONG size, PULONG needed);
}

namespace {

const ULONG PageReadWrite = 0x04;
const ULONG GenericWrite = 0x40000000;
const ULONG CreateAlways = 2;
const HANDLE InvalidHandle = reinterpret_cast<HANDLE>(-1);

#if defined(_M_IX86) || defined(__i386__)
void __fastcall AcquireAtDpcLevel(PKSPIN_LOCK lock) {
    while (InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(lock),
                                             reinterpret_cast<PVOID>(1), nullptr) != nullptr)
        YieldProcessor();
}
void __fastcall ReleaseFromDpcLevel(PKSPIN_LOCK lock) {
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(lock), nullptr);
}
#endif

// The driver's pool goes through the books as well.
PVOID NTAPI PoolAllocate(POOL_TYPE, SIZE_T bytes, ULONG tag) {
    return ShimAllocate(bytes, tag);
}
VOID NTAPI PoolFree(PVOID block, ULONG tag) {
    ShimFreeTagged(block, tag);
}

PVOID NTAPI MapLockedPages(PMDL mdl, KPROCESSOR_MODE, MEMORY_CACHING_TYPE, PVOID, ULONG, ULONG) {
    return static_cast<PUCHAR>(mdl->StartVa) + mdl->ByteOffset;
}

struct Replacement {
    const char* name;
    PVOID function;
};
const Replacement Replacements[] = {
#if defined(_M_IX86) || defined(__i386__)
    {"KefAcquireSpinLockAtDpcLevel", reinterpret_cast<PVOID>(AcquireAtDpcLevel)},
    {"KefReleaseSpinLockFromDpcLevel", reinterpret_cast<PVOID>(ReleaseFromDpcLevel)},
#endif
    {"MmMapLockedPagesSpecifyCache", reinterpret_cast<PVOID>(MapLockedPages)},
    {"ExAllocatePoolWithTag", reinterpret_cast<PVOID>(PoolAllocate)},
    {"ExFreePoolWithTag", reinterpret_cast<PVOID>(PoolFree)},
};

bool SameText(const char* a, const char* b) {
    while (*a && *a == *b) {
        a++;
        b++;
    }
    return *a == *b;
}

char LowerCase(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool SameTextAnyCase(const char* a, const char* b) {
    while (*a && LowerCase(*a) == LowerCase(*b)) {
        a++;
        b++;
    }
    return *a == *b;
}

PIMAGE_IMPORT_DESCRIPTOR FirstImport(PUCHAR base) {
    auto* dos = reinterpret_cast<PIMAGE_DOS_HEADER>(base);
    auto* nt = reinterpret_cast<PIMAGE_NT_HEADERS>(base + dos->e_lfanew);
    IMAGE_DATA_DIRECTORY directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0)
        return nullptr;
    return reinterpret_cast<PIMAGE_IMPORT_DESCRIPTOR>(base + directory.VirtualAddress);
}

// Each pool block starts with its tag; the books count blocks per tag.
struct BlockHeader {
    ULONG Tag;
    ULONG Mark;        // LiveMark while allocated, FreedMark after
    ULONG Reserved[2]; // keeps the caller's block 16-byte aligned
};
const ULONG LiveMark = 0x4B4F4F42;
const ULONG FreedMark = 0x45455246;
LONG PoolFaults;
const int TagSlots = 64;
ULONG Tags[TagSlots];
LONG Blocks[TagSlots];
LONG BlocksAllocated;
KSPIN_LOCK BooksLock;

int SlotOf(ULONG tag) {
    for (int i = 0; i < TagSlots; i++) {
        if (Tags[i] == tag)
            return i;
        if (Tags[i] == 0) {
            Tags[i] = tag;
            return i;
        }
    }
    return TagSlots - 1;
}

} // namespace

void ShimPatchImports(PVOID imageBase) {
    PUCHAR base = static_cast<PUCHAR>(imageBase);
    PIMAGE_IMPORT_DESCRIPTOR first = FirstImport(base);
    for (auto* import = first; import && import->Name != 0; import++) {
        auto* names = reinterpret_cast<PIMAGE_THUNK_DATA>(base + import->OriginalFirstThunk);
        auto* slots = reinterpret_cast<PIMAGE_THUNK_DATA>(base + import->FirstThunk);
        for (; names->u1.AddressOfData != 0; names++, slots++) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            auto* byName = reinterpret_cast<PIMAGE_IMPORT_BY_NAME>(base + names->u1.AddressOfData);
            for (const Replacement& r : Replacements) {
                if (!SameText(reinterpret_cast<const char*>(byName->Name), r.name))
                    continue;
                ULONG old;
                VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PageReadWrite, &old);
                slots->u1.Function = reinterpret_cast<ULONG_PTR>(r.function);
                VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
            }
        }
    }
}

void ShimPatchImportersOf(const char* dll) {
    PVOID modules[64];
    ULONG needed = 0;
    if (!K32EnumProcessModules(GetCurrentProcess(), modules, sizeof modules, &needed))
        return;
    ULONG count = needed / sizeof modules[0];
    for (ULONG m = 0; m < count && m < sizeof modules / sizeof modules[0]; m++) {
        PUCHAR base = static_cast<PUCHAR>(modules[m]);
        PIMAGE_IMPORT_DESCRIPTOR first = FirstImport(base);
        for (auto* import = first; import && import->Name != 0; import++) {
            if (SameTextAnyCase(reinterpret_cast<const char*>(base + import->Name), dll)) {
                ShimPatchImports(base);
                break;
            }
        }
    }
}

PVOID ShimAllocate(SIZE_T bytes, ULONG tag) {
    auto* header = static_cast<BlockHeader*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(BlockHeader) + bytes, tag));
    if (!header)
        return nullptr;
    header->Tag = tag;
    header->Mark = LiveMark;
    KIRQL irql;
    KeAcquireSpinLock(&BooksLock, &irql);
    Blocks[SlotOf(tag)]++;
    BlocksAllocated++;
    KeReleaseSpinLock(&BooksLock, irql);
    return header + 1;
}

void ShimFreeTagged(PVOID block, ULONG tag) {
    BlockHeader* header = static_cast<BlockHeader*>(block) - 1;
    KIRQL irql;
    KeAcquireSpinLock(&BooksLock, &irql);
    bool owned = block && header->Mark == LiveMark && (tag == 0 || tag == header->Tag);
    if (owned) {
        header->Mark = FreedMark;
        Blocks[SlotOf(header->Tag)]--;
    } else {
        PoolFaults++;
    }
    KeReleaseSpinLock(&BooksLock, irql);
    if (owned)
        ExFreePool(header);
}

ULONG ShimPoolFaults() {
    return ULONG(PoolFaults);
}

ULONG ShimBlocksOutstanding(ULONG* someTag) {
    ULONG total = 0;
    *someTag = 0;
    for (int i = 0; i < TagSlots; i++) {
        if (Blocks[i] != 0 && *someTag == 0)
            *someTag = Tags[i];
        total += ULONG(Blocks[i]);
    }
    return total;
}

ULONG ShimBlocksAllocated() {
    return ULONG(BlocksAllocated);
}

void ShimModulePath(PVOID module, const char* name, char* path, ULONG size) {
    ULONG length = GetModuleFileNameA(module, path, size);
    ULONG folder = 0;
    for (ULONG i = 0; i < length && i < size; i++)
        if (path[i] == '\\')
            folder = i + 1;
    ULONG at = folder;
    for (; *name && at + 1 < size; name++)
        path[at++] = *name;
    path[at] = 0;
}

void ShimWriteReport(PVOID module, const char* name, const char* line) {
    char path[512];
    ShimModulePath(module, name, path, sizeof path);
    HANDLE file = CreateFileA(path, GenericWrite, 0, nullptr, CreateAlways, 0, nullptr);
    if (file == InvalidHandle)
        return;
    ULONG written;
    ULONG size = 0;
    while (line[size])
        size++;
    WriteFile(file, line, size, &written, nullptr);
    WriteFile(file, "\r\n", 2, &written, nullptr);
    CloseHandle(file);
}

void ShimStopHost() {
    ExitProcess(3);
    for (;;) {
    }
}
