// A rewritten inbound frame that travels with its own bytes takes its denials back: the
// server carried out the request, so its answer must reach the client unchanged.
#include <gtest/gtest.h>

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

} // namespace
