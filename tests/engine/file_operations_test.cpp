// Every kind of request that creates, truncates, deletes, renames, links or writes a file,
// in both dialects and in chains, with its deny and its allow case: what reaches the
// server, what the client is answered, and what is reported.
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
const uint32_t Ok = 0;
const uint32_t NotFound = 0xC0000034;
const uint32_t Collision = 0xC0000035;
const uint32_t PathNotFound = 0xC000003A;
const uint32_t SyntaxBad = 0xC000003B;
const uint32_t AccessDenied = 0xC0000022;

using EventList = std::vector<std::pair<int, int>>; // kind, blocked

class FileOperationsTest : public SmbEngineTest {
  protected:
    void SetUp() override {
        SmbEngineTest::SetUp();
        Login2(Alice2, "alice");
        Connect2(Alice2, Docs2, "\\\\FILESRV\\docs");
        Login1(Alice1, "alice");
        Connect1(Alice1, Docs1, "\\\\FILESRV\\docs");
    }
    Smb2Ids Ids2() { return Smb2Ids{Alice2, Docs2, nextId++}; }
    Smb1Ids Ids1() { return Smb1Ids{Alice1, Docs1, nextMid()}; }
    EventList Reported() {
        EventList out;
        for (const FileEvent& e : SmbEngineTest::Events()) {
            out.emplace_back(e.Kind, e.Blocked);
        }
        return out;
    }
    uint32_t Status2() { return ReadLe32(LastSmb(), Smb2StatusAt); }
    uint32_t Status1() { return ReadLe32(LastSmb(), Smb1StatusAt); }
};

// ---- create dispositions ----

// One way of opening a file by name, as the engine must see it in either dialect.
struct CreateForm {
    const char* name;
    std::function<Bytes(FileOperationsTest&, uint64_t id, uint32_t disposition)> request;
    // The disposition the spoiled request carries, or -1 when it is refused whole.
    std::function<int64_t(const Bytes&)> sent;
    std::function<Bytes(uint64_t id, uint32_t status, uint32_t action)> answer;
    bool smb2;
    bool supersede; // the form can ask for SUPERSEDE
};

uint16_t OpenFunctionOf(uint32_t disposition) {
    const uint16_t byDisposition[] = {0, 0x01, 0x10, 0x11, 0x02, 0x12};
    return byDisposition[disposition];
}

int64_t DispositionOfOpenFunction(uint16_t openFunction) {
    for (uint32_t d = 1; d <= 5; ++d) {
        if (OpenFunctionOf(d) == openFunction) {
            return d;
        }
    }
    return -1; // 0: refuses whatever exists
}

uint16_t OpenResultOf(uint32_t action) {
    return action == 1 ? 1 : action == 2 ? 2 : 3;
}

Smb1Ids Ids1For(uint64_t id) {
    return Smb1Ids{Alice1, Docs1, uint16_t(id)};
}

const CreateForm CreateForms[] = {
    {"SMB2 CREATE",
     [](FileOperationsTest&, uint64_t id, uint32_t d) {
         Smb2CreateFields f;
         f.name = "a.txt";
         f.desiredAccess = 0x00130196; // write data and attributes: no reading
         f.createDisposition = d;
         return Smb2CreateRequest({Alice2, Docs2, id}, f);
     },
     [](const Bytes& m) -> int64_t {
         return (ReadLe32(m, Smb2CreateOptionsAt) & 0x41) == 0x41
                    ? -1
                    : int64_t(ReadLe32(m, Smb2CreateDispositionAt));
     },
     [](uint64_t id, uint32_t status, uint32_t action) {
         return status == 0 ? Smb2CreateResponse({Alice2, Docs2, id}, {7, 8}, action)
                            : Smb2ErrorResponse(5, {Alice2, Docs2, id}, status);
     },
     true, true},
    {"NT_CREATE_ANDX",
     [](FileOperationsTest&, uint64_t id, uint32_t d) {
         Smb1CreateFields f;
         f.name = "a.txt";
         f.desiredAccess = 0x00130196;
         f.createDisposition = d;
         return Smb1NtCreateRequest(Ids1For(id), f);
     },
     [](const Bytes& m) -> int64_t {
         return (ReadLe32(m, Smb1CreateOptionsAt) & 0x41) == 0x41 ? -1
                                                                  : int64_t(ReadLe32(m, 32 + 36));
     },
     [](uint64_t id, uint32_t status, uint32_t action) {
         return Smb1NtCreateReply(Ids1For(id), 0x77, status, action);
     },
     false, true},
    {"NT_TRANSACT_CREATE",
     [](FileOperationsTest&, uint64_t id, uint32_t d) {
         return Smb1NtTransactCreate(Ids1For(id), "a.txt", 0x00130196, d);
     },
     [](const Bytes& m) -> int64_t {
         size_t p = Smb1NtTransactParametersAt;
         return (ReadLe32(m, p + 32) & 0x41) == 0x41 ? -1 : int64_t(ReadLe32(m, p + 28));
     },
     [](uint64_t id, uint32_t status, uint32_t action) {
         return status == 0 ? Smb1NtTransactCreateReply(Ids1For(id), 0x78, action)
                            : Smb1Reply(0xA0, Ids1For(id), status);
     },
     false, true},
    {"OPEN_ANDX",
     [](FileOperationsTest&, uint64_t id, uint32_t d) {
         return Smb1OpenAndXRequest(Ids1For(id), "a.txt", 1, OpenFunctionOf(d));
     },
     [](const Bytes& m) { return DispositionOfOpenFunction(ReadLe16(m, 32 + 17)); },
     [](uint64_t id, uint32_t status, uint32_t action) {
         return status == 0 ? Smb1OpenAndXReply(Ids1For(id), 0x79, OpenResultOf(action))
                            : Smb1Reply(0x2D, Ids1For(id), status);
     },
     false, false},
    {"TRANS2_OPEN2",
     [](FileOperationsTest&, uint64_t id, uint32_t d) {
         Bytes p(28, 0);
         p[2] = 1; // write only
         p[12] = uint8_t(OpenFunctionOf(d));
         return Smb1Trans2Request(Ids1For(id), 0, Concat({p, Utf16Le("a.txt"), Bytes{0, 0}}));
     },
     [](const Bytes& m) {
         return DispositionOfOpenFunction(ReadLe16(m, Smb1Trans2ParametersAt + 12));
     },
     [](uint64_t id, uint32_t status, uint32_t action) {
         return status == 0 ? Smb1Open2Reply(Ids1For(id), 0x7A, OpenResultOf(action))
                            : Smb1Reply(0x32, Ids1For(id), status);
     },
     false, false},
};

struct DispositionCase {
    const char* flags;
    uint32_t disposition;
    int64_t sent; // -1: refused whole
    uint32_t serverStatus;
    uint32_t action;
    uint32_t clientStatus;
    EventList events;
};

// Flags: report, deny delete, modify, rename, create, read, all, known clients only.
const DispositionCase DispositionCases[] = {
    // Deny create: create-or-open narrows to open, create-or-truncate to truncate.
    {"10001000", 3, 1, NotFound, 0, AccessDenied, {{5, 1}}},
    {"10001000", 3, 1, Ok, 1, Ok, {}},
    {"10001000", 5, 4, Ok, 3, Ok, {{2, 0}}},
    {"10001000", 5, 4, NotFound, 0, AccessDenied, {{5, 1}}},
    {"10001000", 0, 4, NotFound, 0, AccessDenied, {{5, 1}}},
    {"10001000", 2, -1, 0xC000000D, 0, AccessDenied, {{5, 1}}},
    {"10001000", 1, 1, Ok, 1, Ok, {}},
    {"10001000", 4, 4, Ok, 3, Ok, {{2, 0}}},
    {"10001000", 3, 1, PathNotFound, 0, PathNotFound, {}}, // other failures pass as they are
    {"00001000", 3, 1, NotFound, 0, AccessDenied, {}},
    // Deny modify: create-or-truncate narrows to create; a plain truncate is refused.
    {"10100000", 5, 2, Collision, 0, AccessDenied, {{2, 1}}},
    {"10100000", 5, 2, Ok, 2, Ok, {{5, 0}}},
    {"10100000", 0, 2, Collision, 0, AccessDenied, {{2, 1}}},
    {"10100000", 4, -1, 0xC000000D, 0, AccessDenied, {{2, 1}}},
    {"10100000", 3, 3, Ok, 2, Ok, {{5, 0}}},
    // Both: what may do either is refused; open-if still narrows.
    {"10101000", 5, -1, 0xC000000D, 0, AccessDenied, {{5, 1}}},
    {"10101000", 3, 1, NotFound, 0, AccessDenied, {{5, 1}}},
    // Report only: the answer says what happened.
    {"10000000", 5, 5, Ok, 2, Ok, {{5, 0}}},
    {"10000000", 5, 5, Ok, 3, Ok, {{2, 0}}},
    {"10000000", 0, 0, Ok, 0, Ok, {{2, 0}}},
    {"10000000", 3, 3, Ok, 1, Ok, {}},
};

TEST_F(FileOperationsTest, CreateDispositionsAreNarrowedAndSettledByTheAnswer) {
    for (const CreateForm& form : CreateForms) {
        for (const DispositionCase& c : DispositionCases) {
            bool refusedWhole = c.sent < 0;
            if (c.disposition == 0 && !form.supersede) {
                continue;
            }
            // Forms without SUPERSEDE ask for open-if/overwrite-if the same way; OPEN_ANDX
            // cannot carry the spoiled CreateOptions, so its refusal is an open mode of 0.
            SCOPED_TRACE(std::string(form.name) + " " + c.flags + " disposition " +
                         std::to_string(c.disposition) + " status " +
                         std::to_string(c.serverStatus));
            Rules({Rule("docs", "alice", c.flags)});
            uint64_t id = nextId++;
            Bytes request = form.request(*this, id, c.disposition);
            bool changed = c.sent != int64_t(c.disposition);
            EXPECT_EQ(Request(request), changed);
            EXPECT_EQ(form.sent(LastSmb()), c.sent);
            Response(form.answer(id, refusedWhole ? c.serverStatus : c.serverStatus, c.action));
            EXPECT_EQ(form.smb2 ? Status2() : Status1(), c.clientStatus);
            EXPECT_EQ(Reported(), c.events);
        }
    }
}

TEST_F(FileOperationsTest, TemporaryNamesAndTheShareRootAreNeverNarrowed) {
    Rules({Rule("docs", "alice", "10101000")});
    Smb2CreateFields f;
    f.desiredAccess = 0x2;
    f.createDisposition = 5;
    for (const char* name : {"~$a.docx", "a.tmp", ""}) {
        f.name = name;
        EXPECT_FALSE(Request(Smb2CreateRequest(Ids2(), f))) << name;
    }
    EXPECT_TRUE(Reported().empty());
}

TEST_F(FileOperationsTest, Smb1DosErrorsOfANarrowedCreateBecomeDenials) {
    Rules({Rule("docs", "alice", "00001000")});
    Smb1Ids ids = Ids1();
    Smb1CreateFields f;
    f.name = "a.txt";
    f.createDisposition = 3;
    ASSERT_TRUE(Request(Smb1NtCreateRequest(ids, f)));
    Bytes reply = Smb1Reply(0xA2, ids, 0x00020001); // ERRDOS/ERRbadfile
    reply[Smb1Flags2At + 1] &= 0xBF;
    ASSERT_TRUE(Response(reply));
    EXPECT_EQ(Status1(), AccessDenied);
}

// ---- requests that name a file (SMB1) ----

struct NamedCase {
    const char* what;
    const char* denyFlags;
    int kind; // reported when allowed, and (blocked) when denied
    std::function<Bytes(const Smb1Ids&)> request;
    uint8_t replyCommand;
    size_t spoiledNameAt; // where ".." must stand, or 0 when another field is spoiled
};

Bytes Open2Create(const Smb1Ids& ids, const std::string& name) {
    return Smb1Trans2Request(ids, 0x0D, Concat({Bytes(4, 0), Utf16Le(name), Bytes{0, 0}}));
}

const NamedCase NamedCases[] = {
    {"DELETE", "11000000", 1,
     [](const Smb1Ids& i) { return Smb1PathRequest(0x06, i, {0x16}, "\\old.txt"); }, 0x06, 38},
    {"DELETE of a mask", "11000000", 1,
     [](const Smb1Ids& i) { return Smb1PathRequest(0x06, i, {0x16}, "\\*.txt"); }, 0x06, 38},
    {"DELETE of a one-letter name", "11000000", 1,
     [](const Smb1Ids& i) { return Smb1PathRequest(0x06, i, {0x16}, "a"); }, 0x06, 38},
    {"DELETE_DIRECTORY", "11000000", 1,
     [](const Smb1Ids& i) { return Smb1PathRequest(0x01, i, {}, "\\dir"); }, 0x01, 36},
    {"CREATE_DIRECTORY", "10001000", 5,
     [](const Smb1Ids& i) { return Smb1PathRequest(0x00, i, {}, "\\dir"); }, 0x00, 36},
    {"TRANS2_CREATE_DIRECTORY", "10001000", 5,
     [](const Smb1Ids& i) { return Open2Create(i, "dir"); }, 0x32, Smb1Trans2ParametersAt + 4},
    {"OPEN for reading", "10000100", 4,
     [](const Smb1Ids& i) {
         return Smb1PathRequest(0x02, i, {0, 0x16}, "\\a.txt");
     },
     0x02, 40},
    {"CREATE_NEW", "10001000", 5,
     [](const Smb1Ids& i) {
         return Smb1PathRequest(0x0F, i, {0, 0, 0}, "\\a.txt");
     },
     0x0F, 42},
    {"CREATE under deny create", "10001000", 5,
     [](const Smb1Ids& i) {
         return Smb1PathRequest(0x03, i, {0, 0, 0}, "\\a.txt");
     },
     0x03, 42},
    {"NT_RENAME", "10010000", 3,
     [](const Smb1Ids& i) { return Smb1NtRenameRequest(i, 0x104, "\\a.txt", "\\b.txt"); }, 0xA5,
     44 + 14 + 2},
    {"NT_RENAME link, old name", "10010000", 3,
     [](const Smb1Ids& i) { return Smb1NtRenameRequest(i, 0x103, "\\a.txt", "\\b.txt"); }, 0xA5,
     44 + 14 + 2},
    {"NT_RENAME link, new name", "10001000", 5,
     [](const Smb1Ids& i) { return Smb1NtRenameRequest(i, 0x103, "\\a.txt", "\\b.txt"); }, 0xA5,
     44 + 14 + 2},
};

TEST_F(FileOperationsTest, Smb1RequestsByNameAreRefusedWithANameThatLeavesTheShare) {
    for (const NamedCase& c : NamedCases) {
        SCOPED_TRACE(c.what);
        // Allowed: reported, untouched.
        Rules({Rule("docs", "alice", "10000000")});
        Smb1Ids allowed = Ids1();
        EXPECT_FALSE(Request(c.request(allowed)));
        EXPECT_FALSE(Response(Smb1Reply(c.replyCommand, allowed, Ok)));
        EventList events = Reported();
        EXPECT_NE(std::find(events.begin(), events.end(), std::make_pair(c.kind, 0)), events.end());
        // Denied: the name becomes "..", the server's refusal reaches the client as a denial.
        Rules({Rule("docs", "alice", c.denyFlags)});
        Smb1Ids denied = Ids1();
        ASSERT_TRUE(Request(c.request(denied)));
        Bytes spoiled = LastSmb();
        EXPECT_EQ(ReadLe16(spoiled, c.spoiledNameAt), '.');
        EXPECT_EQ(ReadLe16(spoiled, c.spoiledNameAt + 2), '.');
        for (uint8_t wildcard : {'*', '?', '<', '>', '"'}) {
            EXPECT_EQ(std::count(spoiled.begin() + c.spoiledNameAt, spoiled.end(), wildcard), 0);
        }
        // A link is a rename of its old name, then a create of its new one.
        EventList expected{{c.kind, 1}};
        if (c.kind == 5 && c.replyCommand == 0xA5) {
            expected.insert(expected.begin(), {3, 0});
        }
        EXPECT_EQ(Reported(), expected);
        ASSERT_TRUE(Response(Smb1Reply(c.replyCommand, denied, SyntaxBad)));
        EXPECT_EQ(Status1(), AccessDenied);
    }
}

TEST_F(FileOperationsTest, Smb1CreateUnderDenyModifyBecomesCreateNew) {
    Rules({Rule("docs", "alice", "10100000")});
    Smb1Ids ids = Ids1();
    ASSERT_TRUE(Request(Smb1PathRequest(0x03, ids, {0, 0, 0}, "\\a.txt")));
    EXPECT_EQ(LastSmb()[4], 0x0F);
    ASSERT_TRUE(Response(Smb1Reply(0x0F, ids, Collision)));
    EXPECT_EQ(Status1(), AccessDenied);
    EXPECT_EQ(Reported(), (EventList{{2, 1}}));
    // Where no file was there, it made a new one: a create, not a modification.
    ids = Ids1();
    ASSERT_TRUE(Request(Smb1PathRequest(0x03, ids, {0, 0, 0}, "\\b.txt")));
    EXPECT_FALSE(Response(Smb1CoreOpenReply(0x0F, ids, 0x321)));
    EXPECT_EQ(Status1(), Ok);
    EXPECT_EQ(Reported(), (EventList{{5, 0}}));
}

// ---- requests on an open file ----

// A request on the open file `fid` (SMB1) or `file` (SMB2).
using HandleRequest =
    std::function<Bytes(FileOperationsTest&, uint64_t id, uint16_t fid, FileId file)>;

struct HandleCase {
    const char* what;
    const char* denyFlags;
    int kind;
    bool smb2;
    HandleRequest request;
    uint16_t replyCommand;
    // The spoiled field: its offset and the value it must hold (bytes from there on).
    std::function<bool(const Bytes&)> spoiled;
};

Bytes SetFile(const Smb1Ids& ids, uint16_t fid, uint16_t level, const Bytes& data) {
    Bytes p(6, 0);
    PutLe16(p, 0, fid);
    PutLe16(p, 2, level);
    return Smb1Trans2Request(ids, 8, p, data);
}

Bytes RenameData1(const std::string& name) {
    Bytes d(12, 0);
    Bytes text = Utf16Le(name);
    PutLe32(d, 8, uint32_t(text.size()));
    return Concat({d, text});
}

bool LevelSpoiled(const Bytes& m) {
    return ReadLe16(m, Smb1Trans2ParametersAt + 2) == 0;
}

bool FidZero(const Bytes& m) {
    return ReadLe16(m, 33) == 0;
}

bool InfoTypeSpoiled(const Bytes& m) {
    return m[Smb2InfoTypeAt] == 0x58;
}

bool FileIdZero(const Bytes& m) {
    return std::count(m.begin() + Smb2IoctlFileIdAt, m.begin() + Smb2IoctlFileIdAt + 16, 0) == 16;
}

HandleRequest Legacy(uint8_t command) {
    return [command](FileOperationsTest&, uint64_t id, uint16_t fid, FileId) {
        return Smb1LegacyWriteRequest(command, Ids1For(id), fid);
    };
}

HandleRequest Level(uint16_t level, Bytes data = Bytes(8, 0)) {
    return [level, data](FileOperationsTest&, uint64_t id, uint16_t fid, FileId) {
        return SetFile(Ids1For(id), fid, level, data);
    };
}

HandleRequest Class(uint8_t infoClass, Bytes buffer = Bytes(8, 0)) {
    return [infoClass, buffer](FileOperationsTest&, uint64_t id, uint16_t, FileId file) {
        return Smb2SetInfoBuffer({Alice2, Docs2, id}, file, infoClass, buffer);
    };
}

HandleRequest Fsctl(uint32_t code) {
    return [code](FileOperationsTest&, uint64_t id, uint16_t, FileId file) {
        return Smb2IoctlRequest({Alice2, Docs2, id}, file, code);
    };
}

Bytes RenameBuffer2(const std::string& name) {
    Bytes b(20, 0);
    Bytes text = Utf16Le(name);
    PutLe32(b, 16, uint32_t(text.size()));
    return Concat({b, text});
}

const HandleCase HandleCases[] = {
    {"WRITE", "10100000", 2, false, Legacy(0x0B), 0x0B, FidZero},
    {"WRITE_AND_CLOSE", "10100000", 2, false, Legacy(0x2C), 0x2C, FidZero},
    {"WRITE_AND_UNLOCK", "10100000", 2, false, Legacy(0x14), 0x14, FidZero},
    {"WRITE_RAW", "10100000", 2, false, Legacy(0x1D), 0x1D, FidZero},
    {"WRITE_MPX", "10100000", 2, false, Legacy(0x1E), 0x1E, FidZero},
    {"end of file", "10100000", 2, false, Level(0x104), 0x32, LevelSpoiled},
    {"allocation", "10100000", 2, false, Level(0x103), 0x32, LevelSpoiled},
    {"end of file, pass-through", "10100000", 2, false, Level(1020), 0x32, LevelSpoiled},
    {"allocation, pass-through", "10100000", 2, false, Level(1019), 0x32, LevelSpoiled},
    {"disposition", "11000000", 1, false, Level(0x102, Bytes{1}), 0x32, LevelSpoiled},
    {"rename, pass-through", "10010000", 3, false, Level(1010, RenameData1("b.txt")), 0x32,
     LevelSpoiled},
    {"link, pass-through", "10010000", 3, false, Level(1011, RenameData1("b.txt")), 0x32,
     LevelSpoiled},
    {"NT_TRANSACT_IOCTL copy", "10100000", 2, false,
     [](FileOperationsTest&, uint64_t id, uint16_t fid, FileId) {
         return Smb1NtTransactIoctl(Ids1For(id), fid, 0x001440F2);
     },
     0xA0, [](const Bytes& m) { return ReadLe16(m, 32 + 43) == 0; }},
    {"SET_INFO end of file", "10100000", 2, true, Class(20), 17, InfoTypeSpoiled},
    {"SET_INFO allocation", "10100000", 2, true, Class(19), 17, InfoTypeSpoiled},
    {"SET_INFO valid data length", "10100000", 2, true, Class(39), 17, InfoTypeSpoiled},
    {"SET_INFO link", "10010000", 3, true, Class(11, RenameBuffer2("b.txt")), 17, InfoTypeSpoiled},
    {"SET_INFO link, new name", "10001000", 5, true, Class(11, RenameBuffer2("b.txt")), 17,
     InfoTypeSpoiled},
    {"COPYCHUNK_WRITE", "10100000", 2, true, Fsctl(0x001480F2), 11, FileIdZero},
    {"COPYCHUNK", "10100000", 2, true, Fsctl(0x001440F2), 11, FileIdZero},
    {"SET_ZERO_DATA", "10100000", 2, true, Fsctl(0x000980C8), 11, FileIdZero},
};

TEST_F(FileOperationsTest, RequestsOnAnOpenFileAreRefusedThroughOneField) {
    uint16_t fid = Open1(Alice1, Docs1, "a.txt");
    FileId file = Open2(Alice2, Docs2, "a.txt");
    for (const HandleCase& c : HandleCases) {
        SCOPED_TRACE(c.what);
        Rules({Rule("docs", "alice", "10000000")});
        uint64_t allowed = nextId++;
        EXPECT_FALSE(Request(c.request(*this, allowed, fid, file)));
        EventList events = Reported();
        EXPECT_NE(std::find(events.begin(), events.end(), std::make_pair(c.kind, 0)), events.end());

        Rules({Rule("docs", "alice", c.denyFlags)});
        uint64_t denied = nextId++;
        ASSERT_TRUE(Request(c.request(*this, denied, fid, file)));
        EXPECT_TRUE(c.spoiled(LastSmb()));
        EventList expected{{c.kind, 1}};
        if (c.kind == 5) {
            expected.insert(expected.begin(), {3, 0}); // the link's old name, allowed
        }
        EXPECT_EQ(Reported(), expected);
        if (c.smb2) {
            ASSERT_TRUE(
                Response(Smb2ErrorResponse(c.replyCommand, {Alice2, Docs2, denied}, 0xC0000128)));
            EXPECT_EQ(Status2(), AccessDenied);
        } else {
            ASSERT_TRUE(Response(Smb1Reply(uint8_t(c.replyCommand), Ids1For(denied), 0xC0000008)));
            EXPECT_EQ(Status1(), AccessDenied);
        }
    }
    // Other controls and classes pass undecided.
    Rules({Rule("docs", "alice", "11111100")});
    EXPECT_FALSE(
        Request(Smb2IoctlRequest(Ids2(), file, 0x00140078))); // FSCTL_SRV_REQUEST_RESUME_KEY
    EXPECT_FALSE(Request(Smb2SetInfoBuffer(Ids2(), file, 14, Bytes(8, 0)))); // position
    EXPECT_FALSE(Request(SetFile(Ids1(), fid, 0x101, Bytes(40, 0))));        // basic
}

TEST_F(FileOperationsTest, SetPathLevelsAreDecidedByTheirName) {
    Rules({Rule("docs", "alice", "10100000")});
    Bytes p(6, 0);
    PutLe16(p, 0, 1020);
    Smb1Ids ids = Ids1();
    ASSERT_TRUE(Request(
        Smb1Trans2Request(ids, 6, Concat({p, Utf16Le("a.txt"), Bytes{0, 0}}), Bytes(8, 0))));
    EXPECT_EQ(ReadLe16(LastSmb(), Smb1Trans2ParametersAt), 0);
    std::vector<FileEvent> events = SmbEngineTest::Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(EventPath(events[0]), "docs\\a.txt");
    ASSERT_TRUE(Response(Smb1Reply(0x32, ids, 0xC0000003)));
    EXPECT_EQ(Status1(), AccessDenied);
}

// ---- handles of the legacy opens ----

struct LegacyOpen {
    const char* what;
    std::function<Bytes(const Smb1Ids&)> request;
    std::function<Bytes(const Smb1Ids&, uint16_t fid)> reply;
};

const LegacyOpen LegacyOpens[] = {
    {"OPEN_ANDX", [](const Smb1Ids& i) { return Smb1OpenAndXRequest(i, "h.txt", 2, 0x01); },
     [](const Smb1Ids& i, uint16_t fid) { return Smb1OpenAndXReply(i, fid, 1); }},
    {"OPEN",
     [](const Smb1Ids& i) {
         return Smb1PathRequest(0x02, i, {2, 0x16}, "h.txt");
     },
     [](const Smb1Ids& i, uint16_t fid) { return Smb1CoreOpenReply(0x02, i, fid); }},
    {"CREATE_NEW",
     [](const Smb1Ids& i) {
         return Smb1PathRequest(0x0F, i, {0, 0, 0}, "h.txt");
     },
     [](const Smb1Ids& i, uint16_t fid) { return Smb1CoreOpenReply(0x0F, i, fid); }},
    {"TRANS2_OPEN2",
     [](const Smb1Ids& i) {
         Bytes p(28, 0);
         p[2] = 2;
         p[12] = 0x01;
         return Smb1Trans2Request(i, 0, Concat({p, Utf16Le("h.txt"), Bytes{0, 0}}));
     },
     [](const Smb1Ids& i, uint16_t fid) { return Smb1Open2Reply(i, fid, 1); }},
    {"NT_TRANSACT_CREATE",
     [](const Smb1Ids& i) { return Smb1NtTransactCreate(i, "h.txt", 0x2, 1); },
     [](const Smb1Ids& i, uint16_t fid) { return Smb1NtTransactCreateReply(i, fid, 1); }},
};

TEST_F(FileOperationsTest, LegacyOpensRecordTheirHandles) {
    uint16_t fid = 0x500;
    for (const LegacyOpen& open : LegacyOpens) {
        SCOPED_TRACE(open.what);
        Rules({Rule("public", "alice", "11111100")});
        Smb1Ids ids = Ids1();
        EXPECT_FALSE(Request(open.request(ids)));
        EXPECT_FALSE(Response(open.reply(ids, ++fid)));
        Rules({Rule("docs", "alice", "10100000")});
        ASSERT_TRUE(Request(Smb1WriteAndXRequest(Ids1(), fid)));
        std::vector<FileEvent> events = SmbEngineTest::Events();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(EventPath(events[0]), "docs\\h.txt");
    }
}

} // namespace

namespace {

TEST_F(FileOperationsTest, Smb1WritesSpanningSegmentsAreDecidedOnTheirFirst) {
    uint16_t fid = Open1(Alice1, Docs1, "big.bin");
    Rules({Rule("docs", "alice", "00100000")});
    for (uint8_t command : {0x0B, 0x14, 0x1D, 0x1E, 0x2C, 0x2F}) {
        Bytes write = command == 0x2F ? Smb1WriteAndXRequest(Ids1(), fid)
                                      : Smb1LegacyWriteRequest(command, Ids1(), fid);
        // The message claims 4000 more bytes than this segment holds; each is the first
        // segment of a flow of its own.
        Endpoint from = Channel(uint16_t(51000 + command));
        lastFrame = BuildTcpFrame(from, server, NetbiosWrap(write, int64_t(write.size()) + 4000));
        EXPECT_TRUE(InspectInbound(lastFrame.data(), uint32_t(lastFrame.size()), false))
            << int(command);
    }
    // Other incomplete messages are left alone.
    Bytes rename = Smb1NtRenameRequest(Ids1(), 0x104, "\\a.txt", "\\b.txt");
    Rules({Rule("docs", "alice", "00010000")});
    lastFrame =
        BuildTcpFrame(Channel(52000), server, NetbiosWrap(rename, int64_t(rename.size()) + 10));
    EXPECT_FALSE(InspectInbound(lastFrame.data(), uint32_t(lastFrame.size()), false));
}

} // namespace

namespace {

TEST_F(FileOperationsTest, ANarrowedCreateThatTravelledAsSentIsNotSettledByItsAnswer) {
    Rules({Rule("docs", "alice", "10001000")});
    Smb2CreateFields f;
    f.name = "a.txt";
    f.desiredAccess = 0x2;
    f.createDisposition = 3;
    Smb2Ids ids = Ids2();
    Bytes original = BuildTcpFrame(client, server, NetbiosWrap(Smb2CreateRequest(ids, f)));
    ASSERT_TRUE(Request(Smb2CreateRequest(ids, f)));
    // The host could not substitute the rewritten frame: the original OPEN_IF went out.
    ForgetInboundDenials(original.data(), uint32_t(original.size()), false);
    EXPECT_FALSE(Response(Smb2ErrorResponse(5, ids, NotFound)));
    EXPECT_EQ(Status2(), NotFound);
    EXPECT_TRUE(Reported().empty());
}

} // namespace

namespace {

// The related members of a compound name the file of the chain's CREATE by a file id of
// all ones; they are decided by that CREATE's name.
// ---- chains: the members of an SMB2 compound and the commands of an SMB1 AndX chain, each
// decided by its own rule on the file it works on, each refused in a field the server
// checks, and the answers of the chain carrying the denial ----

const uint32_t InvalidParameter = 0xC000000D;
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

// Events with their paths; a file open in each dialect.
class ChainMembersTest : public FileOperationsTest {
  public:
    void SetUp() override {
        FileOperationsTest::SetUp();
        known2 = Open2(Alice2, Docs2, "known.txt");
        known1 = Open1(Alice1, Docs1, "known.txt");
    }
    using FileOperationsTest::Ids2;
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

namespace {

// ---- renames and links that may replace their target ----

// One way of asking for a rename or link, with or without replacing an existing target.
struct ReplaceForm {
    const char* name;
    bool link;
    bool smb2;
    std::function<Bytes(uint64_t id, uint16_t fid, FileId file, bool replace)> request;
    std::function<uint32_t(const Bytes&)> replaceSent; // the replace request as it left
    std::function<Bytes(uint64_t id, uint32_t status)> answer;
};

Bytes WithReplace(Bytes buffer, bool replace, bool flags) {
    if (replace) {
        buffer[0] = flags ? 1 : 0xFF; // a flags word, or a BOOLEAN: any byte but 0
    }
    return buffer;
}

std::function<Bytes(uint64_t, uint16_t, FileId, bool)> ReplaceClass(uint8_t infoClass) {
    return [infoClass](uint64_t id, uint16_t, FileId file, bool replace) {
        bool flags = infoClass == 65 || infoClass == 72;
        return Smb2SetInfoBuffer({Alice2, Docs2, id}, file, infoClass,
                                 WithReplace(RenameBuffer2("b.txt"), replace, flags));
    };
}

std::function<Bytes(uint64_t, uint16_t, FileId, bool)> ReplaceLevel(uint16_t level) {
    return [level](uint64_t id, uint16_t fid, FileId, bool replace) {
        bool flags = level == 1065 || level == 1072;
        return SetFile(Ids1For(id), fid, level, WithReplace(RenameData1("b.txt"), replace, flags));
    };
}

Bytes ReplacePath(uint64_t id, uint16_t, FileId, bool replace) {
    Bytes p(6, 0);
    PutLe16(p, 0, 1010);
    return Smb1Trans2Request(Ids1For(id), 6, Concat({p, Utf16Le("a.txt"), Bytes{0, 0}}),
                             WithReplace(RenameData1("b.txt"), replace, false));
}

uint32_t ReplaceSent2(const Bytes& m) {
    return ReadLe32(m, Smb2SetInfoBufferAt);
}

uint32_t ReplaceSent1(const Bytes& m) {
    return ReadLe32(m, ReadLe16(m, 32 + 25)); // the data block, where DataOffset says
}

Bytes ReplaceAnswer2(uint64_t id, uint32_t status) {
    return status == 0 ? Smb2SimpleResponse(17, {Alice2, Docs2, id}, 0)
                       : Smb2ErrorResponse(17, {Alice2, Docs2, id}, status);
}

Bytes ReplaceAnswer1(uint64_t id, uint32_t status) {
    return status == 0 ? Smb1WordsReply(0x32, Ids1For(id), std::vector<uint16_t>(10, 0), 0)
                       : Smb1Reply(0x32, Ids1For(id), status);
}

const ReplaceForm ReplaceForms[] = {
    {"SET_INFO rename", false, true, ReplaceClass(10), ReplaceSent2, ReplaceAnswer2},
    {"SET_INFO rename, extended", false, true, ReplaceClass(65), ReplaceSent2, ReplaceAnswer2},
    {"SET_INFO link", true, true, ReplaceClass(11), ReplaceSent2, ReplaceAnswer2},
    {"SET_INFO link, extended", true, true, ReplaceClass(72), ReplaceSent2, ReplaceAnswer2},
    {"SET_FILE rename", false, false, ReplaceLevel(1010), ReplaceSent1, ReplaceAnswer1},
    {"SET_FILE rename, extended", false, false, ReplaceLevel(1065), ReplaceSent1, ReplaceAnswer1},
    {"SET_FILE link", true, false, ReplaceLevel(1011), ReplaceSent1, ReplaceAnswer1},
    {"SET_FILE link, extended", true, false, ReplaceLevel(1072), ReplaceSent1, ReplaceAnswer1},
    {"SET_PATH rename", false, false, ReplacePath, ReplaceSent1, ReplaceAnswer1},
    {"SET_FILE rename, 8-bit names", false, false,
     [](uint64_t id, uint16_t fid, FileId, bool replace) {
         Bytes data(12, 0);
         data[0] = replace ? 1 : 0;
         data[8] = 5;
         Smb1Ids ids{Alice1, Docs1, uint16_t(id), false};
         return SetFile(ids, fid, 1010, Concat({data, Bytes{'b', '.', 't', 'x', 't'}}));
     },
     ReplaceSent1, ReplaceAnswer1},
};

struct ReplaceCase {
    const char* flags;
    bool replace;
    bool narrowed;
    uint32_t serverStatus;
    uint32_t clientStatus;
    EventList events; // a link also reports its new name (5, 0) after each allowed (3, 0)
};

const uint32_t SharingViolation = 0xC0000043;

const ReplaceCase ReplaceCases[] = {
    // Deny delete on the target: the replace request goes; a collision is the refusal.
    {"11000000", true, true, Collision, AccessDenied, {{1, 1}}},
    {"11000000", true, true, Ok, Ok, {{3, 0}}},
    {"11000000", true, true, SharingViolation, SharingViolation, {{3, 0}}},
    {"01000000", true, true, Collision, AccessDenied, {}},
    {"11000000", false, false, Ok, Ok, {{3, 0}}},
    // Report only: a success that asked to replace is a delete of the target too.
    {"10000000", true, false, Ok, Ok, {{3, 0}, {1, 0}}},
    {"10000000", true, false, Collision, Collision, {{3, 0}}},
    {"10000000", false, false, Ok, Ok, {{3, 0}}},
    // A rename that is denied itself is refused whole.
    {"11010000", true, false, 0xC000000D, AccessDenied, {{3, 1}}},
};

TEST_F(FileOperationsTest, RenamesThatReplaceAreNarrowedUnderDenyDeleteOnTheTarget) {
    uint16_t fid = Open1(Alice1, Docs1, "a.txt");
    FileId file = Open2(Alice2, Docs2, "a.txt");
    for (const ReplaceForm& form : ReplaceForms) {
        for (const ReplaceCase& c : ReplaceCases) {
            SCOPED_TRACE(std::string(form.name) + " " + c.flags + (c.replace ? " replace" : "") +
                         " status " + std::to_string(c.serverStatus));
            Rules({Rule("docs", "alice", c.flags)});
            uint64_t id = nextId++;
            bool refusedWhole = c.events == EventList{{3, 1}};
            EXPECT_EQ(Request(form.request(id, fid, file, c.replace)), c.narrowed || refusedWhole);
            EXPECT_EQ(form.replaceSent(LastSmb()) != 0, c.replace && !c.narrowed);
            EXPECT_EQ(Response(form.answer(id, c.serverStatus)), c.clientStatus != c.serverStatus);
            EXPECT_EQ(form.smb2 ? Status2() : Status1(), c.clientStatus);
            EventList expected;
            for (const auto& e : c.events) {
                expected.push_back(e);
                if (form.link && e == std::make_pair(3, 0)) {
                    expected.emplace_back(5, 0);
                }
            }
            std::vector<FileEvent> events = SmbEngineTest::Events();
            EventList seen;
            for (const FileEvent& e : events) {
                seen.emplace_back(e.Kind, e.Blocked);
                const char* path = e.Kind == 3                  ? "docs\\a.txt => docs\\b.txt"
                                   : e.Kind == 1 || e.Kind == 5 ? "docs\\b.txt"
                                                                : "";
                EXPECT_EQ(EventPath(e), path);
            }
            EXPECT_EQ(seen, expected);
        }
    }
}

// ---- denials that the server carried out all the same ----

// A denied request (on a file, or by name), and its answer: done, the server did it.
struct CarriedOutCase {
    const char* what;
    const char* denyFlags;
    int kind;
    bool smb2;
    HandleRequest request;
    std::function<Bytes(uint64_t id, bool done)> answer;
};

std::vector<uint16_t> WriteAndXCounts(uint16_t count, uint16_t countHigh) {
    return {0x00FF, 0, count, 0, countHigh, 0};
}

const CarriedOutCase CarriedOutCases[] = {
    {"SMB2 WRITE", "10100000", 2, true,
     [](FileOperationsTest&, uint64_t id, uint16_t, FileId file) {
         return Smb2WriteRequest({Alice2, Docs2, id}, file);
     },
     [](uint64_t id, bool done) {
         return Smb2WriteResponse({Alice2, Docs2, id}, done ? 16 : 0);
     }},
    {"WRITE_ANDX", "10100000", 2, false,
     [](FileOperationsTest&, uint64_t id, uint16_t fid, FileId) {
         return Smb1WriteAndXRequest(Ids1For(id), fid);
     },
     [](uint64_t id, bool done) {
         return Smb1WordsReply(0x2F, Ids1For(id), WriteAndXCounts(done ? 16 : 0, 0), 0);
     }},
    {"WRITE_ANDX, a large write", "10100000", 2, false,
     [](FileOperationsTest&, uint64_t id, uint16_t fid, FileId) {
         Bytes m = Smb1WriteAndXRequest(Ids1For(id), fid);
         PutLe16(m, 32 + 19, 1); // DataLengthHigh: 64 KiB more
         return m;
     },
     [](uint64_t id, bool done) {
         return Smb1WordsReply(0x2F, Ids1For(id), WriteAndXCounts(0, done ? 1 : 0), 0);
     }},
    {"WRITE", "10100000", 2, false,
     [](FileOperationsTest&, uint64_t id, uint16_t fid, FileId) {
         return Smb1LegacyWriteRequest(0x0B, Ids1For(id), fid);
     },
     [](uint64_t id, bool done) {
         return Smb1WordsReply(0x0B, Ids1For(id), {uint16_t(done ? 4 : 0)}, done ? 0 : 0xC0000008);
     }},
    {"SMB2 CREATE for reading", "10000100", 4, true,
     [](FileOperationsTest&, uint64_t id, uint16_t, FileId) {
         Smb2CreateFields f;
         f.name = "a.txt";
         return Smb2CreateRequest({Alice2, Docs2, id}, f);
     },
     [](uint64_t id, bool done) {
         return done ? Smb2CreateResponse({Alice2, Docs2, id}, {5, 6}, 1)
                     : Smb2ErrorResponse(5, {Alice2, Docs2, id}, 0xC000000D);
     }},
    {"NT_CREATE_ANDX that creates", "10001000", 5, false,
     [](FileOperationsTest&, uint64_t id, uint16_t, FileId) {
         Smb1CreateFields f;
         f.name = "n.txt";
         f.desiredAccess = 0x2;
         f.createDisposition = 2;
         return Smb1NtCreateRequest(Ids1For(id), f);
     },
     [](uint64_t id, bool done) {
         return Smb1NtCreateReply(Ids1For(id), 0x66, done ? 0 : 0xC000000D, 2);
     }},
    {"SET_INFO disposition", "11000000", 1, true,
     [](FileOperationsTest&, uint64_t id, uint16_t, FileId file) {
         return Smb2SetInfoDisposition({Alice2, Docs2, id}, file);
     },
     [](uint64_t id, bool done) {
         return done ? Smb2SimpleResponse(17, {Alice2, Docs2, id}, 0)
                     : Smb2ErrorResponse(17, {Alice2, Docs2, id}, 0xC000000D);
     }},
    // A transaction's success without words only asks for the rest of the request.
    {"TRANS2 disposition", "11000000", 1, false, Level(0x102, Bytes{1}),
     [](uint64_t id, bool done) {
         return Smb1WordsReply(0x32, Ids1For(id), std::vector<uint16_t>(done ? 10 : 0, 0), 0);
     }},
    {"DELETE", "11000000", 1, false,
     [](FileOperationsTest&, uint64_t id, uint16_t, FileId) {
         return Smb1PathRequest(0x06, Ids1For(id), {0x16}, "\\a.txt");
     },
     [](uint64_t id, bool done) { return Smb1Reply(0x06, Ids1For(id), done ? 0 : SyntaxBad); }},
};

TEST_F(FileOperationsTest, ADenialTheServerCarriedOutPassesAndIsReportedAsFailed) {
    uint16_t fid = Open1(Alice1, Docs1, "a.txt");
    FileId file = Open2(Alice2, Docs2, "a.txt");
    for (const CarriedOutCase& c : CarriedOutCases) {
        for (bool done : {true, false}) {
            SCOPED_TRACE(std::string(c.what) + (done ? ", carried out" : ", refused"));
            Rules({Rule("docs", "alice", c.denyFlags)});
            uint64_t id = nextId++;
            ASSERT_TRUE(Request(c.request(*this, id, fid, file)));
            if (std::string(c.what) == "WRITE_ANDX, a large write") {
                EXPECT_EQ(ReadLe16(LastSmb(), 32 + 19), 0); // no half of the count is left
            }
            Bytes answer = c.answer(id, done);
            if (c.smb2) {
                // An interim answer leaves the denial to the final one.
                uint16_t command = ReadLe16(answer, 12);
                EXPECT_FALSE(Response(Smb2ErrorResponse(command, {Alice2, Docs2, id}, 0x103)));
            }
            uint32_t status = ReadLe32(answer, c.smb2 ? Smb2StatusAt : Smb1StatusAt);
            EXPECT_EQ(Response(answer), !done);
            EXPECT_EQ(c.smb2 ? Status2() : Status1(), done ? status : AccessDenied);
            std::vector<FileEvent> events = SmbEngineTest::Events();
            EventList seen;
            for (const FileEvent& e : events) {
                seen.emplace_back(e.Kind, e.Blocked);
                EXPECT_EQ(EventPath(e), EventPath(events[0]));
            }
            EventList expected{{c.kind, 1}};
            if (done) {
                expected.emplace_back(c.kind, 0);
            }
            EXPECT_EQ(seen, expected);
            ASSERT_FALSE(events.empty());
            EXPECT_NE(EventPath(events[0]), "");
        }
    }
}

// A replacing rename cut in two at every byte under deny delete. Where the replace flag
// still lies in the segment that completes the decision, it is cleared; where it went by,
// the request is refused whole; either refusal reaches the client as an access denial and
// a blocked delete of the target. Where nothing is left to spoil (only the last character
// of the name), the rename goes as sent and is reported as the rename and the delete of
// the target that it may be.
TEST_F(FileOperationsTest, AReplacingRenameCutAnywhereIsNarrowedOrRefusedWhole) {
    FileId file = Open2(Alice2, Docs2, "a.txt");
    Rules({Rule("docs", "alice", "11000000")});
    std::string deep;
    for (int i = 0; i < 6; ++i) {
        deep += "folder" + std::to_string(i) + "\\";
    }
    auto build = [&](uint64_t id) {
        Bytes info = WithReplace(RenameBuffer2(deep + "b.txt"), true, false);
        return NetbiosWrap(Smb2SetInfoBuffer({Alice2, Docs2, id}, file, 10, info));
    };
    const size_t replaceAt = 4 + Smb2SetInfoBufferAt;
    const uint32_t NameInvalid = 0xC0000033;
    size_t size = build(0).size();
    size_t asSent = 0;
    for (size_t cut = 1; cut < size; ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        uint64_t id = nextId++;
        Bytes original = build(id);
        Endpoint from = Channel(uint16_t(45000 + cut));
        Bytes sent;
        for (auto part : {std::make_pair(size_t(0), cut), std::make_pair(cut, size)}) {
            Bytes frame = BuildTcpFrame(
                from, server, Bytes(original.begin() + part.first, original.begin() + part.second));
            InspectInbound(frame.data(), uint32_t(frame.size()), false);
            sent.insert(sent.end(), frame.begin() + FramePayload, frame.end());
        }
        bool narrowed = sent[replaceAt] == 0;
        bool unchanged = sent == original;
        uint32_t server = narrowed ? Collision : unchanged ? Ok : NameInvalid;
        ResponseTo(from, ReplaceAnswer2(id, server));
        EXPECT_EQ(Status2(), unchanged ? Ok : AccessDenied);
        EventList expected{{1, 1}};
        if (unchanged) {
            expected = EventList{{3, 0}, {1, 0}};
        }
        EXPECT_EQ(Reported(), expected);
        asSent += unchanged ? 1 : 0;
        EXPECT_TRUE(narrowed == (cut <= replaceAt) || unchanged);
    }
    EXPECT_LE(asSent, 1u);
}

} // namespace
