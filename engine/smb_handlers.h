// The four SMB handlers called by the inspection entries. Each gets the NetBIOS header,
// the SMB header, the number of bytes of this message present from the SMB header on,
// the frame view and `atDispatch`; each returns true when it rewrote bytes of the frame.
#pragma once

#include <stdint.h>

#include "frame_view.h"

bool HandleSmb2Request(uint8_t* netbios, uint8_t* header, uint32_t available, FrameView* view,
                       bool atDispatch);
bool HandleSmb1Request(uint8_t* netbios, uint8_t* header, uint32_t available, FrameView* view,
                       bool atDispatch);
bool HandleSmb2Response(uint8_t* netbios, uint8_t* header, uint32_t available, FrameView* view,
                        bool atDispatch);
bool HandleSmb1Response(uint8_t* netbios, uint8_t* header, uint32_t available, FrameView* view,
                        bool atDispatch);
