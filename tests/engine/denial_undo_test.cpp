// A rewritten inbound frame that travels with its own bytes takes its denials back: the
// server carried out the request, so its answer must reach the client unchanged.
#include <gtest/gtest.h>

#include <functional>

#include "smb_engine_fixture.h"

namespace {

const uint64_t Alice = 0x100000000001ull;
const uint32_t Docs = 7;
const uint16_t Uid = 0x0801;
const uint16_t Tid = 3;

class DenialUndoTest : public SmbEngineTest {
  protected:
    void SetUp() override {
        SmbEngineTest::SetUp();
        Login2(Alice, "alice");
        Connect2(Alice, Docs, "\\\\FILESRV\\Docs");
        Login1(Uid, "alice");
        Connect1(Uid, Tid, "\\\\FILESRV\\DOCS");
        Rules({Rule("docs", "alice", "11000000")}); // report, deny delete
    }
    void Forget() { ForgetInboundDenials(lastFrame.data(), uint32_t(lastFrame.size()), false); }

    Bytes DeleteOpen2(const Smb2Ids& ids, const std::string& name) {
        Smb2CreateFields fields;
        fields.name = name;
        fields.desiredAccess = 0x00010080;
        fields.shareAccess = 7;
        fields.createOptions = 0x00001000; // delete on close
        return Smb2CreateRequest(ids, fields);
    }
    Bytes DeleteOpen1(const Smb1Ids& ids, const std::string& name) {
        Smb1CreateFields fields;
        fields.name = name;
        fields.desiredAccess = 0x00010080;
        fields.shareAccess = 4;
        return Smb1NtCreateRequest(ids, fields);
    }
};

TEST_F(DenialUndoTest, ForgottenRequestsAnswerUnchangedOthersStillDenied) {
    // A request denied earlier whose frame travelled rewritten keeps its denial.
    Smb2Ids kept{Alice, Docs, nextId++};
    ASSERT_TRUE(Request(DeleteOpen2(kept, "kept.txt")));

    // SMB2: one denied create, then a compound of two denied creates.
    Smb2Ids single{Alice, Docs, nextId++};
    ASSERT_TRUE(Request(DeleteOpen2(single, "a.txt")));
    Forget();
    Smb2Ids first{Alice, Docs, nextId++};
    Smb2Ids second{Alice, Docs, nextId++};
    ASSERT_TRUE(Request(Smb2Compound({DeleteOpen2(first, "b.txt"), DeleteOpen2(second, "c.txt")})));
    Forget();
    // SMB1: a denied create.
    Smb1Ids smb1{Uid, Tid, nextMid()};
    ASSERT_TRUE(Request(DeleteOpen1(smb1, "d.txt")));
    Forget();

    for (const Smb2Ids& ids : {single, first, second}) {
        EXPECT_FALSE(Response(Smb2CreateResponse(ids, FileId{ids.messageId, 1})))
            << "message " << ids.messageId;
    }
    EXPECT_FALSE(Response(Smb1NtCreateReply(smb1, 0x4001)));
    EXPECT_TRUE(Response(Smb2ErrorResponse(5, kept, 0xC000000D)));
    EXPECT_EQ(ReadLe32(LastSmb(), Smb2StatusAt), 0xC0000022u);
}

TEST_F(DenialUndoTest, FramesThatAreNotSmbRequestsAreIgnored) {
    Smb2Ids kept{Alice, Docs, nextId++};
    ASSERT_TRUE(Request(DeleteOpen2(kept, "kept.txt")));
    Bytes request = lastFrame;
    // The same bytes sent by the server, a truncated copy and an empty frame forget
    // nothing.
    Bytes fromServer = BuildTcpFrame(server, client, NetbiosWrap(LastSmb()));
    ForgetInboundDenials(fromServer.data(), uint32_t(fromServer.size()), false);
    ForgetInboundDenials(request.data(), uint32_t(FrameSmbHeader + 40), false);
    ForgetInboundDenials(request.data(), 0, false);
    EXPECT_TRUE(Response(Smb2ErrorResponse(5, kept, 0xC000000D)));
}

// Each kind of mark, and the outcome a narrowed create leaves to its answer: a request
// that leaves it and travels with its own bytes takes it back, so the server's answer to it
// passes unchanged and unreported, while a request denied the same way under a message id
// with the same low 32 bits keeps its denial.
TEST_F(DenialUndoTest, EachMarkKindIsTakenBackAndOnlyItsOwn) {
    const uint64_t High = 1ull << 32;
    const uint64_t Stranger = 0x7700000000000077ull; // a session the engine never saw
    const uint32_t Refused = 0xC000000D;
    struct Case {
        const char* name;
        const char* flags;
        // The request and the answer the server gives it, under one message id (SMB1:
        // the low 16 bits are the MID).
        std::function<Bytes(uint64_t)> request;
        std::function<Bytes(uint64_t)> answer;
        uint32_t deniedStatus;
    };
    FileId file2 = Open2(Alice, Docs, "open.txt");
    uint16_t fid1 = Open1(Uid, Tid, "open1.txt");
    auto smb2 = [](uint64_t id) { return Smb2Ids{Alice, Docs, id}; };
    auto smb1 = [](uint64_t id) { return Smb1Ids{Uid, Tid, uint16_t(id)}; };
    auto create2 = [&](uint32_t access, uint32_t share, uint32_t disposition, uint32_t options) {
        return [=](uint64_t id) {
            Smb2CreateFields fields;
            fields.name = "f" + std::to_string(id % 1000) + ".txt";
            fields.desiredAccess = access;
            fields.shareAccess = share;
            fields.createDisposition = disposition;
            fields.createOptions = options;
            return Smb2CreateRequest(smb2(id), fields);
        };
    };
    // The server refuses each spoiled request (a success would say that it carried the
    // request out, and pass as it is).
    auto created2 = [&](uint64_t id) { return Smb2ErrorResponse(5, smb2(id), Refused); };
    auto answer2 = [&](uint16_t command) {
        return [=](uint64_t id) { return Smb2ErrorResponse(command, smb2(id), Refused); };
    };
    const Case cases[] = {
        {"unknown session", "11111000",
         [&](uint64_t id) {
             Smb2CreateFields fields;
             fields.name = "who.txt";
             return Smb2CreateRequest(Smb2Ids{Stranger, Docs, id}, fields);
         },
         [&](uint64_t id) {
             return Smb2ErrorResponse(5, Smb2Ids{Stranger, Docs, id}, Refused);
         },
         0xC0000203},
        {"create: read", "10000100", create2(0x00120089, 7, 1, 0), created2, 0xC0000022},
        {"create: delete", "11000000", create2(0x00010080, 7, 1, 0x1000), created2, 0xC0000022},
        {"create: new file", "10001000", create2(0x00120116, 7, 2, 0), created2, 0xC0000022},
        {"create: known clients only", "10000001", create2(0x00120089, 7, 1, 0), created2,
         0xC0000022},
        {"write", "10100000", [&](uint64_t id) { return Smb2WriteRequest(smb2(id), file2); },
         answer2(9), 0xC0000022},
        {"delete", "11000000", [&](uint64_t id) { return Smb2SetInfoDisposition(smb2(id), file2); },
         answer2(17), 0xC0000022},
        {"rename", "10010000",
         [&](uint64_t id) { return Smb2SetInfoRename(smb2(id), file2, "moved.txt"); }, answer2(17),
         0xC0000022},
        {"query info", "10000001",
         [&](uint64_t id) { return Smb2QueryInfoRequest(smb2(id), file2); }, answer2(16),
         0xC0000022},
        {"narrowed create", "10001000", create2(0x00120116, 7, 3, 0), // OPEN_IF becomes OPEN
         [&](uint64_t id) { return Smb2ErrorResponse(5, smb2(id), 0xC0000034); }, 0xC0000022},
        {"SMB1 create: delete", "11000000",
         [&](uint64_t id) {
             Smb1CreateFields fields;
             fields.name = "g" + std::to_string(id % 1000) + ".txt";
             fields.desiredAccess = 0x00010080;
             fields.shareAccess = 4;
             return Smb1NtCreateRequest(smb1(id), fields);
         },
         [&](uint64_t id) { return Smb1NtCreateReply(smb1(id), 0x4321, Refused); }, 0xC0000022},
        {"SMB1 query file", "10000001",
         [&](uint64_t id) { return Smb1Trans2QueryFile(smb1(id), fid1, 1022); },
         [&](uint64_t id) { return Smb1Reply(0x32, smb1(id), 0); }, 0xC0000022},
        {"SMB1 query path", "10000001",
         [&](uint64_t id) { return Smb1Trans2QueryPath(smb1(id), "p.txt", 1004); },
         [&](uint64_t id) { return Smb1Reply(0x32, smb1(id), 0); }, 0xC0000022},
        {"SMB1 write", "10100000",
         [&](uint64_t id) { return Smb1WriteAndXRequest(smb1(id), fid1); },
         [&](uint64_t id) { return Smb1Reply(0x2F, smb1(id), 0); }, 0xC0000022},
    };
    uint64_t base = 0x5000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rules({Rule("docs", "alice", c.flags)});
        bool smb1Case = std::string(c.name).rfind("SMB1", 0) == 0;
        // SMB2 ids at and above 2^32 that share their low 32 bits; SMB1 MIDs apart.
        uint64_t kept = smb1Case ? base + 1 : base + 3 * High;
        uint64_t forgotten = smb1Case ? base + 2 : base + High;
        base += 0x10;
        ASSERT_TRUE(Request(c.request(kept)));
        Bytes original = BuildTcpFrame(client, server, NetbiosWrap(c.request(forgotten)));
        ASSERT_TRUE(Request(c.request(forgotten)));
        Events();
        ForgetInboundDenials(original.data(), uint32_t(original.size()), false);

        EXPECT_FALSE(Response(c.answer(forgotten))) << "the forgotten request's answer";
        EXPECT_TRUE(Events().empty());
        ASSERT_TRUE(Response(c.answer(kept))) << "the kept request's answer";
        EXPECT_EQ(ReadLe32(LastSmb(), smb1Case ? Smb1StatusAt : Smb2StatusAt), c.deniedStatus);
    }
}

} // namespace
