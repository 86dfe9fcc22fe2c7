// Copies between NET_BUFFERs and contiguous frame buffers.
#include "filter.h"

uint8_t* FlattenNetBuffer(NET_BUFFER* netBuffer, uint32_t* length) {
    *length = 0;
    uint32_t dataLength = netBuffer->DataLength;
    uint32_t remaining = dataLength;
    uint32_t offset = netBuffer->CurrentMdlOffset;
    NdisMdl* mdl = netBuffer->CurrentMdl;
    // A zero-length frame is never handed to the engine; nothing to allocate.
    if (dataLength == 0) {
        return nullptr;
    }
    auto* block = static_cast<uint8_t*>(KmAllocatePool(dataLength, FrameCopyTag));
    if (block == nullptr) {
        return nullptr;
    }
    KmZeroMemory(block, dataLength);
    uint32_t copied = 0;
    while (mdl != nullptr && remaining != 0) {
        auto* address = static_cast<uint8_t*>(NdisMdlSystemAddress(mdl));
        if (address == nullptr) {
            KmFreePool(block, FrameCopyTag);
            return nullptr;
        }
        // An offset past the MDL's end leaves nothing of this MDL to copy.
        uint32_t available = mdl->ByteCount > offset ? mdl->ByteCount - offset : 0;
        uint32_t chunk = available < remaining ? available : remaining;
        KmCopyMemory(block + copied, address + offset, chunk);
        copied += chunk;
        remaining -= chunk;
        offset = 0;
        mdl = mdl->Next;
    }
    if (copied != dataLength) {
        KmFreePool(block, FrameCopyTag);
        return nullptr;
    }
    *length = dataLength;
    return block;
}

NET_BUFFER* BuildReplacementNetBuffer(NDIS_HANDLE filterHandle, NDIS_HANDLE pool,
                                      const uint8_t* bytes, uint32_t length) {
    void* data =
        NdisAllocateMemoryWithTagPriority(filterHandle, length, FilterNdisTag, NdisLowPoolPriority);
    if (data == nullptr) {
        return nullptr;
    }
    KmCopyMemory(data, bytes, length);
    NdisMdl* mdl = NdisAllocateMdl(filterHandle, data, length);
    if (mdl == nullptr) {
        NdisFreeMemory(data, 0, 0);
        return nullptr;
    }
    NET_BUFFER* netBuffer = NdisAllocateNetBuffer(pool, mdl, 0, length);
    if (netBuffer == nullptr) {
        NdisFreeMdl(mdl);
        NdisFreeMemory(data, 0, 0);
        return nullptr;
    }
    return netBuffer;
}

void FreeReplacementNetBuffer(NET_BUFFER* netBuffer) {
    NdisMdl* mdl = netBuffer->CurrentMdl;
    if (mdl != nullptr) {
        void* data = NdisMdlSystemAddress(mdl);
        NdisFreeMdl(mdl);
        if (data != nullptr) {
            NdisFreeMemory(data, 0, 0);
        }
    }
    NdisFreeNetBuffer(netBuffer);
}
