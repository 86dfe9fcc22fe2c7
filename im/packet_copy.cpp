// FlattenPacket: one packet's buffer chain copied into one contiguous frame block for the
// engine. When the engine rewrote the frame, the block itself becomes the single buffer
// of the new descriptor; otherwise the block goes and the descriptor keeps the original
// chain.
#include "../engine/inspect.h"
#include "im.h"

namespace {

// Spare bytes after the frame in every block.
const uint32_t FrameBlockSpare = 10;

// Frame blocks are ordinary non-paged memory: the data path runs at DISPATCH_LEVEL, where
// contiguous memory can be neither allocated nor freed.
void FreeFrameBlock(void* block, uint32_t frameLength) {
    NdisFreeMemory(block, frameLength + FrameBlockSpare, 0);
}

// Copies the chain, at most `total` bytes; false when a buffer has no system address.
bool CopyChain(NDIS_BUFFER* first, uint8_t* block, uint32_t total) {
    uint32_t copied = 0;
    for (NDIS_BUFFER* buffer = first; buffer != nullptr && copied < total; buffer = buffer->Next) {
        uint32_t take = buffer->ByteCount;
        if (take == 0) {
            continue;
        }
        void* source = NdisMdlSystemAddress(buffer);
        if (source == nullptr) {
            return false;
        }
        if (take > total - copied) {
            take = total - copied;
        }
        KmCopyMemory(block + copied, source, take);
        copied += take;
    }
    return copied == total;
}

} // namespace

bool FlattenPacket(ImAdapter* adapter, NDIS_PACKET* packet, NDIS_PACKET* descriptor,
                   ImDirection direction) {
    NDIS_BUFFER* first;
    uint32_t total;
    NdisQueryPacketFirstAndLength(packet, &first, &total);
    if (total == 0) {
        return false;
    }
    void* memory;
    if (NdisAllocateMemoryWithTag(&memory, total + FrameBlockSpare, ImFrameBlockTag) !=
        NDIS_STATUS_SUCCESS) {
        return false;
    }
    auto* block = static_cast<uint8_t*>(memory);
    KmZeroMemory(block, total + FrameBlockSpare);
    // A buffer that cannot be mapped leaves the frame uninspected, with its own buffers.
    if (!CopyChain(first, block, total)) {
        FreeFrameBlock(block, total);
        return false;
    }
    bool atDispatch = ImAtDispatch();
    bool inbound = direction == ImDirection::Receive;
    bool rewritten = inbound ? InspectInbound(block, total, atDispatch)
                             : InspectOutbound(block, total, atDispatch);
    if (!rewritten) {
        FreeFrameBlock(block, total);
        return false;
    }
    NDIS_STATUS status;
    NDIS_BUFFER* buffer;
    NdisAllocateBuffer(&status, &buffer, adapter->BufferPool, block, total);
    if (status != NDIS_STATUS_SUCCESS) {
        // The original bytes travel, so the server carries the request out: the engine
        // must not answer it with a denial.
        if (inbound) {
            ForgetInboundDenials(block, total, atDispatch);
        }
        FreeFrameBlock(block, total);
        return false;
    }
    buffer->Next = descriptor->Private.Head;
    if (descriptor->Private.Head == nullptr) {
        descriptor->Private.Tail = buffer;
    }
    descriptor->Private.Head = buffer;
    descriptor->Private.ValidCounts = 0;
    return true;
}

void ImFreeDescriptor(NDIS_PACKET* descriptor, ImDescriptorReserved* reserved, bool dpr) {
    if (reserved->ReplacementMarker == ImReplacementMarker) {
        NDIS_BUFFER* buffer = descriptor->Private.Head;
        uint32_t length = buffer->ByteCount;
        void* block = static_cast<uint8_t*>(buffer->StartVa) + buffer->ByteOffset;
        NdisFreeBuffer(buffer);
        FreeFrameBlock(block, length);
        reserved->ReplacementMarker = 0;
    }
    if (dpr) {
        NdisDprFreePacket(descriptor);
    } else {
        NdisFreePacket(descriptor);
    }
}
