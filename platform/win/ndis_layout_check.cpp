// Our kernel structure declarations (ndis_kernel_types.h, used by the Linux builds and the
// NDIS models) against the ddk's, field by field; compiled by the kernel check for x86 and
// x64. Nothing here ends up as code.
#include <ntddk.h>
#include <stdint.h>

namespace own {
#include "../ndis_kernel_types.h"
}

#define SAME_FIELD(ours, theirs, field)                                                            \
    static_assert(offsetof(own::ours, field) == offsetof(theirs, field) &&                         \
                      sizeof(own::ours::field) == sizeof(theirs::field),                           \
                  #theirs "." #field)

static_assert(sizeof(own::KmMdl) == sizeof(MDL), "MDL size");
SAME_FIELD(KmMdl, MDL, Next);
SAME_FIELD(KmMdl, MDL, Size);
SAME_FIELD(KmMdl, MDL, MdlFlags);
SAME_FIELD(KmMdl, MDL, Process);
SAME_FIELD(KmMdl, MDL, MappedSystemVa);
SAME_FIELD(KmMdl, MDL, StartVa);
SAME_FIELD(KmMdl, MDL, ByteCount);
SAME_FIELD(KmMdl, MDL, ByteOffset);
static_assert(own::KmMdlMappedToSystemVa == MDL_MAPPED_TO_SYSTEM_VA, "MDL flag");
static_assert(own::KmMdlSourceIsNonpagedPool == MDL_SOURCE_IS_NONPAGED_POOL, "MDL flag");

static_assert(sizeof(own::KmUnicodeString) == sizeof(UNICODE_STRING), "UNICODE_STRING size");
SAME_FIELD(KmUnicodeString, UNICODE_STRING, Length);
SAME_FIELD(KmUnicodeString, UNICODE_STRING, MaximumLength);
SAME_FIELD(KmUnicodeString, UNICODE_STRING, Buffer);
