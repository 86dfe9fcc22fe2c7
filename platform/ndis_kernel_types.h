// Our declarations of the kernel structures that NDIS drivers share with the rest of the
// kernel: the counted UTF-16 string and the memory descriptor list. Only the layouts, in
// the kernel's field order, so that a driver built here and the NDIS models agree with
// the real kernel on every offset.
//
// Pure declarations without includes: the kernel-check build also compiles this file inside
// a namespace beside the ddk headers and compares the two layouts field by field.
#pragma once

struct KmUnicodeString {
    uint16_t Length;        // bytes in use, without a terminator
    uint16_t MaximumLength; // bytes in Buffer
    uint16_t* Buffer;
};

struct KmMdl {
    KmMdl* Next;
    int16_t Size;
    int16_t MdlFlags;
    void* Process;
    void* MappedSystemVa;
    void* StartVa;
    uint32_t ByteCount;
    uint32_t ByteOffset;
};

// MdlFlags bits that say the buffer has a system address already.
const int16_t KmMdlMappedToSystemVa = 0x0001;
const int16_t KmMdlSourceIsNonpagedPool = 0x0004;
