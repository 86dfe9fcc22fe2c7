// SMB1 requests: what clients ask of the file service.
#include "smb_dispatch.h"
#include "smb_handlers.h"
#include "smb_protocol.h"

namespace {

// The commands this handler decodes. A null decoder passes the command undecoded.
const SmbCommandEntry CommandTable[] = {
    {Smb1Close, nullptr},           {Smb1Rename, nullptr},         {Smb1WriteAndX, nullptr},
    {Smb1Transaction2, nullptr},    {Smb1TreeDisconnect, nullptr}, {Smb1SessionSetupAndX, nullptr},
    {Smb1TreeConnectAndX, nullptr}, {Smb1NtCreateAndX, nullptr},
};

} // namespace

bool HandleSmb1Request(uint8_t* netbios, uint8_t* header, uint32_t available, FrameView* view,
                       bool atDispatch) {
    return DispatchSmbMessage(SmbDialect::Smb1, SmbDirection::Request, CommandTable,
                              sizeof CommandTable / sizeof CommandTable[0], netbios, header,
                              available, view, atDispatch);
}
