#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <vector>

#include "engine_fixture.h"
#include "policy.h"
#include "policy_builders.h"
#include "session_state.h"

namespace {

const uint64_t Session = 0x0000400000000011ull;
const uint32_t Tree = 5;
const uint32_t ClientA = 0x0500000A; // 10.0.0.5 in header byte order
const uint32_t ClientB = 0x0600000A; // 10.0.0.6

class SessionStateTest : public EngineTest {
  protected:
    void AddTree(uint64_t session, uint32_t tree, const std::string& share,
                 uint32_t address = ClientA) {
        TreeRecord record{};
        SetField(record.ShareName, SharePathUnits, share);
        record.ClientMac = 0x0200000000AAull;
        record.ClientAddress = address;
        ASSERT_TRUE(KeyedTableInsert(g_Engine.TreeTable, false, TreeKey(session, tree), &record,
                                     sizeof record));
    }
    void AddUser(uint64_t session, const std::string& user, const std::string& wks = "pc1",
                 uint32_t address = ClientA) {
        SessionUser record{};
        SetField(record.UserName, NameUnits, user);
        SetField(record.WorkstationName, NameUnits, wks);
        SetField(record.DomainName, NameUnits, "dom");
        record.ClientMac = 0x0200000000AAull;
        record.ClientAddress = address;
        ASSERT_TRUE(StoreSessionUser(false, session, &record));
    }
    std::string Full(const std::string& share, const std::string& name, uint32_t capacity = 1024) {
        KeyedTableDelete(g_Engine.TreeTable, false, TreeKey(Session, Tree));
        AddTree(Session, Tree, share);
        std::vector<Utf16Unit> buffer(capacity + 8, 0xFFFF);
        std::vector<Utf16Unit> text = U16(name);
        std::copy(text.begin(), text.end(), buffer.begin());
        EXPECT_TRUE(FullPath(false, Session, Tree, buffer.data(), capacity));
        EXPECT_EQ(buffer[capacity], 0xFFFF) << "nothing written past the capacity";
        return Ascii(buffer.data(), capacity);
    }
};

TEST_F(SessionStateTest, FullPathJoinsShareAndNameWithOneBackslash) {
    EXPECT_EQ(Full("docs", "a\\b.txt"), "docs\\a\\b.txt");
    EXPECT_EQ(Full("docs\\", "a.txt"), "docs\\a.txt");
    EXPECT_EQ(Full("docs", "\\a.txt"), "docs\\a.txt");
    EXPECT_EQ(Full("docs", ""), "docs\\");
    EXPECT_EQ(Full("", "a.txt"), "a.txt");
    EXPECT_EQ(Full("Docs", "Plan.XLSX"), "docs\\plan.xlsx");
}

TEST_F(SessionStateTest, FullPathIsBoundedTo256Units) {
    std::string path = Full(std::string(250, 's'), std::string(20, 'n'));
    EXPECT_EQ(path, std::string(250, 's') + "\\" + std::string(5, 'n'));
    EXPECT_EQ(Full("docs", "ab", 6), "docs\\"); // capacity 6: five units and the end
}

TEST_F(SessionStateTest, FullPathKeepsWhatFitsAtEveryCapacity) {
    for (std::string share : {"", "Ab", "ab\\"}) {
        for (std::string name : {"", "X", "\\y", "xYz"}) {
            bool separator =
                !share.empty() && share.back() != '\\' && (name.empty() || name[0] != '\\');
            std::string joined = share + (separator ? "\\" : "") + name;
            for (char& c : joined) {
                c = char(std::tolower(c));
            }
            // The name itself always lies inside the buffer with its terminator.
            for (uint32_t capacity = uint32_t(name.size()) + 1; capacity <= 8; ++capacity) {
                EXPECT_EQ(Full(share, name, capacity), joined.substr(0, capacity - 1))
                    << share << " + " << name << " in " << capacity;
            }
        }
    }
}

TEST_F(SessionStateTest, FullPathOfUnknownTreeLeavesTheBufferAlone) {
    std::vector<Utf16Unit> buffer = U16("Report.DOC");
    buffer.resize(64, 0);
    EXPECT_FALSE(FullPath(false, Session, 99, buffer.data(), 64));
    EXPECT_EQ(Ascii(buffer.data()), "Report.DOC");
}

TEST_F(SessionStateTest, OpenFileFullPath) {
    AddTree(Session, Tree, "docs");
    TableKey file{0x1111, 0x2222};
    std::vector<Utf16Unit> name = U16("Sub\\File.txt");
    ASSERT_TRUE(KeyedTableInsert(g_Engine.OpenFileTable, false, file, name.data(),
                                 uint32_t((name.size() - 1) * 2)));
    std::vector<Utf16Unit> out(1024, 0);
    OpenFileFullPath(false, Session, Tree, file, out.data(), 1024);
    EXPECT_EQ(Ascii(out.data()), "docs\\sub\\file.txt");

    std::vector<Utf16Unit> untouched = U16("keep");
    untouched.resize(16, 0);
    OpenFileFullPath(false, Session, Tree, TableKey{1, 2}, untouched.data(), 16);
    EXPECT_EQ(Ascii(untouched.data()), "keep");

    std::vector<Utf16Unit> small(5, 0);
    OpenFileFullPath(false, Session, Tree, file, small.data(), 5);
    EXPECT_EQ(Ascii(small.data(), 5), "docs");
    EXPECT_EQ(small[4], 0);
}

TEST_F(SessionStateTest, ShareNameFromUnc) {
    auto strip = [](const std::string& unc, uint32_t capacity = 64) {
        std::vector<Utf16Unit> buffer = U16(unc);
        buffer.resize(std::max<size_t>(buffer.size(), capacity), 0);
        ShareNameFromUnc(buffer.data(), capacity);
        return Ascii(buffer.data(), capacity);
    };
    EXPECT_EQ(strip("\\\\server\\docs"), "docs");
    EXPECT_EQ(strip("\\\\192.0.2.1\\docs\\sub\\x"), "docs\\sub\\x");
    EXPECT_EQ(strip("share"), "share");
    EXPECT_EQ(strip("\\\\serveronly"), "\\\\serveronly");
    EXPECT_EQ(strip("\\\\srv\\"), "");
}

TEST_F(SessionStateTest, SessionQueries) {
    AddUser(Session, "alice");
    AddTree(Session, Tree, "docs");
    AddTree(Session + 1, Tree, "docs"); // a tree whose session has no user record
    EXPECT_TRUE(IsKnownSessionTree(false, Session, Tree));
    EXPECT_FALSE(IsKnownSessionTree(false, Session, Tree + 1));
    EXPECT_FALSE(IsKnownSessionTree(false, Session + 1, Tree));
    ASSERT_TRUE(KeyedTableInsert(g_Engine.IpcTreeTable, false, TreeKey(Session, 9), nullptr, 0));
    EXPECT_TRUE(IsIpcTree(false, Session, 9));
    EXPECT_FALSE(IsIpcTree(false, Session, Tree));

    Utf16Unit user[NameUnits], wks[NameUnits];
    ASSERT_TRUE(GetSessionNames(false, Session, user, wks));
    EXPECT_EQ(Ascii(user), "alice");
    EXPECT_EQ(Ascii(wks), "pc1");
    EXPECT_FALSE(GetSessionNames(false, Session + 1, user, wks));
}

TEST_F(SessionStateTest, SessionUserOfTheWrongSizeIsNoUser) {
    ASSERT_TRUE(KeyedTableInsert(g_Engine.SessionUserTable, false, SessionKey(7), "x", 2));
    SessionUser user;
    EXPECT_FALSE(GetSessionUser(false, 7, &user));
}

TEST_F(SessionStateTest, MatchSessionRuleNeedsAUserName) {
    AccessRule rules[] = {Rule("docs", "", "01000000"), Rule("docs", "alice", "00100000")};
    ASSERT_EQ(ReplaceAccessRules(rules, 2), PolicyResultOk);
    AddUser(Session, "");
    AddUser(Session + 1, "alice");
    AccessRule found;
    EXPECT_FALSE(MatchSessionRule(false, Session, U16("docs\\a").data(), &found));
    ASSERT_TRUE(MatchSessionRule(false, Session + 1, U16("docs\\a").data(), &found));
    EXPECT_EQ(Flags(found), "00100000");
    EXPECT_FALSE(MatchSessionRule(false, Session + 2, U16("docs\\a").data(), &found));
}

TEST_F(SessionStateTest, EnumerationSkipsDuplicatesAndWrongSizes) {
    AddUser(1, "alice");
    AddUser(2, "alice"); // byte-identical to session 1's record
    AddUser(3, "bob");
    ASSERT_TRUE(KeyedTableInsert(g_Engine.SessionUserTable, false, SessionKey(4), "odd", 3));
    std::vector<SessionUser> out(8);
    ASSERT_EQ(EnumerateSessionUsers(out.data(), 8), 2u);
    EXPECT_EQ(Ascii(out[0].UserName), "alice");
    EXPECT_EQ(Ascii(out[1].UserName), "bob");
    EXPECT_EQ(EnumerateSessionUsers(out.data(), 1), 1u);
    EXPECT_EQ(EnumerateSessionUsers(out.data(), 0), 0u);
}

TEST_F(SessionStateTest, AssignmentNamesEverySessionWithATreeFromTheAddress) {
    AddUser(1, "bob", "pc1", ClientA);
    AddTree(1, 10, "docs", ClientA);
    AddTree(2, 11, "docs", ClientA); // session 2 has no user yet
    AddTree(2, 12, "public", ClientA);
    AddTree(3, 13, "docs", ClientB);
    UserAssignment records[2] = {};
    SetField(records[0].UserName, NameUnits, "ALICE");
    SetField(records[0].WorkstationName, NameUnits, "WKS9");
    records[0].ClientAddress = ClientA;
    SetField(records[1].UserName, NameUnits, "carol");
    records[1].ClientAddress = ClientA; // a second record for the same address: never used
    ASSERT_TRUE(AssignSessionUsers(records, 2));

    SessionUser user;
    ASSERT_TRUE(GetSessionUser(false, 1, &user));
    EXPECT_EQ(Ascii(user.UserName), "alice");
    EXPECT_EQ(Ascii(user.WorkstationName), "wks9");
    EXPECT_EQ(Ascii(user.DomainName), "dom") << "the domain is kept";
    ASSERT_TRUE(GetSessionUser(false, 2, &user));
    EXPECT_EQ(Ascii(user.UserName), "alice");
    EXPECT_EQ(user.DomainName[0], 0);
    EXPECT_EQ(user.ClientAddress, ClientA);
    EXPECT_EQ(user.ClientMac, 0x0200000000AAull);
    EXPECT_FALSE(GetSessionUser(false, 3, &user));
    EXPECT_EQ(Ascii(records[0].UserName), "alice") << "records are lower-cased in place";
}

TEST_F(SessionStateTest, AssignmentCutsNamesTo63Units) {
    AddTree(1, 10, "docs", ClientA);
    UserAssignment record{};
    for (auto& unit : record.UserName) {
        unit = 'u';
    }
    record.ClientAddress = ClientA;
    ASSERT_TRUE(AssignSessionUsers(&record, 1));
    SessionUser user;
    ASSERT_TRUE(GetSessionUser(false, 1, &user));
    EXPECT_EQ(Ascii(user.UserName, 64), std::string(63, 'u'));
}

} // namespace
