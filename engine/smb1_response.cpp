// SMB1 responses: what the file service answers.
#include "smb_dispatch.h"
#include "smb_handlers.h"
#include "smb_protocol.h"

namespace {

// The commands this handler decodes. A null decoder passes the command undecoded.
const SmbCommandEntry CommandTable[] = {
    {Smb1Rename, nullptr},          {Smb1WriteAndX, nullptr},    {Smb1Transaction2, nullptr},
    {Smb1TreeConnectAndX, nullptr}, {Smb1NtCreateAndX, nullptr},
};

} // namespace

bool HandleSmb1Response(uint8_t* netbios, uint8_t* header, uint32_t available, FrameView* view,
                        bool atDispatch) {
    return DispatchSmbMessage(SmbDialect::Smb1, SmbDirection::Response, CommandTable,
                              sizeof CommandTable / sizeof CommandTable[0], netbios, header,
                              available, view, atDispatch);
}
