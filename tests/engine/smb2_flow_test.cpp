// SMB2 traffic through the engine's entries, request to response.
#include <gtest/gtest.h>

#include "engine_state.h"
#include "session_state.h"
#include "text.h"
#include "smb_engine_fixture.h"

namespace {

const uint64_t Alice = 0x100000000001ull;
const uint32_t Docs = 7;
const uint32_t StatusInvalidParameter = 0xC000000D;
const uint32_t StatusAccessDenied = 0xC0000022;
const uint32_t StatusUserSessionDeleted = 0xC0000203;

class Smb2FlowTest : public SmbEngineTest {
  protected:
    void SetUp() override {
        SmbEngineTest::SetUp();
        Login2(Alice, "Alice");
        Connect2(Alice, Docs, "\\\\FILESRV\\Docs");
    }
    Smb2Ids Ids() { return Smb2Ids{Alice, Docs, nextId++}; }
    // Sends a create; true when the engine spoiled it.
    bool Create(const Smb2Ids& ids, const std::string& name, uint32_t access, uint32_t share,
                uint32_t disposition, uint32_t options = 0) {
        Smb2CreateFields fields;
        fields.name = name;
        fields.desiredAccess = access;
        fields.shareAccess = share;
        fields.createDisposition = disposition;
        fields.createOptions = options;
        return Request(Smb2CreateRequest(ids, fields));
    }
};

TEST_F(Smb2FlowTest, TypicalDeniedDeletionStepByStep) {
    Rules({Rule("docs", "alice", "11000000")});
    Smb2Ids ids = Ids();
    ASSERT_TRUE(Create(ids, "plan.xlsx", 0x00010080, 4, 1));
    Bytes spoiled = LastSmb();
    EXPECT_EQ(ReadLe32(spoiled, Smb2CreateOptionsAt) & 0x41, 0x41u);

    std::vector<FileEvent> events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Kind, 1);
    EXPECT_EQ(events[0].Blocked, 1);
    EXPECT_EQ(EventPath(events[0]), "docs\\plan.xlsx");
    EXPECT_EQ(Ascii(events[0].UserName), "alice");
    EXPECT_EQ(Ascii(events[0].WorkstationName), "wks7");
    EXPECT_EQ(Ascii(events[0].DomainName), "testdom");
    EXPECT_EQ(events[0].ClientAddress, 0x0A0200C0u);
    EXPECT_EQ(events[0].ClientMac, 0x02000000000Aull);

    // The server refuses the spoiled create; the client is told access was denied.
    ASSERT_TRUE(Response(Smb2ErrorResponse(5, ids, StatusInvalidParameter)));
    Bytes answer = LastSmb();
    EXPECT_EQ(ReadLe32(answer, Smb2StatusAt), StatusAccessDenied);
    EXPECT_EQ(answer.size(), 64u + 8) << "the rest of the error response is unchanged";
    EXPECT_FALSE(Response(Smb2ErrorResponse(5, ids, StatusInvalidParameter)))
        << "the mark is consumed by its response";
}

TEST_F(Smb2FlowTest, DeleteOnCloseIsADelete) {
    Rules({Rule("docs", "alice", "11000000")});
    // The way real clients delete: delete access, full sharing, delete-on-close.
    ASSERT_TRUE(Create(Ids(), "old.txt", 0x00010080, 7, 1, 0x00001000));
    std::vector<FileEvent> events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Kind, 1);
    EXPECT_FALSE(Create(Ids(), "~$old.docx", 0x00010080, 7, 1, 0x00001000))
        << "temporary names are not deletes";
}

TEST_F(Smb2FlowTest, CreateChecksRunInOrderAndReportEach) {
    Rules({Rule("docs", "alice", "10000000")});
    EXPECT_FALSE(Create(Ids(), "new.txt", 0x1, 4, 2));
    std::vector<FileEvent> events = Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].Kind, 4);
    EXPECT_EQ(events[1].Kind, 1);
    EXPECT_EQ(events[2].Kind, 5);
    for (const FileEvent& e : events) {
        EXPECT_EQ(e.Blocked, 0);
    }

    Rules({Rule("docs", "alice", "10000100")}); // report, deny read
    EXPECT_TRUE(Create(Ids(), "new.txt", 0x1, 4, 2));
    events = Events();
    ASSERT_EQ(events.size(), 1u) << "the first denial ends the checks";
    EXPECT_EQ(events[0].Kind, 4);
    EXPECT_EQ(events[0].Blocked, 1);
}

// Each create denial leaves its own mark, and the response to the spoiled create carries
// the denial whichever mark it is.
TEST_F(Smb2FlowTest, EveryCreateMarkRewritesItsResponse) {
    struct Case {
        const char* flags;
        uint32_t access, share, disposition;
        KeyedTable* DialectTables::*marks;
    } cases[] = {
        {"00000100", 0x1, 7, 1, &DialectTables::CreateAccessMarks},  // deny read
        {"00000010", 0x80, 7, 1, &DialectTables::CreateAccessMarks}, // deny all
        {"01000000", 0x80, 4, 1, &DialectTables::CreateDeleteMarks}, // deny delete
        {"00001000", 0x80, 7, 2, &DialectTables::CreateNewMarks},    // deny create
        {"00000001", 0x80, 7, 1, &DialectTables::CreateClientMarks}, // known clients only
    };
    for (const Case& c : cases) {
        Rules({Rule("docs", "alice", c.flags)});
        Smb2Ids ids = Ids();
        ASSERT_TRUE(Create(ids, "f.txt", c.access, c.share, c.disposition)) << c.flags;
        uint32_t length = 0;
        TableKey request = LastRequestKey(SmbDialect::Smb2);
        EXPECT_TRUE(KeyedTableLookup(g_Engine.Smb2.*c.marks, false, request, nullptr, &length))
            << c.flags;
        ASSERT_TRUE(Response(Smb2ErrorResponse(5, ids, StatusInvalidParameter))) << c.flags;
        EXPECT_EQ(ReadLe32(LastSmb(), Smb2StatusAt), StatusAccessDenied);
        EXPECT_FALSE(KeyedTableLookup(g_Engine.Smb2.*c.marks, false, request, nullptr, &length));
    }
}

// Rules and the names on the wire meet in one folded form, in any script: a rule for
// jörg holds a logon as JÖRG, a rule for the share Öffentlich a tree ÖFFENTLICH.
TEST_F(Smb2FlowTest, RulesHoldNamesWrittenInAnyCase) {
    const struct Case {
        const char* ruleUser;
        const char* rulePath;
        const char* logon;
        const char* unc;
        const char* name;
        bool held;
        const char* eventPath;
    } cases[] = {
        {"jörg", "docs", "JÖRG", "\\\\FILESRV\\Docs", "plan.txt", true, "docs\\plan.txt"},
        {"JÖRG", "docs", "jÖrG", "\\\\FILESRV\\Docs", "plan.txt", true, "docs\\plan.txt"},
        {"alice", "Öffentlich", "alice", "\\\\FILESRV\\ÖFFENTLICH", "a.txt", true,
         "öffentlich\\a.txt"},
        {"alice", "öffentlich\\Σχέδια", "alice", "\\\\srv\\Öffentlich", "ΣΧΈΔΙΑ\\ς.txt", true,
         "öffentlich\\σχέδια\\σ.txt"},
        {"иван", "docs", "ИВАН", "\\\\FILESRV\\DOCS", "x", true, "docs\\x"},
        {"😀zoë", "docs", "😀ZOË", "\\\\FILESRV\\docs", "x", true, "docs\\x"},
        {"admin", "docs", "ADMıN", "\\\\FILESRV\\Docs", "x", false, ""}, // ı is not i
        {"jörg", "docs", "JOERG", "\\\\FILESRV\\Docs", "x", false, ""},
        {"𐐨x", "docs", "𐐀x", "\\\\FILESRV\\Docs", "x", false, ""}, // beyond the BMP
    };
    uint64_t session = 0x200000000000ull;
    uint32_t tree = 100;
    for (const Case& c : cases) {
        ++session;
        ++tree;
        Login2(session, c.logon);
        Connect2(session, tree, c.unc);
        Rules({Rule(c.rulePath, c.ruleUser, "11000000")});
        Smb2CreateFields fields;
        fields.name = c.name;
        fields.desiredAccess = 0x00010080;
        fields.shareAccess = 4;
        fields.createDisposition = 1;
        EXPECT_EQ(Request(Smb2CreateRequest(Smb2Ids{session, tree, nextId++}, fields)), c.held)
            << c.logon << " under " << c.ruleUser;
        std::vector<FileEvent> events = Events();
        ASSERT_EQ(events.size(), c.held ? 1u : 0u) << c.logon;
        if (c.held) {
            EXPECT_EQ(EventPath(events[0]), c.eventPath);
            std::vector<Utf16Unit> folded = Utf8ToUnits(c.logon);
            Utf16LowerCase(folded.data(), uint32_t(folded.size()));
            folded.push_back(0);
            EXPECT_EQ(Ascii(events[0].UserName), Ascii(folded.data())) << c.logon;
        }
    }
}

TEST_F(Smb2FlowTest, PlainOpenIsAllowedWithoutEvent) {
    Rules({Rule("docs", "alice", "11111100")});
    EXPECT_FALSE(Create(Ids(), "report.docx", 0x80, 7, 1));
    EXPECT_TRUE(Events().empty());
}

TEST_F(Smb2FlowTest, DenyAllAndKnownClientsOnly) {
    Rules({Rule("docs\\secret", "alice", "10000010"), Rule("docs", "alice", "10000001")});
    Smb2Ids all = Ids();
    EXPECT_TRUE(Create(all, "secret\\x.txt", 0x80, 7, 1));
    Smb2Ids known = Ids();
    EXPECT_TRUE(Create(known, "a.txt", 0x80, 7, 1));
    EXPECT_FALSE(Create(Ids(), "", 0x80, 7, 1)) << "the share root stays open";
    std::vector<FileEvent> events = Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].Kind, 12);
    EXPECT_EQ(events[1].Kind, 10);
    EXPECT_TRUE(Response(Smb2ErrorResponse(5, all, StatusInvalidParameter)));
    EXPECT_TRUE(Response(Smb2ErrorResponse(5, known, StatusInvalidParameter)));

    // A listed client address is known.
    uint8_t value = 0;
    ASSERT_TRUE(KeyedTableInsert(g_Engine.ClientAdmissionTable, false, MakeTableKey(0x0A0200C0, 0),
                                 &value, 1));
    EXPECT_FALSE(Create(Ids(), "a.txt", 0x80, 7, 1));
}

TEST_F(Smb2FlowTest, UnknownSessionOrTreeIsSentToLogOnAgain) {
    Rules({Rule("docs", "alice", "11111111")});
    Smb2Ids stranger{0x999, Docs, nextId++};
    EXPECT_TRUE(Create(stranger, "a.txt", 0x80, 7, 1));
    Smb2Ids unknownTree{Alice, 42, nextId++};
    EXPECT_TRUE(Create(unknownTree, "a.txt", 0x80, 7, 1));
    EXPECT_TRUE(Events().empty());
    ASSERT_TRUE(Response(Smb2ErrorResponse(5, stranger, StatusInvalidParameter)));
    EXPECT_EQ(ReadLe32(LastSmb(), Smb2StatusAt), StatusUserSessionDeleted);
}

TEST_F(Smb2FlowTest, IpcTreeIsNeverDecided) {
    Rules({Rule("", "alice", "11111111")});
    Connect2(Alice, 1, "\\\\FILESRV\\IPC$");
    EXPECT_TRUE(IsIpcTree(false, Alice, 1));
    uint32_t length = 0;
    EXPECT_FALSE(KeyedTableLookup(g_Engine.TreeTable, false, TreeKey(Alice, 1), nullptr, &length));
    Smb2Ids ids{Alice, 1, nextId++};
    Smb2CreateFields pipe;
    pipe.name = "srvsvc";
    EXPECT_FALSE(Request(Smb2CreateRequest(ids, pipe)));
    EXPECT_FALSE(Request(Smb2WriteRequest(ids, {1, 2})));
    EXPECT_FALSE(Request(Smb2SetInfoDisposition(ids, {1, 2})));
}

TEST_F(Smb2FlowTest, WriteDeniedByDenyModify) {
    FileId file = Open2(Alice, Docs, "Plan.xlsx");
    Rules({Rule("docs", "alice", "10100000")});
    Smb2Ids ids = Ids();
    ASSERT_TRUE(Request(Smb2WriteRequest(ids, file)));
    Bytes spoiled = LastSmb();
    EXPECT_EQ(std::count(spoiled.begin() + Smb2WriteFileIdAt,
                         spoiled.begin() + Smb2WriteFileIdAt + 16, 0),
              16);
    std::vector<FileEvent> events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Kind, 2);
    EXPECT_EQ(EventPath(events[0]), "docs\\plan.xlsx");
    EXPECT_TRUE(Response(Smb2ErrorResponse(9, ids, 0xC0000008)));
    EXPECT_EQ(ReadLe32(LastSmb(), Smb2StatusAt), StatusAccessDenied);
}

TEST_F(Smb2FlowTest, WriteSpanningSegmentsIsDecidedOnItsFirstSegment) {
    FileId file = Open2(Alice, Docs, "big.bin");
    Rules({Rule("docs", "alice", "00100000")});
    Bytes write = Smb2WriteRequest(Ids(), file, 200);
    write.resize(write.size() - 150); // the rest would follow in later segments
    lastFrame = BuildTcpFrame(client, server, NetbiosWrap(write, 64 + 48 + 200));
    EXPECT_TRUE(InspectInbound(lastFrame.data(), uint32_t(lastFrame.size()), false));
    Bytes continuation = BuildTcpFrame(client, server, Bytes(150, 0x61));
    Bytes copy = continuation;
    EXPECT_FALSE(InspectInbound(continuation.data(), uint32_t(continuation.size()), false));
    EXPECT_EQ(continuation, copy);
}

TEST_F(Smb2FlowTest, WritesToTemporaryOrUnknownFilesPass) {
    FileId temp = Open2(Alice, Docs, "x.tmp");
    Rules({Rule("docs", "alice", "11111100")});
    EXPECT_FALSE(Request(Smb2WriteRequest(Ids(), temp)));
    EXPECT_FALSE(Request(Smb2WriteRequest(Ids(), {77, 77})));
    EXPECT_TRUE(Events().empty());
}

TEST_F(Smb2FlowTest, DeleteByDispositionInBothClasses) {
    FileId file = Open2(Alice, Docs, "old.txt");
    Rules({Rule("docs", "alice", "11000000")});
    for (uint8_t infoClass : {13, 64}) {
        Smb2Ids ids = Ids();
        ASSERT_TRUE(Request(Smb2SetInfoDisposition(ids, file, infoClass))) << int(infoClass);
        EXPECT_EQ(ReadLe32(LastSmb(), Smb2SetInfoBufferLengthAt), 0u);
        EXPECT_TRUE(Response(Smb2ErrorResponse(17, ids, 0xC0000004)));
        EXPECT_EQ(ReadLe32(LastSmb(), Smb2StatusAt), StatusAccessDenied);
    }
    EXPECT_EQ(Events().size(), 2u);
    EXPECT_FALSE(Request(Smb2SetInfoBasic(Ids(), file))) << "other classes pass";
}

TEST_F(Smb2FlowTest, RenamesAndTheOfficeSave) {
    FileId report = Open2(Alice, Docs, "report.docx");
    FileId temp = Open2(Alice, Docs, "~wrl0001.tmp");
    FileId a = Open2(Alice, Docs, "a.docx");
    Rules({Rule("docs", "alice", "10110000")}); // report, deny modify, deny rename

    Smb2Ids save = Ids();
    ASSERT_TRUE(Request(Smb2SetInfoRename(save, report, "~wrl0001.tmp")));
    EXPECT_EQ(ReadLe32(LastSmb(), Smb2SetInfoBufferAt + 16), 0u) << "FileNameLength spoiled";
    EXPECT_FALSE(Request(Smb2SetInfoRename(Ids(), temp, "report.docx")));
    Smb2Ids rename = Ids();
    ASSERT_TRUE(Request(Smb2SetInfoRename(rename, a, "B.docx", 65)));
    std::vector<FileEvent> events = Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].Kind, 2);
    EXPECT_EQ(EventPath(events[0]), "docs\\report.docx");
    EXPECT_EQ(events[1].Kind, 3);
    EXPECT_EQ(EventPath(events[1]), "docs\\a.docx => docs\\b.docx");
    EXPECT_TRUE(Response(Smb2ErrorResponse(17, save, StatusInvalidParameter)));
    EXPECT_TRUE(Response(Smb2ErrorResponse(17, rename, StatusInvalidParameter)));

    Rules({Rule("docs", "alice", "10010000")}); // deny rename only: saves pass, reported
    EXPECT_FALSE(Request(Smb2SetInfoRename(Ids(), report, "~wrl0002.tmp")));
    events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Blocked, 0);
}

TEST_F(Smb2FlowTest, QueryInfoUnderKnownClientsOnly) {
    FileId file = Open2(Alice, Docs, "a.txt");
    Rules({Rule("docs", "alice", "00000001")});
    Smb2Ids ids = Ids();
    ASSERT_TRUE(Request(Smb2QueryInfoRequest(ids, file)));
    EXPECT_EQ(LastSmb()[Smb2QueryInfoTypeAt], 0x58);
    EXPECT_TRUE(Response(Smb2ErrorResponse(16, ids, StatusInvalidParameter)));
    EXPECT_EQ(ReadLe32(LastSmb(), Smb2StatusAt), StatusAccessDenied);
    EXPECT_FALSE(Request(Smb2QueryInfoRequest(Ids(), file, 2))) << "file system info";
    EXPECT_FALSE(Request(Smb2QueryInfoRequest(Ids(), file, 3))) << "security info";
    EXPECT_TRUE(Events().empty()) << "queries are never reported";
}

TEST_F(Smb2FlowTest, DeniedMemberOfACompoundChain) {
    FileId file = Open2(Alice, Docs, "a.txt");
    Rules({Rule("docs", "alice", "01000000")});
    Smb2CreateFields create;
    create.name = "plan.xlsx";
    create.shareAccess = 4;
    Bytes chain = Smb2Compound({Smb2CreateRequest(Ids(), create), Smb2QueryInfoRequest(Ids(), file),
                                Smb2CloseRequest(Ids(), file)});
    ASSERT_TRUE(Request(chain));
    Bytes after = LastSmb();
    EXPECT_EQ(ReadLe32(after, Smb2CreateOptionsAt), 0x41u);
    size_t createEnd = 64 + 56 + 18; // header, body, name
    createEnd = (createEnd + 7) / 8 * 8;
    EXPECT_TRUE(std::equal(after.begin() + createEnd, after.end(), chain.begin() + createEnd))
        << "the other members are left as they were";
}

TEST_F(Smb2FlowTest, MalformedOrOutOfBoundsCreatesAreLeftAlone) {
    Rules({Rule("docs", "alice", "11111111")});
    Smb2CreateFields even;
    even.name = "a.txt";
    even.structureSize = 56;
    Smb2Ids evenIds = Ids();
    EXPECT_FALSE(Request(Smb2CreateRequest(evenIds, even)));
    EXPECT_FALSE(Response(Smb2CreateResponse(evenIds, {5, 5})));
    uint32_t length = 0;
    EXPECT_FALSE(KeyedTableLookup(g_Engine.OpenFileTable, false, TableKey{5, 5}, nullptr, &length))
        << "no pending create was remembered";

    Smb2CreateFields outside;
    outside.name = "a.txt";
    Bytes create = Smb2CreateRequest(Ids(), outside);
    create[64 + 46] = 0xF0; // NameLength beyond the message
    EXPECT_FALSE(Request(create));
    EXPECT_TRUE(Events().empty());
}

TEST_F(Smb2FlowTest, OpenFileNamesFollowCreatesAndCloses) {
    FileId file = Open2(Alice, Docs, "first.txt");
    Smb2Ids again = Ids();
    Smb2CreateFields second;
    second.name = "second.txt";
    EXPECT_FALSE(Request(Smb2CreateRequest(again, second)));
    EXPECT_FALSE(Response(Smb2CreateResponse(again, file))) << "same FileId, new name";
    Rules({Rule("docs", "alice", "10000000")});
    Request(Smb2WriteRequest(Ids(), file));
    std::vector<FileEvent> events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(EventPath(events[0]), "docs\\second.txt");
    Smb2Ids close = Ids();
    EXPECT_FALSE(Request(Smb2CloseRequest(close, file)));
    EXPECT_FALSE(Response(Smb2ErrorResponse(6, close, 0)));
    Request(Smb2WriteRequest(Ids(), file));
    EXPECT_TRUE(Events().empty()) << "a closed file is unknown";
}

TEST_F(Smb2FlowTest, FailedCreateLeavesNoOpenFile) {
    Smb2Ids ids = Ids();
    Smb2CreateFields fields;
    fields.name = "missing.txt";
    Request(Smb2CreateRequest(ids, fields));
    EXPECT_FALSE(Response(Smb2ErrorResponse(5, ids, 0xC0000034)));
    EXPECT_EQ(KeyedTableCount(g_Engine.OpenFileTable, false), 0u);
    EXPECT_EQ(KeyedTableCount(g_Engine.Smb2.PendingCreates, false), 0u);
}

TEST_F(Smb2FlowTest, FailedTreeConnectRecordsNothing) {
    Smb2Ids ids{Alice, 0, nextId++};
    Request(Smb2TreeConnectRequest(ids, "\\\\FILESRV\\nope"));
    ids.tree = 9;
    EXPECT_FALSE(Response(Smb2TreeConnectResponse(ids, 0xC00000CC)));
    EXPECT_FALSE(IsKnownSessionTree(false, Alice, 9));
    EXPECT_EQ(KeyedTableCount(g_Engine.Smb2.PendingTreeConnects, false), 0u);
}

TEST_F(Smb2FlowTest, LearningAtTreeConnectOncePerUserAndShare) {
    g_Engine.Settings->LearningEnabled = 1;
    g_Engine.Settings->LearnReportOnly = 1;
    Connect2(Alice, 20, "\\\\FILESRV\\Projects");
    Connect2(Alice, 21, "\\\\FILESRV\\projects");
    std::vector<LearnedGrant> grants = Grants();
    ASSERT_EQ(grants.size(), 1u) << "a reconnect learns nothing new";
    EXPECT_EQ(Ascii(grants[0].UserName), "alice");
    EXPECT_EQ(Ascii(grants[0].ShareName), "projects");
    ASSERT_EQ(g_Engine.RuleCount, 1u);
    // The learned rule reports alice's operations in the share.
    Smb2Ids ids{Alice, 20, nextId++};
    Smb2CreateFields fields;
    fields.name = "new.txt";
    fields.createDisposition = 2;
    Request(Smb2CreateRequest(ids, fields));
    std::vector<FileEvent> events = Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(EventPath(events.back()), "projects\\new.txt");
}

TEST_F(Smb2FlowTest, GuestSessionKeepsWorkstationAndDomain) {
    EXPECT_FALSE(Response(Smb2SessionSetupResponse({Alice, 0, nextId++}, 1)));
    SessionUser user;
    ASSERT_TRUE(GetSessionUser(false, Alice, &user));
    EXPECT_EQ(Ascii(user.UserName), "guest");
    EXPECT_EQ(Ascii(user.WorkstationName), "wks7");
    EXPECT_EQ(Ascii(user.DomainName), "testdom");

    EXPECT_FALSE(Response(Smb2SessionSetupResponse({0x777, 0, nextId++}, 1)));
    ASSERT_TRUE(GetSessionUser(false, 0x777, &user));
    EXPECT_EQ(Ascii(user.UserName), "guest");
    EXPECT_EQ(user.ClientAddress, 0x0A0200C0u) << "the guest's connection";
}

TEST_F(Smb2FlowTest, ShortSecurityBlobsAndNegotiateMessagesNameNobody) {
    Login2(0x55, "");
    EXPECT_FALSE(Request(Smb2SessionSetupRequest({0x56, 0, nextId++}, Bytes(8, 'N'))));
    EXPECT_FALSE(Request(Smb2SessionSetupRequest({0x57, 0, nextId++}, NtlmNegotiate())));
    SessionUser user;
    EXPECT_FALSE(GetSessionUser(false, 0x55, &user));
    EXPECT_FALSE(GetSessionUser(false, 0x56, &user));
    EXPECT_FALSE(GetSessionUser(false, 0x57, &user));
}

TEST_F(Smb2FlowTest, ExemptPathsAreNotDecided) {
    Rules({Rule("docs", "alice", "11111100")});
    g_Engine.Settings->SuffixCount = 1;
    SetField(g_Engine.Settings->ExemptSuffixList[0], NameUnits, ".log");
    EXPECT_FALSE(Create(Ids(), "run.log", 0x1, 4, 2));
    EXPECT_TRUE(Events().empty());
}

} // namespace
