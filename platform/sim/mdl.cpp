// MDLs of the simulation: every MDL describes memory that is already in the process, so a
// mapping is the MDL's own address; an MDL marked unmappable by a test maps to nothing.
#include "misuse.h"
#include "sim.h"
#include "sim_mdl.h"

extern "C" void* MmMapLockedPagesSpecifyCache(NdisMdl* mdl, int32_t, int32_t, void*, uint32_t,
                                              uint32_t) {
    if (KmGetCurrentIrql() > KmDispatchLevel) {
        SimReportMisuse("MDL mapped above DISPATCH_LEVEL");
    }
    if (mdl->StartVa == nullptr) {
        return nullptr;
    }
    return static_cast<uint8_t*>(mdl->StartVa) + mdl->ByteOffset;
}

void SimDescribeBuffer(NdisMdl* mdl, void* buffer, uint32_t bytes, bool mapped) {
    *mdl = NdisMdl{};
    mdl->Size = int16_t(sizeof(NdisMdl));
    mdl->StartVa = buffer;
    mdl->ByteCount = bytes;
    if (mapped) {
        mdl->MdlFlags = NdisMdlSourceIsNonpagedPool;
        mdl->MappedSystemVa = buffer;
    }
}
