#include "smb_builders.h"

#include "ntlm.h"
#include "wire_bytes.h"

namespace {

void PutFileId(Bytes& b, size_t at, FileId f) {
    PutLe64(b, at, f.persistent);
    PutLe64(b, at + 8, f.volatileId);
}

Smb2Fields Fields(uint16_t command, const Smb2Ids& ids, bool response, uint32_t status = 0) {
    Smb2Fields f;
    f.command = command;
    f.messageId = ids.messageId;
    f.sessionId = ids.session;
    f.treeId = ids.tree;
    f.flags = response ? 1 : 0;
    f.status = status;
    return f;
}

Bytes Request2(uint16_t command, const Smb2Ids& ids, const Bytes& body) {
    return Smb2Message(Fields(command, ids, false), body);
}

Bytes Response2(uint16_t command, const Smb2Ids& ids, uint32_t status, const Bytes& body) {
    return Smb2Message(Fields(command, ids, true, status), body);
}

Bytes Utf16Z(const std::string& text) {
    return Concat({Utf16Le(text), Bytes{0, 0}});
}

Bytes Text1(const Smb1Ids& ids, const std::string& text) {
    return ids.unicode ? Utf16Z(text) : Concat({Bytes(text.begin(), text.end()), Bytes{0}});
}

Smb1Fields Fields1(uint8_t command, const Smb1Ids& ids, bool reply, uint32_t status = 0) {
    Smb1Fields f;
    f.command = command;
    f.uid = ids.uid;
    f.tid = ids.tid;
    f.mid = ids.mid;
    f.status = status;
    f.flags = reply ? 0x98 : 0x18;
    f.flags2 = ids.unicode ? 0xC807 : 0x4807;
    return f;
}

} // namespace

uint32_t ReadLe32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}
uint16_t ReadLe16(const Bytes& b, size_t at) {
    return uint16_t(b[at] | b[at + 1] << 8);
}

Bytes Smb2SessionSetupRequest(const Smb2Ids& ids, const Bytes& blob) {
    Bytes body = Smb2Body(25, 24);
    PutLe16(body, 12, 64 + 24);
    PutLe16(body, 14, uint16_t(blob.size()));
    return Request2(1, ids, Concat({body, blob}));
}

Bytes Smb2TreeConnectRequest(const Smb2Ids& ids, const std::string& unc) {
    Bytes path = Utf16Le(unc);
    Bytes body = Smb2Body(9, 8);
    PutLe16(body, 4, 64 + 8);
    PutLe16(body, 6, uint16_t(path.size()));
    return Request2(3, ids, Concat({body, path}));
}

Bytes Smb2TreeDisconnectRequest(const Smb2Ids& ids) {
    return Request2(4, ids, Smb2Body(4, 4));
}

Bytes Smb2CreateRequest(const Smb2Ids& ids, const Smb2CreateFields& c) {
    Bytes name = Utf16Le(c.name);
    Bytes body = Smb2Body(c.structureSize, 56);
    PutLe32(body, 24, c.desiredAccess);
    PutLe32(body, 32, c.shareAccess);
    PutLe32(body, 36, c.createDisposition);
    PutLe32(body, 40, c.createOptions);
    PutLe16(body, 44, 64 + 56);
    PutLe16(body, 46, uint16_t(name.size()));
    if (name.empty()) {
        name.push_back(0); // the variable part holds at least one byte
    }
    return Request2(5, ids, Concat({body, name}));
}

Bytes Smb2CloseRequest(const Smb2Ids& ids, FileId file) {
    Bytes body = Smb2Body(24, 24);
    PutFileId(body, 8, file);
    return Request2(6, ids, body);
}

Bytes Smb2WriteRequest(const Smb2Ids& ids, FileId file, uint32_t dataBytes) {
    Bytes body = Smb2Body(49, 48);
    PutLe16(body, 2, 64 + 48);
    PutLe32(body, 4, dataBytes);
    PutFileId(body, 16, file);
    return Request2(9, ids, Concat({body, Bytes(dataBytes, 0x61)}));
}

Bytes Smb2QueryInfoRequest(const Smb2Ids& ids, FileId file, uint8_t infoType, uint8_t infoClass) {
    Bytes body = Smb2Body(41, 40);
    body[2] = infoType;
    body[3] = infoClass;
    PutLe32(body, 4, 4096);
    PutFileId(body, 24, file);
    return Request2(16, ids, Concat({body, Bytes{0}}));
}

namespace {
Bytes SetInfo(const Smb2Ids& ids, FileId file, uint8_t infoClass, const Bytes& buffer) {
    Bytes body = Smb2Body(33, 32);
    body[2] = 1; // SMB2_0_INFO_FILE
    body[3] = infoClass;
    PutLe32(body, 4, uint32_t(buffer.size()));
    PutLe16(body, 8, 64 + 32);
    PutFileId(body, 16, file);
    return Request2(17, ids, Concat({body, buffer}));
}
} // namespace

Bytes Smb2SetInfoDisposition(const Smb2Ids& ids, FileId file, uint8_t infoClass) {
    return SetInfo(ids, file, infoClass, Bytes{1});
}

Bytes Smb2SetInfoRename(const Smb2Ids& ids, FileId file, const std::string& newName,
                        uint8_t infoClass) {
    Bytes name = Utf16Le(newName);
    Bytes buffer(20, 0);
    PutLe32(buffer, 16, uint32_t(name.size()));
    return SetInfo(ids, file, infoClass, Concat({buffer, name}));
}

Bytes Smb2SetInfoBasic(const Smb2Ids& ids, FileId file) {
    return SetInfo(ids, file, 4, Bytes(40, 0));
}

Bytes Smb2ErrorResponse(uint16_t command, const Smb2Ids& ids, uint32_t status) {
    return Response2(command, ids, status, Smb2Body(9, 8));
}

Bytes Smb2SessionSetupResponse(const Smb2Ids& ids, uint16_t sessionFlags, uint32_t status) {
    Bytes body = Smb2Body(9, 8);
    PutLe16(body, 2, sessionFlags);
    return Response2(1, ids, status, body);
}

Bytes Smb2TreeConnectResponse(const Smb2Ids& ids, uint32_t status) {
    if (status != 0) {
        return Smb2ErrorResponse(3, ids, status);
    }
    Bytes body = Smb2Body(16, 16);
    body[2] = 1; // disk share
    return Response2(3, ids, 0, body);
}

Bytes Smb2CreateResponse(const Smb2Ids& ids, FileId file) {
    Bytes body = Smb2Body(89, 88);
    PutFileId(body, 64, file);
    return Response2(5, ids, 0, body);
}

Bytes Smb2SimpleResponse(uint16_t command, const Smb2Ids& ids, uint32_t status) {
    return Response2(command, ids, status, Smb2Body(status == 0 ? 17 : 9, 16));
}

Bytes Smb1SessionSetupRequest(const Smb1Ids& ids, const Bytes& blob) {
    std::vector<uint16_t> words(12, 0);
    words[0] = 0x00FF; // no AndX
    words[7] = uint16_t(blob.size());
    return Smb1Message(Fields1(0x73, ids, false), words, Concat({blob, Utf16Z("Unix")}));
}

Bytes Smb1TreeConnectRequest(const Smb1Ids& ids, const std::string& unc) {
    std::vector<uint16_t> words = {0x00FF, 0, 0x0008, 1}; // PasswordLength 1
    return Smb1Message(Fields1(0x75, ids, false), words,
                       Concat({Bytes{0}, Text1(ids, unc), Bytes{'?', '?', '?', '?', '?', 0}}));
}

Bytes Smb1TreeDisconnectRequest(const Smb1Ids& ids) {
    return Smb1Message(Fields1(0x71, ids, false), {}, {});
}

Bytes Smb1NtCreateRequest(const Smb1Ids& ids, const Smb1CreateFields& c) {
    std::vector<uint16_t> words(24, 0);
    words[0] = c.andXCommand;
    auto put32 = [&](size_t wordCountOffset, uint32_t v) {
        // Offsets count from the WordCount byte; word i starts at 1 + 2i.
        size_t byteIndex = wordCountOffset - 1;
        Bytes raw(48, 0);
        for (size_t w = 0; w < 24; ++w) {
            raw[2 * w] = uint8_t(words[w]);
            raw[2 * w + 1] = uint8_t(words[w] >> 8);
        }
        PutLe32(raw, byteIndex, v);
        for (size_t w = 0; w < 24; ++w) {
            words[w] = uint16_t(raw[2 * w] | raw[2 * w + 1] << 8);
        }
    };
    Bytes name = Text1(ids, c.name);
    put32(6, uint32_t(name.size() - (ids.unicode ? 2 : 1))); // NameLength; Flags stay 0
    put32(16, c.desiredAccess);
    put32(32, c.shareAccess);
    put32(36, c.createDisposition);
    put32(40, c.createOptions);
    Bytes bytes = ids.unicode ? Concat({Bytes{0}, name}) : name; // pad byte before UTF-16
    return Smb1Message(Fields1(0xA2, ids, false), words, bytes);
}

Bytes Smb1CloseRequest(const Smb1Ids& ids, uint16_t fid) {
    return Smb1Message(Fields1(0x04, ids, false), {fid, 0xFFFF, 0xFFFF}, {});
}

Bytes Smb1WriteAndXRequest(const Smb1Ids& ids, uint16_t fid, uint16_t dataBytes) {
    // AndX(2 words) FID Offset(2) Timeout(2) WriteMode Remaining DataLengthHigh DataLength
    // DataOffset OffsetHigh(2)
    std::vector<uint16_t> words = {0x00FF, 0, fid, 0, 0, 0, 0, 0, 0, 0, dataBytes, 64, 0, 0};
    return Smb1Message(Fields1(0x2F, ids, false), words, Bytes(dataBytes + 1, 0x62));
}

Bytes Smb1RenameRequest(const Smb1Ids& ids, const std::string& oldName,
                        const std::string& newName) {
    Bytes bytes = Concat({Bytes{0x04}, Text1(ids, oldName), Bytes{0x04}});
    if (ids.unicode) {
        bytes.push_back(0); // pad
    }
    bytes = Concat({bytes, Text1(ids, newName)});
    return Smb1Message(Fields1(0x07, ids, false), {0x0016}, bytes);
}

namespace {
// TRANSACTION2 with the parameter block placed right after the words and byte count.
Bytes Trans2(const Smb1Ids& ids, uint16_t subcommand, const Bytes& parameters,
             uint16_t setupCount = 1) {
    std::vector<uint16_t> words(14 + setupCount, 0);
    uint16_t parameterOffset = uint16_t(32 + 1 + 2 * words.size() + 2 + 3); // 3 pad bytes
    words[0] = uint16_t(parameters.size());                                 // TotalParameterCount
    words[9] = uint16_t(parameters.size());                                 // ParameterCount
    words[10] = parameterOffset;                                            // ParameterOffset
    words[12] = uint16_t(parameterOffset + parameters.size());              // DataOffset
    words[13] = setupCount;                                                 // SetupCount, Reserved
    words[14] = subcommand;
    return Smb1Message(Fields1(0x32, ids, false), words, Concat({Bytes(3, 0), parameters}));
}
} // namespace

Bytes Smb1Trans2SetDisposition(const Smb1Ids& ids, uint16_t fid, uint16_t setupCount) {
    Bytes p(6, 0);
    PutLe16(p, 0, fid);
    PutLe16(p, 2, 1013);
    return Trans2(ids, 8, p, setupCount);
}

Bytes Smb1Trans2QueryFile(const Smb1Ids& ids, uint16_t fid, uint16_t level) {
    Bytes p(4, 0);
    PutLe16(p, 0, fid);
    PutLe16(p, 2, level);
    return Trans2(ids, 7, p);
}

Bytes Smb1Trans2QueryPath(const Smb1Ids& ids, const std::string& name, uint16_t level) {
    Bytes p(6, 0);
    PutLe16(p, 0, level);
    return Trans2(ids, 5, Concat({p, Text1(ids, name)}));
}

Bytes Smb1Reply(uint8_t command, const Smb1Ids& ids, uint32_t status) {
    return Smb1Message(Fields1(command, ids, true, status), {}, {});
}

Bytes Smb1NtCreateReply(const Smb1Ids& ids, uint16_t fid, uint32_t status) {
    if (status != 0) {
        return Smb1Reply(0xA2, ids, status);
    }
    std::vector<uint16_t> words(34, 0);
    words[0] = 0x00FF;
    // The FID stands at byte 6 from the WordCount byte: the high byte of word 2 and the
    // low byte of word 3 (after AndX and the one-byte OplockLevel).
    words[2] = uint16_t((fid & 0xFF) << 8);
    words[3] = uint16_t(fid >> 8);
    return Smb1Message(Fields1(0xA2, ids, true), words, {});
}
