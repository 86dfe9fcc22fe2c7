// Builders for the SMB1 and SMB2 requests and responses the engine decodes.
#pragma once

#include <string>
#include <vector>

#include "frames.h"

struct FileId {
    uint64_t persistent;
    uint64_t volatileId;
};

// ---- SMB2 ----
struct Smb2Ids {
    uint64_t session;
    uint32_t tree;
    uint64_t messageId;
};

Bytes Smb2SessionSetupRequest(const Smb2Ids& ids, const Bytes& blob);
Bytes Smb2TreeConnectRequest(const Smb2Ids& ids, const std::string& unc);
Bytes Smb2TreeDisconnectRequest(const Smb2Ids& ids);
Bytes Smb2LogoffRequest(const Smb2Ids& ids);
struct Smb2CreateFields {
    std::string name;
    uint32_t desiredAccess = 0x00120089; // read data, attributes, synchronize
    uint32_t shareAccess = 7;
    uint32_t createDisposition = 1; // FILE_OPEN
    uint32_t createOptions = 0;
    uint16_t structureSize = 57;
};
Bytes Smb2CreateRequest(const Smb2Ids& ids, const Smb2CreateFields& fields);
Bytes Smb2CloseRequest(const Smb2Ids& ids, FileId file);
Bytes Smb2WriteRequest(const Smb2Ids& ids, FileId file, uint32_t dataBytes = 16);
Bytes Smb2QueryInfoRequest(const Smb2Ids& ids, FileId file, uint8_t infoType = 1,
                           uint8_t infoClass = 5);
Bytes Smb2SetInfoDisposition(const Smb2Ids& ids, FileId file, uint8_t infoClass = 13);
Bytes Smb2SetInfoRename(const Smb2Ids& ids, FileId file, const std::string& newName,
                        uint8_t infoClass = 10);
Bytes Smb2SetInfoBasic(const Smb2Ids& ids, FileId file);
// SET_INFO of any file class with the given buffer.
Bytes Smb2SetInfoBuffer(const Smb2Ids& ids, FileId file, uint8_t infoClass, const Bytes& buffer);
Bytes Smb2IoctlRequest(const Smb2Ids& ids, FileId file, uint32_t controlCode);

// Responses: header with the response flag and `status`, then the body.
// An SMB2 TRANSFORM (encrypted) message of the session: header, then `cipherBytes` bytes.
Bytes Smb2TransformMessage(uint64_t session, size_t cipherBytes);
// An unchained SMB2 COMPRESSION_TRANSFORM message whose SMB2 header (a CREATE of the
// session) is left uncompressed, then `compressedBytes` bytes.
Bytes Smb2CompressedMessage(uint64_t session, size_t compressedBytes);
Bytes Smb2ErrorResponse(uint16_t command, const Smb2Ids& ids, uint32_t status);
Bytes Smb2SessionSetupResponse(const Smb2Ids& ids, uint16_t sessionFlags, uint32_t status = 0);
Bytes Smb2TreeConnectResponse(const Smb2Ids& ids, uint32_t status = 0);
Bytes Smb2CreateResponse(const Smb2Ids& ids, FileId file, uint32_t createAction = 1);
Bytes Smb2SimpleResponse(uint16_t command, const Smb2Ids& ids, uint32_t status = 0);
Bytes Smb2WriteResponse(const Smb2Ids& ids, uint32_t count);

// Field offsets in built SMB2 messages (from the SMB2 header).
const size_t Smb2StatusAt = 8;
const size_t Smb2CreateOptionsAt = 64 + 40;
const size_t Smb2WriteFileIdAt = 64 + 16;
const size_t Smb2QueryInfoTypeAt = 64 + 2;
const size_t Smb2SetInfoBufferLengthAt = 64 + 4;
const size_t Smb2SetInfoBufferAt = 64 + 32; // buffer right after the fixed part
const size_t Smb2CreateDispositionAt = 64 + 36;
const size_t Smb2InfoTypeAt = 64 + 2;
const size_t Smb2IoctlFileIdAt = 64 + 8;

// ---- SMB1 ----
struct Smb1Ids {
    uint16_t uid;
    uint16_t tid;
    uint16_t mid;
    bool unicode = true;
};

Bytes Smb1SessionSetupRequest(const Smb1Ids& ids, const Bytes& blob);
Bytes Smb1TreeConnectRequest(const Smb1Ids& ids, const std::string& unc);
Bytes Smb1TreeDisconnectRequest(const Smb1Ids& ids);
Bytes Smb1LogoffRequest(const Smb1Ids& ids);
struct Smb1CreateFields {
    std::string name;
    uint32_t desiredAccess = 0x00120089;
    uint32_t shareAccess = 7;
    uint32_t createDisposition = 1;
    uint32_t createOptions = 0;
    uint8_t andXCommand = 0xFF;
};
Bytes Smb1NtCreateRequest(const Smb1Ids& ids, const Smb1CreateFields& fields);
Bytes Smb1CloseRequest(const Smb1Ids& ids, uint16_t fid);
Bytes Smb1WriteAndXRequest(const Smb1Ids& ids, uint16_t fid, uint16_t dataBytes = 16);
Bytes Smb1RenameRequest(const Smb1Ids& ids, const std::string& oldName, const std::string& newName);
Bytes Smb1Trans2SetDisposition(const Smb1Ids& ids, uint16_t fid, uint16_t setupCount = 1);
Bytes Smb1Trans2QueryFile(const Smb1Ids& ids, uint16_t fid, uint16_t level);
Bytes Smb1Trans2QueryPath(const Smb1Ids& ids, const std::string& name, uint16_t level);

// A core command that names its file: the words, then BufferFormat 0x04 and the name.
Bytes Smb1PathRequest(uint8_t command, const Smb1Ids& ids, const std::vector<uint16_t>& words,
                      const std::string& name);
Bytes Smb1NtRenameRequest(const Smb1Ids& ids, uint16_t level, const std::string& oldName,
                          const std::string& newName);
Bytes Smb1OpenAndXRequest(const Smb1Ids& ids, const std::string& name, uint16_t accessMode,
                          uint16_t openFunction);
// WRITE, WRITE_AND_CLOSE, WRITE_AND_UNLOCK, WRITE_RAW, WRITE_MPX: the file id first.
Bytes Smb1LegacyWriteRequest(uint8_t command, const Smb1Ids& ids, uint16_t fid);
// TRANSACTION2 with one setup word, its parameter block and data block.
Bytes Smb1Trans2Request(const Smb1Ids& ids, uint16_t subcommand, const Bytes& parameters,
                        const Bytes& data = {});
Bytes Smb1NtTransactCreate(const Smb1Ids& ids, const std::string& name, uint32_t desiredAccess,
                           uint32_t disposition);
Bytes Smb1NtTransactIoctl(const Smb1Ids& ids, uint16_t fid, uint32_t controlCode);

Bytes Smb1Reply(uint8_t command, const Smb1Ids& ids, uint32_t status);
Bytes Smb1NtCreateReply(const Smb1Ids& ids, uint16_t fid, uint32_t status = 0,
                        uint32_t createAction = 1);
// Successful replies that carry a file id: OPEN_ANDX (with OpenResults), the core opens
// (OPEN, CREATE, CREATE_NEW), TRANS2_OPEN2 (ActionTaken) and NT_TRANSACT_CREATE.
Bytes Smb1OpenAndXReply(const Smb1Ids& ids, uint16_t fid, uint16_t openResults);
Bytes Smb1CoreOpenReply(uint8_t command, const Smb1Ids& ids, uint16_t fid);
Bytes Smb1Open2Reply(const Smb1Ids& ids, uint16_t fid, uint16_t actionTaken);
Bytes Smb1NtTransactCreateReply(const Smb1Ids& ids, uint16_t fid, uint32_t createAction);
// One SMB1 message of several commands: the first message whole, then each later one's
// command (from its WordCount on) at an even offset, linked by the AndX fields of the one
// before it.
Bytes Smb1AndXChain(const std::vector<Bytes>& messages);
// A reply with the given words and no bytes (an AndX reply starts with 0x00FF, 0).
Bytes Smb1WordsReply(uint8_t command, const Smb1Ids& ids, const std::vector<uint16_t>& words,
                     uint32_t status = 0);
// Where built SMB1 requests keep their name and the fields the engine spoils.
const size_t Smb1Trans2ParametersAt = 32 + 1 + 2 * 15 + 2 + 3;
const size_t Smb1NtTransactParametersAt = 32 + 1 + 2 * 19 + 2 + 1;

// Field offsets in built SMB1 messages (from the SMB1 header).
const size_t Smb1StatusAt = 5;
const size_t Smb1Flags2At = 10;
const size_t Smb1CreateOptionsAt = 32 + 40;
const size_t Smb1WriteDataLengthAt = 32 + 21;

uint32_t ReadLe32(const Bytes& b, size_t at);
uint16_t ReadLe16(const Bytes& b, size_t at);
