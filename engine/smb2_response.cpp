// SMB2 responses: what the file service answers.
#include "smb_dispatch.h"
#include "smb_handlers.h"
#include "smb_protocol.h"

namespace {

// The commands this handler decodes. A null decoder passes the command undecoded.
const SmbCommandEntry CommandTable[] = {
    {Smb2SessionSetup, nullptr}, {Smb2TreeConnect, nullptr}, {Smb2Create, nullptr},
    {Smb2Write, nullptr},        {Smb2QueryInfo, nullptr},   {Smb2SetInfo, nullptr},
};

} // namespace

bool HandleSmb2Response(uint8_t* netbios, uint8_t* header, uint32_t available, FrameView* view,
                        bool atDispatch) {
    return DispatchSmbMessage(SmbDialect::Smb2, SmbDirection::Response, CommandTable,
                              sizeof CommandTable / sizeof CommandTable[0], netbios, header,
                              available, view, atDispatch);
}
