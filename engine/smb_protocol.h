// NetBIOS session, SMB1 and SMB2 header layouts and command codes.
#pragma once

#include <stdint.h>

const uint16_t SmbPortDirect = 445;
const uint16_t SmbPortNetbios = 139;

// NetBIOS session header: type byte, then a 24-bit big-endian length.
const uint32_t NetbiosHeaderLength = 4;
const uint32_t NetbiosType = 0;
const uint32_t NetbiosLength = 1;
const uint8_t NetbiosSessionMessage = 0;

const uint32_t SmbProtocolIdLength = 4;

// SMB2 header
const uint32_t Smb2ProtocolId = 0x424D53FE; // 0xFE 'S' 'M' 'B'
const uint32_t Smb2HeaderLength = 64;
const uint32_t Smb2Command = 12;
const uint32_t Smb2Flags = 16;
const uint32_t Smb2NextCommand = 20;
const uint32_t Smb2MessageId = 24;
const uint32_t Smb2TreeId = 36;
const uint32_t Smb2SessionId = 40;
const uint32_t Smb2FlagServerToRedir = 0x00000001;
const uint32_t Smb2FlagRelatedOperations = 0x00000004;
const uint32_t Smb2FlagSigned = 0x00000008;
// Compound members start on 8-byte boundaries.
const uint32_t Smb2CompoundAlignment = 8;

enum Smb2CommandCode : uint16_t {
    Smb2Negotiate = 0,
    Smb2SessionSetup = 1,
    Smb2Logoff = 2,
    Smb2TreeConnect = 3,
    Smb2TreeDisconnect = 4,
    Smb2Create = 5,
    Smb2Close = 6,
    Smb2Flush = 7,
    Smb2Read = 8,
    Smb2Write = 9,
    Smb2Lock = 10,
    Smb2Ioctl = 11,
    Smb2Cancel = 12,
    Smb2Echo = 13,
    Smb2QueryDirectory = 14,
    Smb2ChangeNotify = 15,
    Smb2QueryInfo = 16,
    Smb2SetInfo = 17,
    Smb2OplockBreak = 18,
};

// SMB1 header
const uint32_t Smb1ProtocolId = 0x424D53FF; // 0xFF 'S' 'M' 'B'
const uint32_t Smb1HeaderLength = 32;
const uint32_t Smb1Command = 4;
const uint32_t Smb1Flags = 9;
const uint32_t Smb1Uid = 28;
const uint32_t Smb1Mid = 30;
const uint8_t Smb1FlagReply = 0x80;

enum Smb1CommandCode : uint8_t {
    Smb1CreateDirectory = 0x00,
    Smb1DeleteDirectory = 0x01,
    Smb1Open = 0x02,
    Smb1Create = 0x03,
    Smb1Close = 0x04,
    Smb1Delete = 0x06,
    Smb1Rename = 0x07,
    Smb1Write = 0x0B,
    Smb1CreateNew = 0x0F,
    Smb1WriteAndUnlock = 0x14,
    Smb1LockingAndX = 0x24,
    Smb1WriteRaw = 0x1D,
    Smb1WriteMpx = 0x1E,
    Smb1WriteAndClose = 0x2C,
    Smb1OpenAndX = 0x2D,
    Smb1ReadAndX = 0x2E,
    Smb1WriteAndX = 0x2F,
    Smb1Transaction2 = 0x32,
    Smb1TreeDisconnect = 0x71,
    Smb1Negotiate = 0x72,
    Smb1SessionSetupAndX = 0x73,
    Smb1LogoffAndX = 0x74,
    Smb1TreeConnectAndX = 0x75,
    Smb1NtTransact = 0xA0,
    Smb1NtCreateAndX = 0xA2,
    Smb1NtRename = 0xA5,
};
