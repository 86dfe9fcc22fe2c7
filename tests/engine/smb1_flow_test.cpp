// SMB1 traffic through the engine's entries, request to reply.
#include <gtest/gtest.h>

#include "engine_state.h"
#include "session_state.h"
#include "smb_engine_fixture.h"

namespace {

const uint16_t Uid = 0x0801;
const uint16_t Tid = 0x0003;
const uint32_t StatusAccessDenied = 0xC0000022;

class Smb1FlowTest : public SmbEngineTest {
  protected:
    void SetUp() override {
        SmbEngineTest::SetUp();
        Login1(Uid, "alice");
        Connect1(Uid, Tid, "\\\\FILESRV\\DOCS");
    }
    Smb1Ids Ids(bool unicode = true) { return Smb1Ids{Uid, Tid, nextMid(), unicode}; }
};

TEST_F(Smb1FlowTest, SessionAndTreeAreLearned) {
    SessionUser user;
    ASSERT_TRUE(GetSessionUser(false, Uid, &user));
    EXPECT_EQ(Ascii(user.UserName), "alice");
    EXPECT_TRUE(IsKnownSessionTree(false, Uid, Tid));
}

TEST_F(Smb1FlowTest, DeniedCreateAndItsReply) {
    Rules({Rule("docs", "alice", "11000000")});
    Smb1Ids ids = Ids();
    Smb1CreateFields fields;
    fields.name = "plan.xlsx";
    fields.desiredAccess = 0x00010080; // delete, read attributes: no FILE_READ_DATA
    fields.shareAccess = 4;
    ASSERT_TRUE(Request(Smb1NtCreateRequest(ids, fields)));
    EXPECT_EQ(ReadLe32(LastSmb(), Smb1CreateOptionsAt), 0x41u);
    std::vector<FileEvent> events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(EventPath(events[0]), "docs\\plan.xlsx");

    // A reply in the DOS error form still becomes an NT status reply.
    Bytes reply = Smb1Reply(0xA2, ids, 0x00020001);
    reply[Smb1Flags2At + 1] &= 0xBF; // clear SMB_FLAGS2_NT_STATUS
    ASSERT_TRUE(Response(reply));
    Bytes answer = LastSmb();
    EXPECT_EQ(ReadLe32(answer, Smb1StatusAt), StatusAccessDenied);
    EXPECT_EQ(ReadLe16(answer, Smb1Flags2At) & 0x4000, 0x4000);
}

TEST_F(Smb1FlowTest, CreateChainedToAReadIsDecidedForTheCreate) {
    Rules({Rule("docs", "alice", "01000000")});
    Smb1CreateFields fields;
    fields.name = "a.txt";
    fields.shareAccess = 4;
    fields.andXCommand = 0x2E; // READ_ANDX follows
    Bytes create = Smb1NtCreateRequest(Ids(), fields);
    Bytes read(27, 0x11); // the chained READ_ANDX words, not looked at
    Bytes message = Concat({create, read});
    ASSERT_TRUE(Request(message));
    Bytes after = LastSmb();
    EXPECT_TRUE(std::equal(after.begin() + create.size(), after.end(), read.begin()));
}

TEST_F(Smb1FlowTest, EightBitNamesAreDecidedToo) {
    Rules({Rule("docs", "alice", "01000000")});
    Smb1Ids ids = Ids(false);
    Smb1CreateFields fields;
    fields.name = "Plan.XLSX";
    fields.shareAccess = 4;
    ASSERT_TRUE(Request(Smb1NtCreateRequest(ids, fields)));
    // Its reply teaches the engine the file under the widened name.
    Smb1Ids open = Ids(false);
    fields.shareAccess = 7;
    EXPECT_FALSE(Request(Smb1NtCreateRequest(open, fields)));
    EXPECT_FALSE(Response(Smb1NtCreateReply(open, 0x99)));
    Rules({Rule("docs", "alice", "10000000")});
    Request(Smb1WriteAndXRequest(Ids(false), 0x99));
    std::vector<FileEvent> events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(EventPath(events[0]), "docs\\plan.xlsx");
}

TEST_F(Smb1FlowTest, DeniedWriteGetsDataLengthZero) {
    uint16_t fid = Open1(Uid, Tid, "a.txt");
    Rules({Rule("docs", "alice", "00100000")});
    Smb1Ids ids = Ids();
    ASSERT_TRUE(Request(Smb1WriteAndXRequest(ids, fid, 300)));
    EXPECT_EQ(ReadLe16(LastSmb(), Smb1WriteDataLengthAt), 0);
    EXPECT_TRUE(Response(Smb1Reply(0x2F, ids, 0)));
    EXPECT_EQ(ReadLe32(LastSmb(), Smb1StatusAt), StatusAccessDenied);
}

TEST_F(Smb1FlowTest, DeniedRenameGetsAWildcardTarget) {
    Rules({Rule("docs", "alice", "10010000")});
    Smb1Ids ids = Ids();
    Bytes rename = Smb1RenameRequest(ids, "a.docx", "b.docx");
    ASSERT_TRUE(Request(rename));
    Bytes after = LastSmb();
    size_t newName = 32 + 1 + 2 + 2 + 1 + 14 + 1 + 1; // words, BufferFormat, old name, format, pad
    EXPECT_EQ(ReadLe16(after, newName), '*');
    for (size_t i = newName + 2; i < newName + 12; ++i) {
        EXPECT_EQ(after[i], 0) << i;
    }
    std::vector<FileEvent> events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Kind, 3);
    EXPECT_EQ(EventPath(events[0]), "docs\\a.docx => docs\\b.docx");
    EXPECT_TRUE(Response(Smb1Reply(0x07, ids, 0xC0000033)));
    EXPECT_EQ(ReadLe32(LastSmb(), Smb1StatusAt), StatusAccessDenied);
}

TEST_F(Smb1FlowTest, EightBitRenameIsSpoiledToo) {
    Rules({Rule("docs", "alice", "00010000")});
    Bytes rename = Smb1RenameRequest(Ids(false), "a.txt", "b.txt");
    ASSERT_TRUE(Request(rename));
    Bytes after = LastSmb();
    size_t newName = 32 + 1 + 2 + 2 + 1 + 6 + 1;
    EXPECT_EQ(after[newName], '*');
    EXPECT_EQ(after[newName + 1], 0);
}

TEST_F(Smb1FlowTest, Transaction2Delete) {
    uint16_t fid = Open1(Uid, Tid, "old.txt");
    uint16_t temp = Open1(Uid, Tid, "~$old.docx");
    Rules({Rule("docs", "alice", "01000000")});
    EXPECT_FALSE(Request(Smb1Trans2SetDisposition(Ids(), fid, 2))) << "SetupCount 2";
    EXPECT_FALSE(Request(Smb1Trans2SetDisposition(Ids(), temp)));
    Smb1Ids ids = Ids();
    ASSERT_TRUE(Request(Smb1Trans2SetDisposition(ids, fid)));
    Bytes after = LastSmb();
    for (size_t field : {19, 21, 23, 25, 31}) {
        EXPECT_EQ(ReadLe16(after, 32 + field), 0) << field;
    }
    EXPECT_TRUE(Response(Smb1Reply(0x32, ids, 0xC0000001)));
}

TEST_F(Smb1FlowTest, QueriesUnderKnownClientsOnly) {
    uint16_t fid = Open1(Uid, Tid, "a.txt");
    Rules({Rule("docs", "alice", "00000001")});
    Smb1Ids path = Ids();
    ASSERT_TRUE(Request(Smb1Trans2QueryPath(path, "a.txt", 1004)));
    Bytes after = LastSmb();
    size_t parameters = ReadLe16(after, 32 + 21);
    EXPECT_EQ(ReadLe16(after, parameters), 0) << "information level spoiled";
    EXPECT_TRUE(Response(Smb1Reply(0x32, path, 0xC0000003)));
    EXPECT_EQ(ReadLe32(LastSmb(), Smb1StatusAt), StatusAccessDenied);

    Smb1Ids file = Ids();
    ASSERT_TRUE(Request(Smb1Trans2QueryFile(file, fid, 1022)));
    EXPECT_EQ(ReadLe16(LastSmb(), ReadLe16(LastSmb(), 32 + 21)), 0) << "FID spoiled";
    EXPECT_FALSE(Request(Smb1Trans2QueryFile(Ids(), fid, 1007))) << "other levels pass";
    EXPECT_FALSE(Request(Smb1Trans2QueryPath(Ids(), "a.txt", 1006)));
}

TEST_F(Smb1FlowTest, IpcTreeAndDisconnect) {
    Connect1(Uid, 9, "\\\\FILESRV\\IPC$");
    EXPECT_TRUE(IsIpcTree(false, Uid, 9));
    Rules({Rule("", "alice", "11111111")});
    Smb1CreateFields pipe;
    pipe.name = "\\srvsvc";
    EXPECT_FALSE(Request(Smb1NtCreateRequest({Uid, 9, nextMid()}, pipe)));
    Smb1Ids disconnect{Uid, 9, nextMid()};
    EXPECT_FALSE(Request(Smb1TreeDisconnectRequest(disconnect)));
    EXPECT_FALSE(Response(Smb1Reply(0x71, disconnect, 0)));
    EXPECT_FALSE(IsIpcTree(false, Uid, 9));
}

} // namespace
