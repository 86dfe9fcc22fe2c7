// Every request and answer kind the engine decodes, cut short at each boundary of the
// fields its decoder reads and one byte before it. The cut message is complete (its
// NetBIOS length and the frame end where it ends), so only the decoders' bounds stand
// between it and a read past the frame: it must pass undecided and unchanged, leaving no
// event, mark or learned state. Each frame lies in a heap block of exactly its size, so
// AddressSanitizer reports any read beyond it.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>

#include "session_state.h"
#include "smb_engine_fixture.h"
#include "wire_bytes.h"

namespace {

const uint64_t Alice = 0x100000000001ull;
const uint32_t Docs = 7;
const uint16_t Uid = 0x0801;
const uint16_t Tid = 3;
const uint64_t NewSession = 0x3333;
const uint16_t NewUid = 0x0909;
const uint64_t MessageId = 0x100000050ull;
const uint16_t Mid = 0x50;
const size_t Whole = ~size_t(0);
const int NoCut = -1;

// Policy flags for alice on docs (see Rule()).
const char* const DenyAll = "10000010";
const char* const DenyRead = "10000100";
const char* const DenyDelete = "11000000";
const char* const DenyModify = "10100000";
const char* const DenyRename = "10010000";
const char* const DenyCreate = "10001000";
const char* const KnownOnly = "10000001";

Bytes Cut(const Bytes& message, size_t keep) {
    return keep >= message.size() ? message : Bytes(message.begin(), message.begin() + long(keep));
}

std::function<Bytes(size_t)> Truncating(const Bytes& whole) {
    return [whole](size_t keep) { return Cut(whole, keep); };
}

// The elements around an NTLM AUTHENTICATE message in a SPNEGO negTokenResp, innermost
// first: the message, its OCTET STRING, responseToken, the SEQUENCE, negTokenResp. The
// element at `level` is cut to `keep` bytes, its own lengths left as they were; every
// element around it is sized to what remains, so the blob is whole but for that cut.
Bytes SpnegoCut(const Bytes& ntlm, int level, size_t keep) {
    Bytes negState = DerElement(0xA0, DerElement(0x0A, Bytes{1}));
    Bytes mech = DerElement(
        0xA1, DerElement(0x06, Bytes{0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x02, 0x0A}));
    Bytes element = Cut(ntlm, level == 0 ? keep : Whole);
    element = Cut(DerElement(0x04, element), level == 1 ? keep : Whole);
    element = Cut(DerElement(0xA2, element), level == 2 ? keep : Whole);
    element = Cut(DerElement(0x30, Concat({negState, mech, element})), level == 3 ? keep : Whole);
    return Cut(DerElement(0xA1, element), level == 4 ? keep : Whole);
}

// Boundaries of a DER element: its tag, its first length byte, its whole header, its end.
std::vector<size_t> DerBoundaries(const Bytes& element) {
    size_t header = 2 + ((element[1] & 0x80) ? (element[1] & 0x7F) : 0);
    return {1, 2, header, element.size()};
}

struct CutCase {
    std::string name;
    bool answer;       // sent by the server
    const char* flags; // alice's rule on docs
    // Exchanges under that policy before the message (the request an answer answers).
    std::function<void()> before;
    // The message cut to `keep` bytes of whatever `boundaries` count in (Whole: uncut).
    std::function<Bytes(size_t)> message;
    // Ascending ends of the fields the decoder reads; the last is where the message
    // becomes decidable.
    std::vector<size_t> boundaries;
    // True when the message's decision shows afterwards; by default a request's answer
    // is rewritten (its mark).
    std::function<bool()> effect = nullptr;
};

class CutMessageTest : public SmbEngineTest {
  protected:
    FileId file2{};
    uint16_t fid1 = 0;

    // A restarted engine with alice's SMB2 and SMB1 sessions, a tree on docs in each and
    // one open file in each, then the case's policy and its earlier exchanges.
    void Fresh(const CutCase& c) {
        EngineStop();
        ASSERT_TRUE(EngineStart());
        SetInspectionEnabled(true);
        nextId = 100;
        Login2(Alice, "alice");
        Connect2(Alice, Docs, "\\\\FILESRV\\Docs");
        Login1(Uid, "alice");
        Connect1(Uid, Tid, "\\\\FILESRV\\DOCS");
        file2 = Open2(Alice, Docs, "open.txt");
        fid1 = Open1(Uid, Tid, "open1.txt");
        Rules({Rule("docs", "alice", c.flags)});
        if (c.before) {
            c.before();
        }
        Events();
    }

    struct Outcome {
        bool rewrote;
        bool unchanged;
    };
    Outcome Send(const Bytes& smb, bool answer) {
        Bytes frame = answer ? BuildTcpFrame(server, client, NetbiosWrap(smb))
                             : BuildTcpFrame(client, server, NetbiosWrap(smb));
        std::unique_ptr<uint8_t[]> exact(new uint8_t[frame.size()]);
        std::memcpy(exact.get(), frame.data(), frame.size());
        uint32_t length = uint32_t(frame.size());
        bool rewrote = answer ? InspectOutbound(exact.get(), length, false)
                              : InspectInbound(exact.get(), length, false);
        return Outcome{rewrote, std::memcmp(exact.get(), frame.data(), frame.size()) == 0};
    }

    // A failure answer to `request` under its own ids.
    static Bytes AnswerTo(const Bytes& request) {
        if (request[0] == 0xFE) {
            Bytes header(request.begin(), request.begin() + 64);
            header[16] |= 1;
            PutLe32(header, 8, 0xC000000D);
            PutLe32(header, 20, 0);
            return Concat({header, Smb2Body(9, 8)});
        }
        Bytes header(request.begin(), request.begin() + 32);
        header[9] |= 0x80;
        PutLe32(header, 5, 0xC000000D);
        return Concat({header, Bytes{0, 0, 0}});
    }

    bool Decided(const CutCase& c, const Bytes& whole) {
        if (c.effect) {
            return c.effect();
        }
        return Response(AnswerTo(whole));
    }

    // The server accepts the set-up; the session then has the user its request named.
    bool Learned(uint64_t session) {
        Response(Smb2SessionSetupResponse({session, 0, MessageId}, 0));
        SessionUser user;
        return GetSessionUser(false, session, &user);
    }
    bool Learned1(uint16_t uid) {
        Response(Smb1Reply(0x73, {uid, 0, Mid}, 0));
        SessionUser user;
        return GetSessionUser(false, uid, &user);
    }
    bool WriteDenied2(FileId file) {
        return Request(Smb2WriteRequest(Smb2Ids{Alice, Docs, 0x7000}, file));
    }
    bool WriteDenied1(uint16_t fid) {
        return Request(Smb1WriteAndXRequest(Smb1Ids{Uid, Tid, 0x70}, fid));
    }

    std::vector<CutCase> Cases();
};

std::vector<CutCase> CutMessageTest::Cases() {
    const Smb2Ids ids2{Alice, Docs, MessageId};
    const Smb1Ids ids1{Uid, Tid, Mid};
    const Bytes ntlm = NtlmAuthenticate("carol", "TESTDOM", "WKS9");
    const size_t userEnd = ReadLe32(ntlm, 40) + ReadLe16(ntlm, 36);
    std::vector<CutCase> cases;

    // ---- SMB2 requests ----
    {
        Bytes whole = Smb2SessionSetupRequest({NewSession, 0, MessageId}, SpnegoResponse(ntlm));
        cases.push_back({"SMB2 SESSION_SETUP",
                         false,
                         DenyAll,
                         nullptr,
                         Truncating(whole),
                         {64, 66, 76, 78, 80, 88, whole.size()},
                         [this] { return Learned(NewSession); }});
    }
    // The security blob cut inside, every length around the cut matching it.
    Bytes spnego = SpnegoCut(ntlm, NoCut, Whole);
    Bytes sequence(spnego.begin() + long(DerBoundaries(spnego)[2]), spnego.end());
    Bytes responseToken = DerElement(0xA2, DerElement(0x04, ntlm));
    const std::vector<size_t> blobBoundaries[] = {
        {8, 12, 28, 36, 44, 52, 88, userEnd},
        DerBoundaries(DerElement(0x04, ntlm)),
        DerBoundaries(responseToken),
        DerBoundaries(sequence),
        DerBoundaries(spnego),
    };
    for (int level = 0; level <= 4; ++level) {
        cases.push_back({"SMB2 SESSION_SETUP, blob level " + std::to_string(level), false, DenyAll,
                         nullptr,
                         [ntlm, level](size_t keep) {
                             return Smb2SessionSetupRequest({NewSession, 0, MessageId},
                                                            SpnegoCut(ntlm, level, keep));
                         },
                         blobBoundaries[level], [this] { return Learned(NewSession); }});
        cases.push_back(
            {"SMB1 SESSION_SETUP_ANDX, blob level " + std::to_string(level), false, DenyAll,
             nullptr,
             [ntlm, level](size_t keep) {
                 return Smb1SessionSetupRequest({NewUid, 0, Mid}, SpnegoCut(ntlm, level, keep));
             },
             blobBoundaries[level], [this] { return Learned1(NewUid); }});
    }
    // The NTLM message as the blob itself, without SPNEGO around it.
    cases.push_back(
        {"SMB2 SESSION_SETUP, raw NTLM blob", false, DenyAll, nullptr,
         [ntlm](size_t keep) {
             return Smb2SessionSetupRequest({NewSession, 0, MessageId}, Cut(ntlm, keep));
         },
         blobBoundaries[0], [this] { return Learned(NewSession); }});
    {
        Bytes whole = Smb2TreeConnectRequest({Alice, 0, MessageId}, "\\\\FILESRV\\Public");
        cases.push_back({"SMB2 TREE_CONNECT",
                         false,
                         DenyAll,
                         nullptr,
                         Truncating(whole),
                         {64, 66, 68, 70, 72, whole.size()},
                         [this] {
                             Response(Smb2TreeConnectResponse({Alice, 9, MessageId}));
                             return IsKnownSessionTree(false, Alice, 9);
                         }});
    }
    cases.push_back({"SMB2 TREE_DISCONNECT",
                     false,
                     DenyAll,
                     nullptr,
                     Truncating(Smb2TreeDisconnectRequest(ids2)),
                     {64, 66, 68},
                     [this, ids2] {
                         Response(Smb2ErrorResponse(4, ids2, 0));
                         return !IsKnownSessionTree(false, Alice, Docs);
                     }});
    Smb2CreateFields deleteOpen;
    deleteOpen.name = "plan.txt";
    deleteOpen.desiredAccess = 0x00010080;
    deleteOpen.shareAccess = 4;
    cases.push_back({"SMB2 CREATE",
                     false,
                     DenyDelete,
                     nullptr,
                     Truncating(Smb2CreateRequest(ids2, deleteOpen)),
                     {64, 66, 88, 92, 96, 100, 104, 108, 110, 112, 120, 136}});
    {
        // The name inside the fixed part (SmbCreateFlags and Reserved): the fixed part
        // alone bounds the message.
        Bytes whole = Cut(Smb2CreateRequest(ids2, deleteOpen), 120);
        Bytes name = Utf16Le("evil.txt");
        std::copy(name.begin(), name.end(), whole.begin() + 72);
        PutLe16(whole, 108, 72);
        cases.push_back({"SMB2 CREATE, name in the fixed part",
                         false,
                         DenyDelete,
                         nullptr,
                         Truncating(whole),
                         {64, 66, 88, 92, 96, 100, 104, 108, 110, 112, 120}});
    }
    cases.push_back({"SMB2 CLOSE",
                     false,
                     DenyModify,
                     nullptr,
                     [this](size_t keep) {
                         return Cut(Smb2CloseRequest({Alice, Docs, MessageId}, file2), keep);
                     },
                     {64, 66, 72, 88},
                     [this] {
                         Response(Smb2ErrorResponse(6, {Alice, Docs, MessageId}, 0));
                         return !WriteDenied2(file2);
                     }});
    cases.push_back({"SMB2 WRITE",
                     false,
                     DenyModify,
                     nullptr,
                     [this](size_t keep) {
                         return Cut(Smb2WriteRequest({Alice, Docs, MessageId}, file2), keep);
                     },
                     {64, 66, 80, 96}});
    cases.push_back(
        {"SMB2 IOCTL",
         false,
         DenyModify,
         nullptr,
         [this](size_t keep) {
             return Cut(Smb2IoctlRequest({Alice, Docs, MessageId}, file2, 0x000980C8), keep);
         },
         {64, 66, 68, 72, 88, 120}});
    cases.push_back({"SMB2 QUERY_INFO",
                     false,
                     KnownOnly,
                     nullptr,
                     [this](size_t keep) {
                         return Cut(Smb2QueryInfoRequest({Alice, Docs, MessageId}, file2), keep);
                     },
                     {64, 66, 67, 88, 104}});
    struct SetInfoKind {
        const char* name;
        const char* flags;
        uint8_t infoClass;
        bool renames;
    };
    const SetInfoKind setInfoKinds[] = {{"delete", DenyDelete, 13, false},
                                        {"end of file", DenyModify, 20, false},
                                        {"rename", DenyRename, 10, true},
                                        {"link", DenyRename, 11, true}};
    for (const SetInfoKind& kind : setInfoKinds) {
        std::vector<size_t> boundaries = {64, 66, 67, 68, 74, 80, 96};
        if (kind.renames) {
            boundaries.insert(boundaries.end(), {112, 116, 116 + 2 * 9});
        }
        uint8_t infoClass = kind.infoClass;
        bool renames = kind.renames;
        cases.push_back({std::string("SMB2 SET_INFO ") + kind.name, false, kind.flags, nullptr,
                         [this, infoClass, renames](size_t keep) {
                             Smb2Ids ids{Alice, Docs, MessageId};
                             return Cut(renames
                                            ? Smb2SetInfoRename(ids, file2, "moved.txt", infoClass)
                                            : Smb2SetInfoBuffer(ids, file2, infoClass, Bytes(8, 1)),
                                        keep);
                         },
                         boundaries});
    }

    // ---- SMB2 answers ----
    cases.push_back({"SMB2 SESSION_SETUP answer (guest)",
                     true,
                     DenyAll,
                     nullptr,
                     Truncating(Smb2SessionSetupResponse({NewSession, 0, MessageId}, 1)),
                     {64, 66, 68},
                     [this] { return Learned(NewSession); }});
    cases.push_back(
        {"SMB2 TREE_CONNECT answer",
         true,
         DenyAll,
         [this] {
             Request(Smb2TreeConnectRequest({Alice, 0, MessageId}, "\\\\FILESRV\\Public"));
         },
         Truncating(Smb2TreeConnectResponse({Alice, 9, MessageId})),
         {64, 66},
         [] { return IsKnownSessionTree(false, Alice, 9); }});
    Smb2CreateFields readOpen;
    readOpen.name = "new.txt";
    cases.push_back({"SMB2 CREATE answer",
                     true,
                     DenyModify,
                     [this, ids2, readOpen] { Request(Smb2CreateRequest(ids2, readOpen)); },
                     Truncating(Smb2CreateResponse(ids2, FileId{0x77, 0x88})),
                     {64, 66, 72, 128, 144},
                     [this] {
                         return WriteDenied2(FileId{0x77, 0x88});
                     }});
    cases.push_back({"SMB2 answer to a denied CREATE",
                     true,
                     DenyDelete,
                     [this, ids2, deleteOpen] { Request(Smb2CreateRequest(ids2, deleteOpen)); },
                     Truncating(Smb2ErrorResponse(5, ids2, 0xC000000D)),
                     {64, 66},
                     [] { return false; }});

    // ---- SMB1 requests ----
    {
        Bytes whole = Smb1SessionSetupRequest({NewUid, 0, Mid}, SpnegoResponse(ntlm));
        size_t blobEnd = 59 + SpnegoResponse(ntlm).size();
        cases.push_back({"SMB1 SESSION_SETUP_ANDX",
                         false,
                         DenyAll,
                         nullptr,
                         Truncating(whole),
                         {32, 33, 47, 49, 59, blobEnd},
                         [this] { return Learned1(NewUid); }});
    }
    cases.push_back({"SMB1 TREE_CONNECT_ANDX",
                     false,
                     DenyAll,
                     nullptr,
                     Truncating(Smb1TreeConnectRequest({Uid, 0, Mid}, "\\\\FILESRV\\PUBLIC")),
                     {32, 39, 41, 44, 46},
                     [this] {
                         Response(Smb1Reply(0x75, {Uid, 5, Mid}, 0));
                         return IsKnownSessionTree(false, Uid, 5);
                     }});
    Smb1CreateFields deleteOpen1;
    deleteOpen1.name = "plan.txt";
    deleteOpen1.desiredAccess = 0x00010080;
    deleteOpen1.shareAccess = 4;
    cases.push_back({"SMB1 NT_CREATE_ANDX",
                     false,
                     DenyDelete,
                     nullptr,
                     Truncating(Smb1NtCreateRequest(ids1, deleteOpen1)),
                     {32, 33, 52, 68, 72, 76, 84, 86}});
    cases.push_back({"SMB1 OPEN_ANDX",
                     false,
                     DenyRead,
                     nullptr,
                     Truncating(Smb1OpenAndXRequest(ids1, "plan.txt", 0, 1)),
                     {32, 39, 41, 49, 51, 66, 68}});
    cases.push_back({"SMB1 OPEN",
                     false,
                     DenyRead,
                     nullptr,
                     Truncating(Smb1PathRequest(0x02, ids1, {0, 0x16}, "plan.txt")),
                     {32, 33, 35, 40, 42}});
    for (uint8_t command : {uint8_t(0x03), uint8_t(0x0F)}) {
        cases.push_back({"SMB1 CREATE " + std::to_string(command),
                         false,
                         DenyCreate,
                         nullptr,
                         Truncating(Smb1PathRequest(command, ids1, {0, 0, 0}, "plan.txt")),
                         {32, 42, 44}});
    }
    cases.push_back({"SMB1 CREATE_DIRECTORY",
                     false,
                     DenyCreate,
                     nullptr,
                     Truncating(Smb1PathRequest(0x00, ids1, {}, "newdir")),
                     {32, 36, 38}});
    cases.push_back({"SMB1 DELETE_DIRECTORY",
                     false,
                     DenyDelete,
                     nullptr,
                     Truncating(Smb1PathRequest(0x01, ids1, {}, "olddir")),
                     {32, 36, 38}});
    cases.push_back({"SMB1 DELETE",
                     false,
                     DenyDelete,
                     nullptr,
                     Truncating(Smb1PathRequest(0x06, ids1, {0x16}, "plan.txt")),
                     {32, 38, 40}});
    cases.push_back({"SMB1 RENAME",
                     false,
                     DenyRename,
                     nullptr,
                     Truncating(Smb1RenameRequest(ids1, "a.txt", "b.txt")),
                     {32, 38, 40, 50, 52, 54}});
    cases.push_back({"SMB1 NT_RENAME",
                     false,
                     DenyRename,
                     nullptr,
                     Truncating(Smb1NtRenameRequest(ids1, 0x0104, "a.txt", "b.txt")),
                     {32, 35, 37, 44, 46, 56, 58, 60}});
    cases.push_back({"SMB1 WRITE_ANDX",
                     false,
                     DenyModify,
                     nullptr,
                     [this](size_t keep) {
                         return Cut(Smb1WriteAndXRequest({Uid, Tid, Mid}, fid1), keep);
                     },
                     {32, 37, 39, 53, 55}});
    for (uint8_t command : {0x0B, 0x14, 0x1D, 0x1E, 0x2C}) {
        cases.push_back(
            {"SMB1 write command " + std::to_string(command),
             false,
             DenyModify,
             nullptr,
             [this, command](size_t keep) {
                 return Cut(Smb1LegacyWriteRequest(command, {Uid, Tid, Mid}, fid1), keep);
             },
             {32, 33, 35}});
    }
    const std::vector<size_t> trans2Fixed = {32, 33, 51, 59, 60, 63, 65};
    auto trans2 = [&](std::initializer_list<size_t> more) {
        std::vector<size_t> all = trans2Fixed;
        all.insert(all.end(), more);
        return all;
    };
    cases.push_back({"SMB1 TRANS2 SET_FILE disposition", false, DenyDelete, nullptr,
                     [this](size_t keep) {
                         return Cut(Smb1Trans2SetDisposition({Uid, Tid, Mid}, fid1), keep);
                     },
                     trans2({68, 70, 72})});
    {
        Bytes name = Utf16Le("moved.txt");
        Bytes data(12, 0);
        PutLe32(data, 8, uint32_t(name.size()));
        data = Concat({data, name});
        cases.push_back(
            {"SMB1 TRANS2 SET_FILE rename", false, DenyRename, nullptr,
             [this, data](size_t keep) {
                 Bytes parameters(6, 0);
                 PutLe16(parameters, 0, fid1);
                 PutLe16(parameters, 2, 1010);
                 return Cut(Smb1Trans2Request({Uid, Tid, Mid}, 8, parameters, data), keep);
             },
             trans2({68, 70, 72, 74, 82, 86, 86 + name.size()})});
    }
    cases.push_back({"SMB1 TRANS2 QUERY_FILE", false, KnownOnly, nullptr,
                     [this](size_t keep) {
                         return Cut(Smb1Trans2QueryFile({Uid, Tid, Mid}, fid1, 1022), keep);
                     },
                     trans2({68, 70, 72})});
    cases.push_back({"SMB1 TRANS2 QUERY_PATH", false, KnownOnly, nullptr,
                     Truncating(Smb1Trans2QueryPath(ids1, "p.txt", 1004)), trans2({68, 70, 74})});
    cases.push_back({"SMB1 NT_TRANSACT CREATE",
                     false,
                     DenyRead,
                     nullptr,
                     Truncating(Smb1NtTransactCreate(ids1, "plan.txt", 0x00120089, 1)),
                     {32, 33, 52, 71, 74, 127, 128, 130}});
    cases.push_back({"SMB1 NT_TRANSACT IOCTL",
                     false,
                     DenyModify,
                     nullptr,
                     [this](size_t keep) {
                         return Cut(Smb1NtTransactIoctl({Uid, Tid, Mid}, fid1, 0x000980C8), keep);
                     },
                     {32, 33, 52, 71, 75, 77}});

    // ---- SMB1 answers ----
    Smb1CreateFields readOpen1;
    readOpen1.name = "new1.txt";
    cases.push_back({"SMB1 NT_CREATE_ANDX answer",
                     true,
                     DenyModify,
                     [this, ids1, readOpen1] { Request(Smb1NtCreateRequest(ids1, readOpen1)); },
                     Truncating(Smb1NtCreateReply(ids1, 0x4242)),
                     {32, 33, 38, 40},
                     [this] { return WriteDenied1(0x4242); }});
    cases.push_back({"SMB1 OPEN_ANDX answer",
                     true,
                     DenyModify,
                     [this, ids1] { Request(Smb1OpenAndXRequest(ids1, "new2.txt", 0, 1)); },
                     Truncating(Smb1OpenAndXReply(ids1, 0x4343, 1)),
                     {32, 37, 39},
                     [this] { return WriteDenied1(0x4343); }});
    cases.push_back({"SMB1 OPEN answer",
                     true,
                     DenyModify,
                     [this, ids1] {
                         Request(Smb1PathRequest(0x02, ids1, {0, 0x16}, "new3.txt"));
                     },
                     Truncating(Smb1CoreOpenReply(0x02, ids1, 0x4444)),
                     {32, 33, 35},
                     [this] { return WriteDenied1(0x4444); }});
    cases.push_back(
        {"SMB1 NT_TRANSACT CREATE answer",
         true,
         DenyModify,
         [this, ids1] { Request(Smb1NtTransactCreate(ids1, "new4.txt", 0x00120089, 1)); },
         Truncating(Smb1NtTransactCreateReply(ids1, 0x4545, 1)),
         {32, 48, 52, 72, 80},
         [this] { return WriteDenied1(0x4545); }});
    cases.push_back({"SMB1 TREE_CONNECT_ANDX answer",
                     true,
                     DenyAll,
                     [this] {
                         Request(Smb1TreeConnectRequest({Uid, 0, Mid}, "\\\\FILESRV\\PUBLIC"));
                     },
                     Truncating(Smb1Reply(0x75, {Uid, 5, Mid}, 0)),
                     {32},
                     [] { return IsKnownSessionTree(false, Uid, 5); }});
    cases.push_back({"SMB1 answer to a denied DELETE",
                     true,
                     DenyDelete,
                     [this, ids1] { Request(Smb1PathRequest(0x06, ids1, {0x16}, "plan.txt")); },
                     Truncating(Smb1Reply(0x06, ids1, 0xC0000034)),
                     {32},
                     [] { return false; }});
    return cases;
}

TEST_F(CutMessageTest, EveryKindCutAtEachFieldBoundaryPassesUndecided) {
    for (const CutCase& c : Cases()) {
        SCOPED_TRACE(c.name);
        // The whole message is decided: the cuts below take away what it needs.
        Fresh(c);
        Bytes whole = c.message(Whole);
        Outcome o = Send(whole, c.answer);
        bool events = !Events().empty();
        ASSERT_TRUE(o.rewrote || events || Decided(c, whole)) << "the whole message";

        size_t decidable = c.boundaries.back();
        std::vector<size_t> cuts;
        for (size_t b : c.boundaries) {
            for (size_t cut : {b - 1, b}) {
                if (cut < decidable && (cuts.empty() || cut > cuts.back())) {
                    cuts.push_back(cut);
                }
            }
        }
        for (size_t cut : cuts) {
            SCOPED_TRACE("cut at " + std::to_string(cut));
            Fresh(c);
            Outcome cutOutcome = Send(c.message(cut), c.answer);
            EXPECT_FALSE(cutOutcome.rewrote);
            EXPECT_TRUE(cutOutcome.unchanged);
            EXPECT_TRUE(Events().empty());
            EXPECT_FALSE(Decided(c, whole));
        }
    }
}

} // namespace
