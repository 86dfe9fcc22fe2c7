// The members of an SMB2 compound and the commands of an SMB1 AndX chain: each decided by
// its own rule on the file it works on, each refused in a field the server checks, and
// the answers of the chain carrying the denial.
#include <gtest/gtest.h>

#include <functional>

#include "session_state.h"
#include "smb_engine_fixture.h"
#include "wire_bytes.h"

namespace {

const uint64_t Alice2 = 0x200000000002ull;
const uint32_t Docs2 = 9;
const uint16_t Alice1 = 0x0802;
const uint16_t Docs1 = 0x0004;
const uint32_t InvalidParameter = 0xC000000D;
const uint32_t AccessDenied = 0xC0000022;
const uint32_t SessionDeleted = 0xC0000203;
const FileId Related{~0ull, ~0ull};

struct Event {
    int kind;
    int blocked;
    std::string path;
    bool operator==(const Event& o) const {
        return kind == o.kind && blocked == o.blocked && path == o.path;
    }
};
std::ostream& operator<<(std::ostream& out, const Event& e) {
    return out << "(" << e.kind << "," << e.blocked << "," << e.path << ")";
}

class ChainMembersTest : public SmbEngineTest {
  public:
    void SetUp() override {
        SmbEngineTest::SetUp();
        Login2(Alice2, "alice");
        Connect2(Alice2, Docs2, "\\\\FILESRV\\docs");
        Login1(Alice1, "alice");
        Connect1(Alice1, Docs1, "\\\\FILESRV\\docs");
        known2 = Open2(Alice2, Docs2, "known.txt");
        known1 = Open1(Alice1, Docs1, "known.txt");
    }
    Smb2Ids Ids2() { return Smb2Ids{Alice2, Docs2, nextId++}; }
    Smb1Ids Ids1(uint16_t tid = Docs1) { return Smb1Ids{Alice1, tid, nextMid()}; }
    std::vector<Event> Reported() {
        std::vector<Event> out;
        for (const FileEvent& e : SmbEngineTest::Events()) {
            out.push_back({e.Kind, e.Blocked, EventPath(e)});
        }
        return out;
    }
    // Where each member of a built compound starts.
    static std::vector<size_t> Offsets(const std::vector<Bytes>& members) {
        std::vector<size_t> at;
        size_t offset = 0;
        for (const Bytes& m : members) {
            at.push_back(offset);
            offset += (m.size() + 7) / 8 * 8;
        }
        return at;
    }
    FileId known2{};
    uint16_t known1 = 0;
};

Bytes RelatedMember(Bytes member) {
    member[16] |= 0x04; // SMB2_FLAGS_RELATED_OPERATIONS
    return member;
}

Bytes Create2(const Smb2Ids& ids, const std::string& name, uint32_t access = 0x00120116,
              uint32_t disposition = 1) {
    Smb2CreateFields f;
    f.name = name;
    f.desiredAccess = access;
    f.createDisposition = disposition;
    return Smb2CreateRequest(ids, f);
}

// Each compound is sent under a rule; the member at `decided` must come out spoiled as
// `spoiled` says (or untouched when it is null) and be reported as `event`. The server's
// answers (member statuses) must reach the client as `seen`.
TEST_F(ChainMembersTest, EveryCompoundMemberIsDecidedOnItsFileAndRefused) {
    using Build = std::function<std::vector<Bytes>(ChainMembersTest&)>;
    using Check = std::function<bool(const Bytes& member)>;
    auto structureSize = [](uint16_t size) {
        return [size](const Bytes& m) { return ReadLe16(m, 64) == size; };
    };
    auto fileIdKept = [](const Bytes& m, size_t at) {
        return std::count(m.begin() + at, m.begin() + at + 16, 0xFF) == 16;
    };
    struct Case {
        const char* what;
        const char* flags;
        Build members;
        size_t decided;
        Check spoiled;
        Event event;
        std::vector<uint32_t> answered;
        std::vector<uint32_t> seen;
    } cases[] = {
        {"create, related write, close under deny modify",
         "10100000",
         [](ChainMembersTest& t) {
             return std::vector<Bytes>{Create2(t.Ids2(), "Plan.txt"),
                                       RelatedMember(Smb2WriteRequest(t.Ids2(), Related)),
                                       RelatedMember(Smb2CloseRequest(t.Ids2(), Related))};
         },
         1,
         [&](const Bytes& m) { return structureSize(48)(m) && fileIdKept(m, Smb2WriteFileIdAt); },
         {2, 1, "docs\\plan.txt"},
         {0, InvalidParameter, InvalidParameter},
         {0, AccessDenied, AccessDenied}},
        {"create, related copychunk under deny modify",
         "10100000",
         [](ChainMembersTest& t) {
             return std::vector<Bytes>{
                 Create2(t.Ids2(), "plan.txt"),
                 RelatedMember(Smb2IoctlRequest(t.Ids2(), Related, 0x001480F2))};
         },
         1,
         [&](const Bytes& m) { return structureSize(56)(m) && fileIdKept(m, Smb2IoctlFileIdAt); },
         {2, 1, "docs\\plan.txt"},
         {0, InvalidParameter},
         {0, AccessDenied}},
        {"create, related delete, close under deny delete",
         "11000000",
         [](ChainMembersTest& t) {
             return std::vector<Bytes>{Create2(t.Ids2(), "old.txt", 0x00010080),
                                       RelatedMember(Smb2SetInfoDisposition(t.Ids2(), Related)),
                                       RelatedMember(Smb2CloseRequest(t.Ids2(), Related))};
         },
         1,
         [](const Bytes& m) { return ReadLe32(m, Smb2SetInfoBufferLengthAt) == 0; },
         {1, 1, "docs\\old.txt"},
         {0, InvalidParameter, 0},
         {0, AccessDenied, 0}},
        {"create, related rename under deny rename",
         "10010000",
         [](ChainMembersTest& t) {
             return std::vector<Bytes>{
                 Create2(t.Ids2(), "draft.txt", 0x00010080),
                 RelatedMember(Smb2SetInfoRename(t.Ids2(), Related, "final.txt"))};
         },
         1,
         [](const Bytes& m) { return ReadLe32(m, Smb2SetInfoBufferAt + 16) == 0; },
         {3, 1, "docs\\draft.txt => docs\\final.txt"},
         {0, InvalidParameter},
         {0, AccessDenied}},
        // A related member after a request on an open file works on that file.
        {"write, related delete under deny delete",
         "11000000",
         [](ChainMembersTest& t) {
             return std::vector<Bytes>{
                 Smb2WriteRequest(t.Ids2(), t.known2),
                 RelatedMember(Smb2SetInfoDisposition(t.Ids2(), FileId{1, 2}))};
         },
         1,
         [](const Bytes& m) { return ReadLe32(m, Smb2SetInfoBufferLengthAt) == 0; },
         {1, 1, "docs\\known.txt"},
         {0, InvalidParameter},
         {0, AccessDenied}},
        // Members on their own are decided whatever comes first.
        {"write, unrelated delete under deny delete",
         "11000000",
         [](ChainMembersTest& t) {
             return std::vector<Bytes>{Smb2WriteRequest(t.Ids2(), FileId{1, 2}),
                                       Smb2SetInfoDisposition(t.Ids2(), t.known2)};
         },
         1,
         [](const Bytes& m) { return ReadLe32(m, Smb2SetInfoBufferLengthAt) == 0; },
         {1, 1, "docs\\known.txt"},
         {0, InvalidParameter},
         {0, AccessDenied}},
        // The create is refused; the server fails its related members with its status.
        {"denied create, related write",
         "10001000",
         [](ChainMembersTest& t) {
             return std::vector<Bytes>{Create2(t.Ids2(), "new.txt", 0x00120116, 2),
                                       RelatedMember(Smb2WriteRequest(t.Ids2(), Related)),
                                       Smb2CloseRequest(t.Ids2(), FileId{7, 7})};
         },
         0,
         [](const Bytes& m) { return ReadLe32(m, Smb2CreateOptionsAt) == 0x41; },
         {5, 1, "docs\\new.txt"},
         {InvalidParameter, InvalidParameter, 0xC0000128},
         {AccessDenied, AccessDenied, 0xC0000128}},
        {"report only",
         "10000000",
         [](ChainMembersTest& t) {
             return std::vector<Bytes>{Create2(t.Ids2(), "plan.txt"),
                                       RelatedMember(Smb2WriteRequest(t.Ids2(), Related))};
         },
         1,
         nullptr,
         {2, 0, "docs\\plan.txt"},
         {0, 0},
         {0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Rules({Rule("docs", "alice", c.flags)});
        std::vector<Bytes> members = c.members(*this);
        std::vector<size_t> at = Offsets(members);
        Bytes sent = Smb2Compound(members);
        EXPECT_EQ(Request(sent), c.spoiled != nullptr);
        Bytes after = LastSmb();
        for (size_t i = 0; i < members.size(); ++i) {
            Bytes member(after.begin() + at[i], after.begin() + at[i] + members[i].size());
            if (i == c.decided && c.spoiled) {
                EXPECT_TRUE(c.spoiled(member)) << "member " << i;
            } else {
                EXPECT_EQ(member,
                          Bytes(sent.begin() + at[i], sent.begin() + at[i] + members[i].size()))
                    << "member " << i;
            }
        }
        std::vector<Event> events = Reported();
        EXPECT_NE(std::find(events.begin(), events.end(), c.event), events.end())
            << ::testing::PrintToString(events);
        std::vector<Bytes> answers;
        for (size_t i = 0; i < members.size(); ++i) {
            Smb2Ids ids{Alice2, Docs2,
                        ReadLe32(members[i], 24) | uint64_t(ReadLe32(members[i], 28)) << 32};
            Bytes answer = Smb2ErrorResponse(ReadLe16(members[i], 12), ids, c.answered[i]);
            answer[16] |= members[i][16] & 0x04;
            answers.push_back(answer);
        }
        Response(Smb2Compound(answers));
        std::vector<size_t> answerAt = Offsets(answers);
        for (size_t i = 0; i < answers.size(); ++i) {
            EXPECT_EQ(ReadLe32(LastSmb(), answerAt[i] + Smb2StatusAt), c.seen[i]) << "answer " << i;
        }
    }
}

Bytes TreeConnect1(const Smb1Ids& ids, const std::string& unc) {
    return Smb1TreeConnectRequest(ids, unc);
}
Bytes NtCreate1(const Smb1Ids& ids, const std::string& name, uint32_t access,
                uint32_t disposition = 1) {
    Smb1CreateFields f;
    f.name = name;
    f.desiredAccess = access;
    f.createDisposition = disposition;
    return Smb1NtCreateRequest(ids, f);
}

// The WordCount byte of each command of a chain built by Smb1AndXChain.
std::vector<size_t> AndXOffsets(const Bytes& chain) {
    std::vector<size_t> at{32};
    uint8_t command = chain[4];
    const Bytes andX{0x2F, 0x75, 0xA2, 0x73};
    while (std::count(andX.begin(), andX.end(), command) != 0 && chain[at.back() + 1] != 0xFF) {
        command = chain[at.back() + 1];
        at.push_back(ReadLe16(chain, at.back() + 3));
    }
    return at;
}

TEST_F(ChainMembersTest, EveryAndXCommandIsDecidedOnItsFileAndRefused) {
    using Build = std::function<std::vector<Bytes>(ChainMembersTest&, const Smb1Ids&)>;
    struct Case {
        const char* what;
        const char* flags;
        Build commands;                // built with the chain's ids
        std::vector<size_t> spoiledAt; // from each spoiled command's WordCount
        std::vector<Event> events;
    } cases[] = {
        {"create, write under deny modify",
         "10100000",
         [](ChainMembersTest&, const Smb1Ids& ids) {
             return std::vector<Bytes>{NtCreate1(ids, "Plan.txt", 0x2),
                                       Smb1WriteAndXRequest(ids, 0xFFFF)};
         },
         {0, 21},
         {{2, 1, "docs\\plan.txt"}}},
        {"create, write, close under deny modify",
         "10100000",
         [](ChainMembersTest&, const Smb1Ids& ids) {
             return std::vector<Bytes>{NtCreate1(ids, "plan.txt", 0x2),
                                       Smb1WriteAndXRequest(ids, 0), Smb1CloseRequest(ids, 0)};
         },
         {0, 21, 0},
         {{2, 1, "docs\\plan.txt"}}},
        // A command after one on a file runs on that file, whatever id it carries.
        {"create, core write under deny modify",
         "10100000",
         [](ChainMembersTest&, const Smb1Ids& ids) {
             return std::vector<Bytes>{NtCreate1(ids, "plan.txt", 0x2),
                                       Smb1LegacyWriteRequest(0x0B, ids, 0x1234)};
         },
         {0, 1},
         {{2, 1, "docs\\plan.txt"}}},
        {"write, write on another id under deny modify",
         "10100000",
         [](ChainMembersTest& t, const Smb1Ids& ids) {
             return std::vector<Bytes>{Smb1WriteAndXRequest(ids, t.known1),
                                       Smb1WriteAndXRequest(ids, 0x1234)};
         },
         {21, 21},
         {{2, 1, "docs\\known.txt"}, {2, 1, "docs\\known.txt"}}},
        {"write, write under deny modify",
         "10100000",
         [](ChainMembersTest& t, const Smb1Ids& ids) {
             return std::vector<Bytes>{Smb1WriteAndXRequest(ids, t.known1),
                                       Smb1WriteAndXRequest(ids, t.known1)};
         },
         {21, 21},
         {{2, 1, "docs\\known.txt"}, {2, 1, "docs\\known.txt"}}},
        // The chained create works in the tree the connect before it names.
        {"tree connect, create under deny create",
         "10001000",
         [](ChainMembersTest&, const Smb1Ids& ids) {
             return std::vector<Bytes>{TreeConnect1(ids, "\\\\FILESRV\\DOCS"),
                                       NtCreate1(ids, "new.txt", 0x2, 2)};
         },
         {0, 40},
         {{5, 1, "docs\\new.txt"}}},
        {"tree connect to another share, create",
         "10001000",
         [](ChainMembersTest&, const Smb1Ids& ids) {
             return std::vector<Bytes>{TreeConnect1(ids, "\\\\FILESRV\\public"),
                                       NtCreate1(ids, "new.txt", 0x2, 2)};
         },
         {0, 0},
         {{5, 0, "public\\new.txt"}}},
        {"report only",
         "10000000",
         [](ChainMembersTest&, const Smb1Ids& ids) {
             return std::vector<Bytes>{NtCreate1(ids, "plan.txt", 0x2),
                                       Smb1WriteAndXRequest(ids, 0)};
         },
         {0, 0},
         {{2, 0, "docs\\plan.txt"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Rules({Rule("docs", "alice", c.flags), Rule("public", "alice", "10000000")});
        bool connects = std::string(c.what).find("tree connect") == 0;
        Smb1Ids ids = Ids1(connects ? 0 : Docs1);
        Bytes sent = Smb1AndXChain(c.commands(*this, ids));
        std::vector<size_t> at = AndXOffsets(sent);
        ASSERT_EQ(at.size(), c.spoiledAt.size());
        bool anySpoiled =
            std::count(c.spoiledAt.begin(), c.spoiledAt.end(), 0) < std::ptrdiff_t(at.size());
        EXPECT_EQ(Request(sent), anySpoiled);
        Bytes after = LastSmb();
        Bytes expected = sent;
        for (size_t i = 0; i < at.size(); ++i) {
            size_t field = at[i] + c.spoiledAt[i];
            if (c.spoiledAt[i] == 21) {
                EXPECT_EQ(ReadLe16(after, field), 0) << "DataLength of command " << i;
                EXPECT_EQ(ReadLe16(after, field + 2), 0xFFFF) << "DataOffset of " << i;
                PutLe16(expected, field, 0);
                PutLe16(expected, field + 2, 0xFFFF);
            } else if (c.spoiledAt[i] == 1) {
                EXPECT_EQ(after[at[i]], 0) << "WordCount of command " << i;
                EXPECT_EQ(ReadLe16(after, field), 0) << "FID of command " << i;
                expected[at[i]] = 0;
                PutLe16(expected, field, 0);
            } else if (c.spoiledAt[i] == 40) {
                EXPECT_EQ(ReadLe32(after, field) & 0x41, 0x41u) << "CreateOptions of " << i;
                PutLe32(expected, field, ReadLe32(after, field));
            }
        }
        EXPECT_EQ(after, expected) << "nothing else changes";
        EXPECT_EQ(Reported(), c.events);
        EXPECT_FALSE(IsKnownSessionTree(false, Alice1, 0x10000 | ids.mid))
            << "a tree held for the chain is released";
    }
}

// The walk goes forward only, stays inside the message, and decides at most 8 commands:
// a longer request is cut after the eighth so that the server runs nothing undecided.
TEST_F(ChainMembersTest, AndXWalkIsForwardInsideAndBounded) {
    Rules({Rule("docs", "alice", "10000000")});
    struct Case {
        size_t commands;
        std::function<void(Bytes&, const std::vector<size_t>&)> damage;
        size_t decided;
        bool cut;
    } cases[] = {
        {10, nullptr, 8, true},
        {8, nullptr, 8, false},
        {3, [](Bytes& b, const std::vector<size_t>& at) { PutLe16(b, at[1] + 3, 32); }, 2, false},
        {3, [](Bytes& b, const std::vector<size_t>& at) { PutLe16(b, at[1] + 3, uint16_t(at[1])); },
         2, false},
        {3, [](Bytes& b, const std::vector<size_t>&) { PutLe16(b, 32 + 3, uint16_t(b.size())); }, 1,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.commands);
        Smb1Ids ids = Ids1();
        Bytes chain =
            Smb1AndXChain(std::vector<Bytes>(c.commands, Smb1WriteAndXRequest(ids, known1)));
        std::vector<size_t> at = AndXOffsets(chain);
        if (c.damage) {
            c.damage(chain, at);
        }
        EXPECT_EQ(Request(chain), c.cut);
        EXPECT_EQ(Reported().size(), c.decided);
        if (c.cut) {
            EXPECT_EQ(LastSmb()[at[7] + 1], 0xFF) << "the eighth command ends the chain";
        }
    }
}

// The replies of a chain: the header's status is the last command's, every command
// before it was carried out and teaches what it opened; a denial of any command reaches
// the client.
TEST_F(ChainMembersTest, ChainedRepliesCarryTheirCommandsAnswers) {
    Rules({Rule("docs", "alice", "10100000")});
    Smb1Ids ids = Ids1();
    ASSERT_TRUE(Request(
        Smb1AndXChain({NtCreate1(ids, "plan.txt", 0x2), Smb1WriteAndXRequest(ids, 0xFFFF)})));
    // The server opened the file and wrote nothing.
    Bytes reply = Smb1AndXChain(
        {Smb1NtCreateReply(ids, 0x0077), Smb1WordsReply(0x2F, ids, {0x00FF, 0, 0, 0, 0, 0})});
    ASSERT_TRUE(Response(reply));
    EXPECT_EQ(ReadLe32(LastSmb(), Smb1StatusAt), AccessDenied);
    Reported();
    // The file id of the chained open was learned under its name.
    EXPECT_TRUE(Request(Smb1WriteAndXRequest(Ids1(), 0x0077)));
    EXPECT_EQ(Reported(), (std::vector<Event>{{2, 1, "docs\\plan.txt"}}));

    // A failed first command ends the reply: its status is the header's.
    Smb1Ids failed = Ids1();
    Request(Smb1AndXChain({NtCreate1(failed, "gone.txt", 0x2), Smb1CloseRequest(failed, 0)}));
    EXPECT_FALSE(Response(Smb1NtCreateReply(failed, 0x0078, 0xC0000034)));
    EXPECT_FALSE(Request(Smb1WriteAndXRequest(Ids1(), 0x0078))) << "no file learned";
}

// The logon chain of older clients: the session set-up and the tree connect in one
// message teach the user and the tree as the two requests do alone, so that opens in the
// tree are decided instead of being sent to log on again.
TEST_F(ChainMembersTest, LogonChainLearnsUserAndTree) {
    const uint16_t uid = 0x0901;
    const uint16_t tid = 0x0011;
    Rules({Rule("docs", "carol", "10001000")});
    for (bool withCreate : {false, true}) {
        SCOPED_TRACE(withCreate ? "with a create chained" : "set-up and connect");
        Reported();
        Smb1Ids ids{uid, 0, nextMid()};
        Bytes blob = SpnegoResponse(NtlmAuthenticate("carol", "TESTDOM", "OLDPC"));
        std::vector<Bytes> commands{Smb1SessionSetupRequest(ids, blob),
                                    TreeConnect1(ids, "\\\\FILESRV\\docs")};
        if (withCreate) {
            commands.push_back(NtCreate1(ids, "new.txt", 0x2, 2));
        }
        EXPECT_EQ(Request(Smb1AndXChain(commands)), withCreate);
        if (withCreate) {
            EXPECT_EQ(Reported(), (std::vector<Event>{{5, 1, "docs\\new.txt"}}));
        }
        ids.tid = tid;
        Response(Smb1AndXChain({Smb1WordsReply(0x73, ids, {0x00FF, 0, 0, 0}),
                                Smb1WordsReply(0x75, ids, {0x00FF, 0, 1})}));
        EXPECT_TRUE(IsKnownSessionTree(false, uid, tid));
        Smb1Ids open{uid, tid, nextMid()};
        EXPECT_FALSE(Request(NtCreate1(open, "readme.txt", 0x1)));
        EXPECT_FALSE(Response(Smb1NtCreateReply(open, 0x0091)));
        EXPECT_NE(ReadLe32(LastSmb(), Smb1StatusAt), SessionDeleted);
    }
}

} // namespace
