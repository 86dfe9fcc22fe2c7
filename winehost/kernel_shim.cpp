#include "kernel_shim.h"

#include <ntimage.h>

extern "C" {
__declspec(dllimport) BOOLEAN WINAPI
    VirtualProtect(PVOID address, SIZE_T size, ULONG protect, PULONG oldProtect);
__declspec(dllimport) void WINAPI ExitProcess(ULONG code);
}

namespace {

const ULONG PageReadWrite = 0x04;

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
};

bool SameText(const char* a, const char* b) {
    while (*a && *a == *b) {
        a++;
        b++;
    }
    return *a == *b;
}

// Each pool block starts with its tag; the books count blocks per tag.
struct BlockHeader {
    ULONG Tag;
    ULONG Reserved[3]; // keeps the caller's block 16-byte aligned
};
const int TagSlots = 64;
ULONG Tags[TagSlots];
LONG Blocks[TagSlots];
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
    auto* dos = reinterpret_cast<PIMAGE_DOS_HEADER>(base);
    auto* nt = reinterpret_cast<PIMAGE_NT_HEADERS>(base + dos->e_lfanew);
    IMAGE_DATA_DIRECTORY directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0)
        return;
    for (auto* import = reinterpret_cast<PIMAGE_IMPORT_DESCRIPTOR>(base + directory.VirtualAddress);
         import->Name != 0; import++) {
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

PVOID ShimAllocate(SIZE_T bytes, ULONG tag) {
    auto* header = static_cast<BlockHeader*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(BlockHeader) + bytes, tag));
    if (!header)
        return nullptr;
    header->Tag = tag;
    KIRQL irql;
    KeAcquireSpinLock(&BooksLock, &irql);
    Blocks[SlotOf(tag)]++;
    KeReleaseSpinLock(&BooksLock, irql);
    return header + 1;
}

void ShimFree(PVOID block) {
    BlockHeader* header = static_cast<BlockHeader*>(block) - 1;
    KIRQL irql;
    KeAcquireSpinLock(&BooksLock, &irql);
    Blocks[SlotOf(header->Tag)]--;
    KeReleaseSpinLock(&BooksLock, irql);
    ExFreePool(header);
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

void ShimStopHost() {
    ExitProcess(3);
    for (;;) {
    }
}
