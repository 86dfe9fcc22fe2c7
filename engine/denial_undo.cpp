// Taking back the denials of an inbound frame that travelled with its own bytes.
#include "client_address.h"
#include "denial_marks.h"
#include "frame_view.h"
#include "inspect.h"
#include "smb_protocol.h"
#include "wire.h"

namespace {

// Every member of an SMB2 chain whose header is present, as far as valid NextCommand
// offsets lead. A WRITE's message may run past the segment, so only present bytes count.
void ForgetSmb2Chain(const uint8_t* message, uint32_t present, uint64_t connection,
                     bool atDispatch) {
    uint32_t offset = 0;
    while (present - offset >= Smb2HeaderLength) {
        const uint8_t* header = message + offset;
        ForgetDenialMarks(SmbDialect::Smb2, RequestKeyOf(SmbDialect::Smb2, header, connection),
                          atDispatch);
        uint32_t next = ReadU32Le(header + Smb2NextCommand);
        if (next < Smb2HeaderLength || next % Smb2CompoundAlignment != 0 ||
            next >= present - offset) {
            return;
        }
        offset += next;
    }
}

} // namespace

void ForgetInboundDenials(const uint8_t* frame, uint32_t length, bool atDispatch) {
    FrameView view{};
    // The parser only reads; it takes a writable pointer because inspection rewrites.
    ParseEthernet(const_cast<uint8_t*>(frame), length, &view);
    bool toServer = view.destinationPort == SmbPortDirect || view.destinationPort == SmbPortNetbios;
    if ((view.flags & FrameHasTcp) == 0 || !toServer) {
        return;
    }
    // Every message whose header the segment holds, as the framing found them from the
    // segment's start.
    uint64_t connection = ConnectionOf(&view, true);
    const uint8_t* payload = view.payload;
    uint32_t offset = 0;
    while (view.payloadLength - offset >= NetbiosHeaderLength + SmbProtocolIdLength &&
           payload[offset + NetbiosType] == NetbiosSessionMessage) {
        uint32_t declared = ReadU24Be(payload + offset + NetbiosLength);
        uint32_t present = view.payloadLength - offset - NetbiosHeaderLength;
        if (declared < present) {
            present = declared;
        }
        const uint8_t* message = payload + offset + NetbiosHeaderLength;
        uint32_t protocol = present >= SmbProtocolIdLength ? ReadU32Le(message) : 0;
        if (protocol == Smb2ProtocolId) {
            ForgetSmb2Chain(message, present, connection, atDispatch);
        } else if (protocol == Smb1ProtocolId && present >= Smb1HeaderLength) {
            ForgetDenialMarks(SmbDialect::Smb1, RequestKeyOf(SmbDialect::Smb1, message, connection),
                              atDispatch);
        }
        if (declared > present) {
            return;
        }
        offset += NetbiosHeaderLength + declared;
    }
}
