// Seed inputs built with the test builders: whole conversations of both dialects that
// reach every decoder the engine has, under the users and shares of the fuzz policy.
#include "builder_seeds.h"

#include <algorithm>

#include "frame_sequence.h"
#include "ntlm.h"
#include "seed_windows.h"
#include "smb_builders.h"
#include "wire_bytes.h"

namespace {

// Frames of one client's conversation, in order.
class Conversation {
  public:
    explicit Conversation(uint8_t client, bool ipv6 = false)
        : client_(TestClient(client)), ipv6_(ipv6) {}
    void Request(const Bytes& smb) { Add(true, BuildTcpFrame(client_, server_, NetbiosWrap(smb))); }
    void Response(const Bytes& smb) {
        Add(false, BuildTcpFrame(server_, client_, NetbiosWrap(smb)));
    }
    // A request whose frame ends in `zeros` zero bytes, written with a zero tail: a long
    // frame in a few input bytes.
    void LongRequest(const Bytes& smb, size_t zeros) {
        Bytes frame = BuildTcpFrame(client_, server_, NetbiosWrap(smb));
        std::fill(frame.end() - long(zeros), frame.end(), 0);
        AppendZeroTailFrame(&sequence_, true, frame);
    }
    // Client bytes of one or more messages in consecutive segments, cut at `cuts`.
    void Stream(const Bytes& bytes, std::vector<size_t> cuts) {
        cuts.push_back(bytes.size());
        size_t at = 0;
        for (size_t cut : cuts) {
            Add(true, BuildTcpFrame(client_, server_,
                                    Bytes(bytes.begin() + long(at), bytes.begin() + long(cut))));
            at = cut;
        }
    }
    // Server bytes of several whole messages in one segment.
    void Answers(const Bytes& bytes) { Add(false, BuildTcpFrame(server_, client_, bytes)); }
    const std::vector<uint8_t>& Sequence() const { return sequence_; }

  private:
    void Add(bool inbound, const Bytes& frame) {
        AppendToFrameSequence(&sequence_, inbound, ipv6_ ? ToIpv6Frame(frame) : frame);
    }
    Endpoint client_;
    bool ipv6_;
    Endpoint server_ = TestServer();
    std::vector<uint8_t> sequence_;
};

Bytes AuthenticateBlob(const std::string& user) {
    return SpnegoResponse(NtlmAuthenticate(user, "corp", "pc7"));
}

// Opens, writes, queries, renames, deletes and closes in "docs", as the fuzz policy's
// rules for alice and bob decide them.
// A member of a compound chain that names the file of the chain's create.
Bytes Related(Bytes member) {
    member[16] |= 0x04; // related operations, in the SMB2 header's flags
    return member;
}

// FILE_RENAME_INFORMATION as a TRANS2 data block: flags, root, name length, name.
Bytes RenameData(const std::string& name) {
    Bytes text = Utf16Le(name);
    Bytes fixed(12, 0);
    PutLe32(fixed, 8, uint32_t(text.size()));
    return Concat({fixed, text});
}

// TRANS2 parameters of a level on a path (level, four reserved bytes, the name).
Bytes PathLevel(uint16_t level, const std::string& name) {
    Bytes p(6, 0);
    PutLe16(p, 0, level);
    return Concat({p, Utf16Le(name), Bytes{0, 0}});
}

std::vector<uint8_t> Smb2Conversation(const std::string& user, const std::string& share,
                                      bool ipv6 = false) {
    Conversation c(user == "alice" ? 10 : 11, ipv6);
    const uint64_t session = 0x1000000000000041ull;
    const uint32_t tree = 7;
    uint64_t mid = 1;
    c.Request(Smb2SessionSetupRequest({0, 0, mid}, SpnegoResponse(NtlmNegotiate())));
    c.Response(Smb2SessionSetupResponse({session, 0, mid++}, 0, 0xC0000016));
    c.Request(Smb2SessionSetupRequest({session, 0, mid}, AuthenticateBlob(user)));
    c.Response(Smb2SessionSetupResponse({session, 0, mid++}, 0));
    c.Request(Smb2TreeConnectRequest({session, 0, mid}, "\\\\srv\\" + share));
    c.Response(Smb2TreeConnectResponse({session, tree, mid++}));
    c.Request(Smb2TreeConnectRequest({session, 0, mid}, "\\\\srv\\IPC$"));
    c.Response(Smb2TreeConnectResponse({session, tree + 1, mid++}));

    Smb2CreateFields plain;
    plain.name = "folder1\\Plan.xlsx";
    Smb2CreateFields deleting = plain;
    deleting.name = "old.txt";
    deleting.shareAccess = 4;
    deleting.createOptions = 0x1000;
    Smb2CreateFields creating = plain;
    creating.name = "new.docx";
    creating.createDisposition = 2;
    creating.desiredAccess = 0x2;
    Smb2CreateFields temporary = plain;
    temporary.name = "~$plan.tmp";
    temporary.createDisposition = 2;
    Smb2CreateFields exempt = plain;
    exempt.name = "trace.log";
    FileId file{0x51, 0x52};
    for (const Smb2CreateFields* fields : {&plain, &deleting, &creating, &temporary, &exempt}) {
        c.Request(Smb2CreateRequest({session, tree, mid}, *fields));
        c.Response(Smb2CreateResponse({session, tree, mid++}, file));
        file.volatileId += 1;
    }
    // Writes, queries and set-info on the first create's file (in folder1, which alice may
    // not open, so the engine holds no open for it) and on new.docx (which she may).
    const FileId open{0x51, 0x52};
    for (FileId target : {open, FileId{0x51, 0x54}}) {
        c.Request(Smb2WriteRequest({session, tree, mid}, target, 64));
        c.Response(Smb2SimpleResponse(9, {session, tree, mid++}));
        c.Request(Smb2QueryInfoRequest({session, tree, mid}, target));
        c.Response(Smb2SimpleResponse(16, {session, tree, mid++}));
        c.Request(Smb2SetInfoRename({session, tree, mid}, target, "folder1\\Plan.tmp"));
        c.Response(Smb2SimpleResponse(17, {session, tree, mid++}, 0xC0000022));
        c.Request(Smb2SetInfoRename({session, tree, mid}, target, "renamed.xlsx", 65));
        c.Response(Smb2SimpleResponse(17, {session, tree, mid++}));
        c.Request(Smb2SetInfoDisposition({session, tree, mid}, target));
        c.Response(Smb2SimpleResponse(17, {session, tree, mid++}));
        c.Request(Smb2SetInfoDisposition({session, tree, mid}, target, 64));
        c.Response(Smb2SimpleResponse(17, {session, tree, mid++}));
        c.Request(Smb2SetInfoBasic({session, tree, mid}, target));
        c.Response(Smb2SimpleResponse(17, {session, tree, mid++}));
        // A hard link, and a new end of file.
        c.Request(Smb2SetInfoRename({session, tree, mid}, target, "link.xlsx", 11));
        c.Response(Smb2SimpleResponse(17, {session, tree, mid++}));
        c.Request(Smb2SetInfoBuffer({session, tree, mid}, target, 20, Bytes(8, 0)));
        c.Response(Smb2SimpleResponse(17, {session, tree, mid++}));
    }
    // A write of nearly 64 KB in one frame, as a large send hands it over.
    const uint32_t longWrite = 65000;
    c.LongRequest(Smb2WriteRequest({session, tree, mid}, FileId{0x51, 0x54}, longWrite), longWrite);
    c.Response(Smb2SimpleResponse(9, {session, tree, mid++}));
    // Ioctls that change content, on the open file and on the file of a chain's create.
    for (uint32_t code : {0x001440F2u, 0x000980C8u, 0x00140078u}) {
        c.Request(Smb2IoctlRequest({session, tree, mid}, open, code));
        c.Response(Smb2SimpleResponse(11, {session, tree, mid++}));
    }
    const FileId related{~0ull, ~0ull};
    c.Request(
        Smb2Compound({Smb2CreateRequest({session, tree, mid}, creating),
                      Related(Smb2WriteRequest({session, tree, mid + 1}, related)),
                      Related(Smb2IoctlRequest({session, tree, mid + 2}, related, 0x001480F2))}));
    c.Response(Smb2ErrorResponse(5, {session, tree, mid}, 0xC0000022));
    mid += 3;
    // Two creates in one compound chain, then the close and the disconnect.
    Smb2CreateFields second = plain;
    second.name = "b.txt";
    c.Request(Smb2Compound({Smb2CreateRequest({session, tree, mid}, plain),
                            Smb2CreateRequest({session, tree, mid + 1}, second)}));
    c.Response(Smb2ErrorResponse(5, {session, tree, mid}, 0xC0000034));
    mid += 2;
    c.Request(Smb2CloseRequest({session, tree, mid}, open));
    c.Response(Smb2SimpleResponse(6, {session, tree, mid++}));
    c.Request(Smb2TreeDisconnectRequest({session, tree, mid}));
    c.Response(Smb2SimpleResponse(4, {session, tree, mid++}));
    return c.Sequence();
}

// Messages that do not start a segment or span several: a keep-alive and an ECHO in front
// of a delete, a create cut in its name, a compound whose rename follows written data, an
// SMB1 delete cut in its name, and their answers in one segment.
std::vector<uint8_t> FramingConversation(const std::string& user) {
    Conversation c(user == "alice" ? 10 : 11);
    const uint64_t session = 0x1000000000000043ull;
    const uint32_t tree = 7;
    uint64_t mid = 1;
    c.Request(Smb2SessionSetupRequest({session, 0, mid}, AuthenticateBlob(user)));
    c.Response(Smb2SessionSetupResponse({session, 0, mid++}, 0));
    c.Request(Smb2TreeConnectRequest({session, 0, mid}, "\\\\srv\\docs"));
    c.Response(Smb2TreeConnectResponse({session, tree, mid++}));
    Smb2CreateFields deleting;
    deleting.name = "folder1\\folder2\\old.txt";
    deleting.desiredAccess = 0x00110080;
    deleting.createOptions = 0x1000;
    Smb2Fields echo;
    echo.command = 13;
    echo.messageId = mid++;
    Bytes keepAlive = {0x85, 0, 0, 0};
    c.Stream(Concat({keepAlive, NetbiosWrap(Smb2Message(echo, Smb2Body(4, 4))),
                     NetbiosWrap(Smb2CreateRequest({session, tree, mid++}, deleting))}),
             {});
    c.Stream(NetbiosWrap(Smb2CreateRequest({session, tree, mid++}, deleting)), {130});
    FileId file{0x61, 0x62};
    c.Stream(NetbiosWrap(
                 Smb2Compound({Smb2WriteRequest({session, tree, mid}, file, 1000),
                               Smb2SetInfoRename({session, tree, mid + 1}, file, "renamed.txt")})),
             {600, 1100});
    c.Answers(Concat({NetbiosWrap(Smb2ErrorResponse(9, {session, tree, mid}, 0xC0000128)),
                      NetbiosWrap(Smb2ErrorResponse(17, {session, tree, mid + 1}, 0xC000000D))}));
    mid += 2;
    const uint16_t uid = 0x801;
    Bytes blob = AuthenticateBlob(user);
    c.Request(Smb1SessionSetupRequest({uid, 0, 1}, blob));
    c.Request(Smb1TreeConnectRequest({uid, 0, 2}, "\\\\srv\\docs"));
    c.Response(Smb1Reply(0x75, {uid, 0x31, 2}, 0));
    c.Stream(NetbiosWrap(Smb1PathRequest(0x06, {uid, 0x31, 3}, {0x16}, "folder1\\old.txt")), {50});
    c.Response(Smb1Reply(0x06, {uid, 0x31, 3}, 0xC000000D));
    return c.Sequence();
}

std::vector<uint8_t> Smb1Conversation(const std::string& user, const std::string& share) {
    Conversation c(user == "alice" ? 10 : 11);
    const uint16_t uid = 0x801;
    const uint16_t tid = 3;
    uint16_t mid = 1;
    c.Request(Smb1SessionSetupRequest({0, 0, mid}, SpnegoResponse(NtlmNegotiate())));
    c.Response(Smb1Reply(0x73, {uid, 0, mid++}, 0xC0000016));
    c.Request(Smb1SessionSetupRequest({uid, 0, mid}, AuthenticateBlob(user)));
    c.Response(Smb1Reply(0x73, {uid, 0, mid++}, 0));
    c.Request(Smb1TreeConnectRequest({uid, 0, mid}, "\\\\SRV\\" + share));
    c.Response(Smb1Reply(0x75, {uid, tid, mid++}, 0));

    Smb1CreateFields plain;
    plain.name = "folder1\\Plan.doc";
    Smb1CreateFields deleting = plain;
    deleting.name = "old.txt";
    deleting.createOptions = 0x1000;
    Smb1CreateFields creating = plain;
    creating.name = "new.ppt";
    creating.createDisposition = 2;
    const uint16_t fid = 0x4001;
    for (const Smb1CreateFields* fields : {&plain, &deleting, &creating}) {
        c.Request(Smb1NtCreateRequest({uid, tid, mid}, *fields));
        c.Response(Smb1NtCreateReply({uid, tid, mid++}, fid));
    }
    c.Request(Smb1WriteAndXRequest({uid, tid, mid}, fid, 64));
    c.Response(Smb1Reply(0x2F, {uid, tid, mid++}, 0));
    const uint16_t longWrite = 60000;
    c.LongRequest(Smb1WriteAndXRequest({uid, tid, mid}, fid, longWrite), longWrite);
    c.Response(Smb1Reply(0x2F, {uid, tid, mid++}, 0));
    c.Request(Smb1RenameRequest({uid, tid, mid}, "folder1\\Plan.doc", "folder1\\~$Plan.tmp"));
    c.Response(Smb1Reply(0x07, {uid, tid, mid++}, 0xC0000022));
    c.Request(Smb1Trans2SetDisposition({uid, tid, mid}, fid));
    c.Response(Smb1Reply(0x32, {uid, tid, mid++}, 0));
    c.Request(Smb1Trans2QueryFile({uid, tid, mid}, fid, 1004));
    c.Response(Smb1Reply(0x32, {uid, tid, mid++}, 0));
    c.Request(Smb1Trans2QueryPath({uid, tid, mid}, "folder1\\Plan.doc", 1005));
    c.Response(Smb1Reply(0x32, {uid, tid, mid++}, 0));
    // NT_TRANSACT create and ioctl, TRANS2 directory creation, and the set levels that
    // delete, rename and resize, on a path and on the open file.
    c.Request(Smb1NtTransactCreate({uid, tid, mid}, "folder1\\Plan.doc", 0x00130196, 1));
    c.Response(Smb1NtTransactCreateReply({uid, tid, mid++}, fid, 1));
    c.Request(Smb1NtTransactIoctl({uid, tid, mid}, fid, 0x001440F2));
    c.Response(Smb1Reply(0xA0, {uid, tid, mid++}, 0));
    c.Request(Smb1Trans2Request({uid, tid, mid}, 0x0D,
                                Concat({Bytes(4, 0), Utf16Le("folder1\\New"), Bytes{0, 0}})));
    c.Response(Smb1Reply(0x32, {uid, tid, mid++}, 0));
    for (uint16_t level : {1013, 1010, 1011, 1020}) {
        c.Request(Smb1Trans2Request({uid, tid, mid}, 6, PathLevel(level, "folder1\\Plan.doc"),
                                    RenameData("folder1\\Moved.doc")));
        c.Response(Smb1Reply(0x32, {uid, tid, mid++}, 0));
        Bytes onFile(6, 0);
        PutLe16(onFile, 0, fid);
        PutLe16(onFile, 2, level);
        c.Request(Smb1Trans2Request({uid, tid, mid}, 8, onFile, RenameData("Moved.doc")));
        c.Response(Smb1Reply(0x32, {uid, tid, mid++}, 0));
    }
    // TRANS2_OPEN2 and OPEN_ANDX for writing, with each open function (open, truncate,
    // create, and their combinations).
    for (uint16_t function : {0x01, 0x02, 0x10, 0x11, 0x12}) {
        Bytes open2(28, 0);
        open2[2] = 1; // write only
        PutLe16(open2, 12, function);
        c.Request(Smb1Trans2Request({uid, tid, mid}, 0,
                                    Concat({open2, Utf16Le("folder1\\Plan.doc"), Bytes{0, 0}})));
        c.Response(Smb1Open2Reply({uid, tid, mid++}, fid, 2));
        c.Request(Smb1OpenAndXRequest({uid, tid, mid}, "new.ppt", 2, function));
        c.Response(Smb1OpenAndXReply({uid, tid, mid++}, fid, 2));
    }
    c.Request(Smb1NtRenameRequest({uid, tid, mid}, 0x104, "\\old.txt", "\\kept.txt"));
    c.Response(Smb1Reply(0xA5, {uid, tid, mid++}, 0));
    // Names in the OEM code page, and the IPC share, which is never decided.
    Smb1Ids oem{uid, tid, mid, false};
    c.Request(Smb1RenameRequest(oem, "Old.doc", "New.doc"));
    c.Response(Smb1Reply(0x07, {uid, tid, mid++}, 0));
    c.Request(Smb1TreeConnectRequest({uid, 0, mid}, "\\\\SRV\\IPC$"));
    c.Response(Smb1Reply(0x75, {uid, tid + 1, mid++}, 0));
    c.Request(Smb1NtCreateRequest({uid, uint16_t(tid + 1), mid}, plain));
    c.Response(Smb1NtCreateReply({uid, uint16_t(tid + 1), mid++}, fid + 1));
    c.Request(Smb1WriteAndXRequest({uid, uint16_t(tid + 1), mid}, fid + 1, 64));
    c.Response(Smb1Reply(0x2F, {uid, uint16_t(tid + 1), mid++}, 0));
    c.Request(Smb1CloseRequest({uid, tid, mid}, fid));
    c.Response(Smb1Reply(0x04, {uid, tid, mid++}, 0));
    c.Request(Smb1TreeDisconnectRequest({uid, tid, mid}));
    c.Response(Smb1Reply(0x71, {uid, tid, mid++}, 0));
    return c.Sequence();
}

// A logon, then encrypted and compressed messages of the session both ways, one of them
// split over two segments, and a signed request.
std::vector<uint8_t> UnreadableConversation(const std::string& user) {
    Conversation c(user == "alice" ? 10 : 11);
    const uint64_t session = 0x1000000000000041ull;
    c.Request(Smb2SessionSetupRequest({session, 0, 1}, AuthenticateBlob(user)));
    c.Response(Smb2SessionSetupResponse({session, 0, 1}, 0));
    Bytes encrypted = Smb2TransformMessage(session, 96);
    c.Request(encrypted);
    c.Response(encrypted);
    c.Stream(NetbiosWrap(encrypted), {30});
    c.Request(Smb2CompressedMessage(session, 24));
    Smb2Fields signedRead;
    signedRead.command = 8;
    signedRead.flags = 0x8;
    signedRead.sessionId = session;
    Bytes read = Smb2Message(signedRead, Smb2Body(49, 48));
    read[48] = 0x5E;
    c.Request(read);
    return c.Sequence();
}

} // namespace

void WriteBuilderSeeds(const std::string& framesDir, const std::string& blobsDir) {
    int n = 0;
    for (const char* user : {"alice", "bob"}) {
        for (const char* share : {"docs", "public"}) {
            WriteFrameSeed(framesDir, "built-smb2-" + std::to_string(n),
                           Smb2Conversation(user, share));
            WriteFrameSeed(framesDir, "built-smb1-" + std::to_string(n),
                           Smb1Conversation(user, share));
            ++n;
        }
    }
    WriteFrameSeed(framesDir, "built-framing-alice", FramingConversation("alice"));
    WriteFrameSeed(framesDir, "built-smb2-ipv6-alice", Smb2Conversation("alice", "docs", true));
    for (const char* user : {"alice", "bob"}) {
        WriteFrameSeed(framesDir, "built-unreadable-" + std::string(user),
                       UnreadableConversation(user));
    }
    // Both clients under admission control: one listed, one not.
    for (const char* user : {"alice", "bob"}) {
        std::vector<uint8_t> gated = Smb2Conversation(user, "docs");
        gated[0] |= SequenceAdmissionBit;
        WriteFrameSeed(framesDir, "built-admission-" + std::string(user), gated);
    }
    WriteSeedFile(blobsDir + "/built-negotiate", NtlmNegotiate());
    WriteSeedFile(blobsDir + "/built-authenticate", NtlmAuthenticate("Alice", "CORP", "PC7"));
    WriteSeedFile(blobsDir + "/built-spnego", AuthenticateBlob("bob"));
    WriteSeedFile(blobsDir + "/built-spnego-long",
                  SpnegoResponse(NtlmAuthenticate("x", "y", "z"), 4));
}
