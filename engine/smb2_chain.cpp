#include "smb2_chain.h"

#include "smb_protocol.h"
#include "wire.h"

namespace {

// Fixed part of each SMB2 request body (StructureSize without its variable byte),
// indexed by command. A compound member is handed on only when its header and this much
// of its body lie inside the message.
const uint16_t Smb2RequestFixedPart[] = {
    36, // NEGOTIATE
    24, // SESSION_SETUP
    4,  // LOGOFF
    8,  // TREE_CONNECT
    4,  // TREE_DISCONNECT
    56, // CREATE
    24, // CLOSE
    24, // FLUSH
    48, // READ
    48, // WRITE
    48, // LOCK
    56, // IOCTL
    4,  // CANCEL
    4,  // ECHO
    32, // QUERY_DIRECTORY
    32, // CHANGE_NOTIFY
    40, // QUERY_INFO
    32, // SET_INFO
    24, // OPLOCK_BREAK
};
// Responses are checked only for their StructureSize: the shortest response body (SET_INFO)
// is that field alone, and any response may be an error response instead. Each handler
// checks the fields it reads once it knows the status.
const uint16_t Smb2ResponseFixedPart = 2;

} // namespace

uint32_t Smb2FixedPart(SmbDirection direction, uint16_t command) {
    if (direction == SmbDirection::Response) {
        return Smb2ResponseFixedPart;
    }
    const uint32_t known = sizeof Smb2RequestFixedPart / sizeof Smb2RequestFixedPart[0];
    return command < known ? Smb2RequestFixedPart[command] : 0;
}

bool WalkSmb2Chain(uint8_t* netbios, uint32_t length, FrameView* view, bool atDispatch,
                   SmbDirection direction, SmbHandler handle) {
    uint8_t* message = netbios + NetbiosHeaderLength;
    bool rewrote = false;
    uint32_t offset = 0;
    while (offset < length) {
        uint8_t* header = message + offset;
        uint32_t left = length - offset;
        if (left < Smb2HeaderLength) {
            break;
        }
        uint16_t command = ReadU16Le(header + Smb2Command);
        if (left - Smb2HeaderLength < Smb2FixedPart(direction, command)) {
            break;
        }
        uint32_t next = ReadU32Le(header + Smb2NextCommand);
        bool nextValid =
            next >= Smb2HeaderLength && next % Smb2CompoundAlignment == 0 && next < left;
        uint32_t extent = nextValid ? next : left;
        if (handle(netbios, header, extent, view, atDispatch)) {
            rewrote = true;
        }
        if (!nextValid) {
            break;
        }
        offset += next;
    }
    return rewrote;
}
