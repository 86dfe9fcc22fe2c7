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

Bytes Smb2LogoffRequest(const Smb2Ids& ids) {
    return Request2(2, ids, Smb2Body(4, 4));
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

Bytes Smb2SetInfoBuffer(const Smb2Ids& ids, FileId file, uint8_t infoClass, const Bytes& buffer) {
    return SetInfo(ids, file, infoClass, buffer);
}

Bytes Smb2IoctlRequest(const Smb2Ids& ids, FileId file, uint32_t controlCode) {
    Bytes body = Smb2Body(57, 56);
    PutLe32(body, 4, controlCode);
    PutFileId(body, 8, file);
    PutLe32(body, 24, 64 + 56); // InputOffset
    PutLe32(body, 28, 24);      // InputCount
    PutLe32(body, 48, 1);       // SMB2_0_IOCTL_IS_FSCTL
    return Request2(11, ids, Concat({body, Bytes(24, 0x42)}));
}

Bytes Smb2TransformMessage(uint64_t session, size_t cipherBytes) {
    Bytes m(52 + cipherBytes, 0x3C);
    PutLe32(m, 0, 0x424D53FD);
    for (size_t i = 4; i < 20; ++i) {
        m[i] = uint8_t(0xA0 + i); // signature
    }
    PutLe32(m, 36, uint32_t(cipherBytes));
    PutLe16(m, 40, 0);
    PutLe16(m, 42, 1); // encrypted
    PutLe64(m, 44, session);
    return m;
}

Bytes Smb2CompressedMessage(uint64_t session, size_t compressedBytes) {
    Bytes m(16, 0);
    PutLe32(m, 0, 0x424D53FC);
    PutLe32(m, 4, uint32_t(64 + 2 * compressedBytes));
    PutLe16(m, 8, 1);
    PutLe32(m, 12, 64);
    Smb2Fields f;
    f.command = 5;
    f.sessionId = session;
    return Concat({m, Smb2Header(f), Bytes(compressedBytes, 0x77)});
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

Bytes Smb2CreateResponse(const Smb2Ids& ids, FileId file, uint32_t createAction) {
    Bytes body = Smb2Body(89, 88);
    PutLe32(body, 4, createAction);
    PutFileId(body, 64, file);
    return Response2(5, ids, 0, body);
}

Bytes Smb2SimpleResponse(uint16_t command, const Smb2Ids& ids, uint32_t status) {
    return Response2(command, ids, status, Smb2Body(status == 0 ? 17 : 9, 16));
}

Bytes Smb2WriteResponse(const Smb2Ids& ids, uint32_t count) {
    Bytes body = Smb2Body(17, 16);
    PutLe32(body, 4, count);
    return Response2(9, ids, 0, body);
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

Bytes Smb1LogoffRequest(const Smb1Ids& ids) {
    return Smb1Message(Fields1(0x74, ids, false), {0x00FF, 0}, {});
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

Bytes Smb1AndXChain(const std::vector<Bytes>& messages) {
    Bytes chain = messages.at(0);
    size_t previous = 32; // the WordCount byte of the last command so far
    for (size_t i = 1; i < messages.size(); ++i) {
        if (chain.size() % 2 != 0) {
            chain.push_back(0);
        }
        chain[previous + 1] = messages[i][4];
        PutLe16(chain, previous + 3, uint16_t(chain.size()));
        previous = chain.size();
        chain.insert(chain.end(), messages[i].begin() + 32, messages[i].end());
    }
    return chain;
}

Bytes Smb1WordsReply(uint8_t command, const Smb1Ids& ids, const std::vector<uint16_t>& words,
                     uint32_t status) {
    return Smb1Message(Fields1(command, ids, true, status), words, {});
}

Bytes Smb1NtCreateReply(const Smb1Ids& ids, uint16_t fid, uint32_t status, uint32_t createAction) {
    if (status != 0) {
        return Smb1Reply(0xA2, ids, status);
    }
    std::vector<uint16_t> words(34, 0);
    words[0] = 0x00FF;
    // The FID stands at byte 6 from the WordCount byte: the high byte of word 2 and the
    // low byte of word 3 (after AndX and the one-byte OplockLevel).
    words[2] = uint16_t((fid & 0xFF) << 8);
    words[3] = uint16_t(fid >> 8);
    // CreateAction at byte 8: the high byte of word 3, words 4 and the low byte of word 5.
    words[3] |= uint16_t((createAction & 0xFF) << 8);
    words[4] = uint16_t(createAction >> 8);
    words[5] = uint16_t(createAction >> 24);
    return Smb1Message(Fields1(0xA2, ids, true), words, {});
}

Bytes Smb1PathRequest(uint8_t command, const Smb1Ids& ids, const std::vector<uint16_t>& words,
                      const std::string& name) {
    return Smb1Message(Fields1(command, ids, false), words,
                       Concat({Bytes{0x04}, Text1(ids, name)}));
}

Bytes Smb1NtRenameRequest(const Smb1Ids& ids, uint16_t level, const std::string& oldName,
                          const std::string& newName) {
    Bytes bytes = Concat({Bytes{0x04}, Text1(ids, oldName), Bytes{0x04}});
    if (ids.unicode) {
        bytes.push_back(0); // pad
    }
    bytes = Concat({bytes, Text1(ids, newName)});
    return Smb1Message(Fields1(0xA5, ids, false), {0x0016, level, 0, 0}, bytes);
}

Bytes Smb1OpenAndXRequest(const Smb1Ids& ids, const std::string& name, uint16_t accessMode,
                          uint16_t openFunction) {
    // AndX(2) Flags AccessMode SearchAttrs FileAttrs CreationTime(2) OpenFunction
    // AllocationSize(2) Timeout(2) Reserved(2)
    std::vector<uint16_t> words = {0x00FF,       0, 0, accessMode, 0x16, 0, 0, 0,
                                   openFunction, 0, 0, 0,          0,    0, 0};
    Bytes bytes = Text1(ids, name);
    if (ids.unicode) {
        bytes = Concat({Bytes{0}, bytes}); // the name starts at an even offset
    }
    return Smb1Message(Fields1(0x2D, ids, false), words, bytes);
}

Bytes Smb1LegacyWriteRequest(uint8_t command, const Smb1Ids& ids, uint16_t fid) {
    std::vector<uint16_t> words = {fid, 8, 0, 0, 0};
    return Smb1Message(Fields1(command, ids, false), words,
                       Concat({Bytes{0x01, 8, 0}, Bytes(8, 0x63)}));
}

Bytes Smb1Trans2Request(const Smb1Ids& ids, uint16_t subcommand, const Bytes& parameters,
                        const Bytes& data) {
    std::vector<uint16_t> words(15, 0);
    uint16_t parameterOffset = uint16_t(Smb1Trans2ParametersAt);
    words[0] = uint16_t(parameters.size());
    words[1] = uint16_t(data.size());
    words[9] = uint16_t(parameters.size());
    words[10] = parameterOffset;
    words[11] = uint16_t(data.size());
    words[12] = uint16_t(parameterOffset + parameters.size());
    words[13] = 1;
    words[14] = subcommand;
    return Smb1Message(Fields1(0x32, ids, false), words, Concat({Bytes(3, 0), parameters, data}));
}

namespace {
Bytes NtTransact(const Smb1Ids& ids, uint16_t function, const std::vector<uint16_t>& setup,
                 const Bytes& parameters) {
    // MaxSetupCount, Reserved1, then counts and offsets as 32-bit values, SetupCount,
    // Function and the setup words: built as bytes, then cut into words. The parameter
    // block starts at the next even offset after ByteCount.
    Bytes w(38 + 2 * setup.size(), 0);
    uint32_t offset = uint32_t(32 + 1 + w.size() + 2 + 1) & ~1u;
    PutLe32(w, 3, uint32_t(parameters.size()));  // TotalParameterCount
    PutLe32(w, 19, uint32_t(parameters.size())); // ParameterCount
    PutLe32(w, 23, offset);
    PutLe32(w, 31, uint32_t(offset + parameters.size())); // DataOffset
    w[35] = uint8_t(setup.size());
    PutLe16(w, 36, function);
    for (size_t i = 0; i < setup.size(); ++i) {
        PutLe16(w, 38 + 2 * i, setup[i]);
    }
    std::vector<uint16_t> words(w.size() / 2);
    for (size_t i = 0; i < words.size(); ++i) {
        words[i] = uint16_t(w[2 * i] | w[2 * i + 1] << 8);
    }
    size_t pad = offset - (32 + 1 + w.size() + 2);
    return Smb1Message(Fields1(0xA0, ids, false), words, Concat({Bytes(pad, 0), parameters}));
}
} // namespace

Bytes Smb1NtTransactCreate(const Smb1Ids& ids, const std::string& name, uint32_t desiredAccess,
                           uint32_t disposition) {
    Bytes p(54, 0); // the fixed part, and one pad byte that aligns the UTF-16 name
    PutLe32(p, 8, desiredAccess);
    PutLe32(p, 24, 7);
    PutLe32(p, 28, disposition);
    Bytes text = Utf16Le(name);
    PutLe32(p, 44, uint32_t(text.size()));
    return NtTransact(ids, 1, {}, Concat({p, text}));
}

Bytes Smb1NtTransactIoctl(const Smb1Ids& ids, uint16_t fid, uint32_t controlCode) {
    return NtTransact(ids, 2, {uint16_t(controlCode), uint16_t(controlCode >> 16), fid, 1},
                      Bytes(8, 0));
}

Bytes Smb1OpenAndXReply(const Smb1Ids& ids, uint16_t fid, uint16_t openResults) {
    std::vector<uint16_t> words(15, 0);
    words[0] = 0x00FF;
    // FID at byte 5 and OpenResults at byte 23: each straddles two words.
    Bytes raw(30, 0);
    raw[0] = 0xFF;
    PutLe16(raw, 4, fid);
    PutLe16(raw, 22, openResults);
    for (size_t i = 0; i < words.size(); ++i) {
        words[i] = uint16_t(raw[2 * i] | raw[2 * i + 1] << 8);
    }
    return Smb1Message(Fields1(0x2D, ids, true), words, {});
}

Bytes Smb1CoreOpenReply(uint8_t command, const Smb1Ids& ids, uint16_t fid) {
    return Smb1Message(Fields1(command, ids, true), {fid}, {});
}

Bytes Smb1Open2Reply(const Smb1Ids& ids, uint16_t fid, uint16_t actionTaken) {
    Bytes p(30, 0);
    PutLe16(p, 0, fid);
    PutLe16(p, 18, actionTaken);
    std::vector<uint16_t> words(10, 0);
    uint16_t offset = uint16_t(32 + 1 + 20 + 2 + 1);
    words[0] = uint16_t(p.size());
    words[3] = uint16_t(p.size());
    words[4] = offset;
    words[7] = uint16_t(offset + p.size());
    return Smb1Message(Fields1(0x32, ids, true), words, Concat({Bytes{0}, p}));
}

Bytes Smb1NtTransactCreateReply(const Smb1Ids& ids, uint16_t fid, uint32_t createAction) {
    Bytes p(69, 0);
    PutLe16(p, 2, fid);
    PutLe32(p, 4, createAction);
    Bytes w(36, 0);
    uint32_t offset = 32 + 1 + 36 + 2 + 1;
    PutLe32(w, 3, uint32_t(p.size()));
    PutLe32(w, 11, uint32_t(p.size()));
    PutLe32(w, 15, offset);
    std::vector<uint16_t> words(18);
    for (size_t i = 0; i < words.size(); ++i) {
        words[i] = uint16_t(w[2 * i] | w[2 * i + 1] << 8);
    }
    return Smb1Message(Fields1(0xA0, ids, true), words, Concat({Bytes{0}, p}));
}
