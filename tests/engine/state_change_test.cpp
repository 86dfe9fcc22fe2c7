// What a request asks to change in the engine's picture (who a session is, its trees, its
// open files, the session itself) happens only when the server's answer says so, on the
// connection the request came from.
#include <gtest/gtest.h>

#include <functional>

#include "engine_state.h"
#include "session_state.h"
#include "smb_engine_fixture.h"

namespace {

const uint64_t Alice = 0x100000000001ull;
const uint16_t Uid = 0x0801;
const uint32_t Docs = 7;
const uint16_t Tid = 5;
const uint32_t StatusLogonFailure = 0xC000006D;
const uint32_t StatusNetworkNameDeleted = 0xC00000C9;
const uint32_t StatusAccessDenied = 0xC0000022;

enum class Answer { Success, Failure, None, SuccessToAnotherConnection };

class StateChangeTest : public SmbEngineTest {
  protected:
    void SetUp() override {
        SmbEngineTest::SetUp();
        Login2(Alice, "Alice");
        Connect2(Alice, Docs, "\\\\FILESRV\\Docs");
        file2 = Open2(Alice, Docs, "a.txt");
        Login1(Uid, "Alice");
        Connect1(Uid, Tid, "\\\\FILESRV\\Docs");
        fid = Open1(Uid, Tid, "a.txt");
    }
    // Sends `answer` from the server to `to`.
    void AnswerTo(const Endpoint& to, const Bytes& smb) {
        Bytes frame = BuildTcpFrame(server, to, NetbiosWrap(smb));
        InspectOutbound(frame.data(), uint32_t(frame.size()), false);
    }
    std::string UserOf(uint64_t session) {
        SessionUser user;
        return GetSessionUser(false, session, &user) ? Ascii(user.UserName) : "";
    }
    bool HasOpen(TableKey file) {
        uint32_t length = 0;
        return KeyedTableLookup(g_Engine.OpenFileTable, false, file, nullptr, &length);
    }
    FileId file2;
    uint16_t fid = 0;
};

// One request of each kind, answered each way; `changed` tells whether the engine's
// picture moved.
TEST_F(StateChangeTest, ChangesHappenOnlyOnTheServersSuccess) {
    Bytes bob = SpnegoResponse(NtlmAuthenticate("bob", "TESTDOM", "EVIL"));
    struct Kind {
        const char* what;
        std::function<Bytes(uint64_t id)> request;
        std::function<Bytes(uint64_t id, uint32_t status)> answer;
        std::function<bool()> changed;
    };
    std::vector<Kind> kinds = {
        {"SMB2 SESSION_SETUP naming bob",
         [&](uint64_t id) {
             return Smb2SessionSetupRequest({Alice, 0, id}, bob);
         },
         [&](uint64_t id, uint32_t s) {
             return Smb2SessionSetupResponse({Alice, 0, id}, 0, s);
         },
         [&] { return UserOf(Alice) == "bob"; }},
        {"SMB2 TREE_DISCONNECT",
         [&](uint64_t id) {
             return Smb2TreeDisconnectRequest({Alice, Docs, id});
         },
         [&](uint64_t id, uint32_t s) {
             return Smb2ErrorResponse(4, {Alice, Docs, id}, s);
         },
         [&] { return !IsKnownSessionTree(false, Alice, Docs); }},
        {"SMB2 CLOSE",
         [&](uint64_t id) {
             return Smb2CloseRequest({Alice, Docs, id}, file2);
         },
         [&](uint64_t id, uint32_t s) {
             return Smb2ErrorResponse(6, {Alice, Docs, id}, s);
         },
         [&] {
             return !HasOpen(TableKey{file2.persistent, file2.volatileId});
         }},
        {"SMB2 LOGOFF",
         [&](uint64_t id) {
             return Smb2LogoffRequest({Alice, 0, id});
         },
         [&](uint64_t id, uint32_t s) {
             return Smb2ErrorResponse(2, {Alice, 0, id}, s);
         },
         [&] { return UserOf(Alice).empty(); }},
        {"SMB1 SESSION_SETUP_ANDX naming bob",
         [&](uint64_t id) {
             return Smb1SessionSetupRequest({Uid, 0, uint16_t(id)}, bob);
         },
         [&](uint64_t id, uint32_t s) {
             return Smb1Reply(0x73, {Uid, 0, uint16_t(id)}, s);
         },
         [&] { return UserOf(Uid) == "bob"; }},
        {"SMB1 TREE_DISCONNECT",
         [&](uint64_t id) {
             return Smb1TreeDisconnectRequest({Uid, Tid, uint16_t(id)});
         },
         [&](uint64_t id, uint32_t s) {
             return Smb1Reply(0x71, {Uid, Tid, uint16_t(id)}, s);
         },
         [&] { return !IsKnownSessionTree(false, Uid, Tid); }},
        {"SMB1 CLOSE",
         [&](uint64_t id) {
             return Smb1CloseRequest({Uid, Tid, uint16_t(id)}, fid);
         },
         [&](uint64_t id, uint32_t s) {
             return Smb1Reply(0x04, {Uid, Tid, uint16_t(id)}, s);
         },
         [&] {
             return !HasOpen(TableKey{fid, Uid});
         }},
        {"SMB1 LOGOFF_ANDX",
         [&](uint64_t id) {
             return Smb1LogoffRequest({Uid, 0, uint16_t(id)});
         },
         [&](uint64_t id, uint32_t s) {
             return Smb1Reply(0x74, {Uid, 0, uint16_t(id)}, s);
         },
         [&] { return UserOf(Uid).empty(); }},
    };
    const Answer answers[] = {Answer::Failure, Answer::None, Answer::SuccessToAnotherConnection,
                              Answer::Success};
    for (const Kind& kind : kinds) {
        for (Answer answer : answers) {
            SCOPED_TRACE(std::string(kind.what) + ", answer " + std::to_string(int(answer)));
            TearDown();
            SetUp();
            uint64_t id = nextId++;
            EXPECT_FALSE(Request(kind.request(id)));
            ASSERT_FALSE(kind.changed()) << "a request alone changes nothing";
            if (answer == Answer::Failure) {
                Response(kind.answer(id, StatusLogonFailure));
            } else if (answer == Answer::SuccessToAnotherConnection) {
                AnswerTo(TestClient(10, 40000), kind.answer(id, 0));
            } else if (answer == Answer::Success) {
                Response(kind.answer(id, 0));
            }
            EXPECT_EQ(kind.changed(), answer == Answer::Success);
            EXPECT_EQ(KeyedTableCount(g_Engine.Smb1.PendingChanges, false) +
                          KeyedTableCount(g_Engine.Smb2.PendingChanges, false),
                      answer == Answer::None || answer == Answer::SuccessToAnotherConnection ? 1u
                                                                                             : 0u)
                << "an answer takes its own connection's request's pending change, no other";
        }
    }
}

// The forged set-up: another connection of the same client sends a SESSION_SETUP with
// alice's SessionId naming bob. The server refuses it; alice stays alice, her delete is
// still refused as hers, and a request on the forger's connection is not decided as hers.
// A set-up that binds the session on a further connection, accepted by the server, lets
// that connection use the session as alice's.
TEST_F(StateChangeTest, AnotherConnectionCannotTakeOverASession) {
    Rules({Rule("docs", "alice", "11000000")});
    Endpoint forger = TestClient(10, 40001);
    Bytes bob = SpnegoResponse(NtlmAuthenticate("bob", "TESTDOM", "EVIL"));
    Smb2Ids forged{Alice, 0, 5};
    Bytes setup = BuildTcpFrame(forger, server, NetbiosWrap(Smb2SessionSetupRequest(forged, bob)));
    InspectInbound(setup.data(), uint32_t(setup.size()), false);
    AnswerTo(forger, Smb2SessionSetupResponse(forged, 0, StatusNetworkNameDeleted));
    EXPECT_EQ(UserOf(Alice), "alice");

    Smb2CreateFields remove;
    remove.name = "old.txt";
    remove.desiredAccess = 0x00010080;
    remove.createOptions = 0x00001000;
    for (bool bound : {false, true}) {
        SCOPED_TRACE(bound ? "bound" : "not bound");
        if (bound) {
            Bytes binding = Smb2SessionSetupRequest({Alice, 0, 6}, bob);
            binding[2 + 64] = 0x01; // SMB2_SESSION_FLAG_BINDING
            Bytes frame = BuildTcpFrame(forger, server, NetbiosWrap(binding));
            InspectInbound(frame.data(), uint32_t(frame.size()), false);
            AnswerTo(forger, Smb2SessionSetupResponse({Alice, 0, 6}, 0));
            EXPECT_EQ(UserOf(Alice), "alice") << "a bound session keeps its user";
        }
        Bytes create =
            BuildTcpFrame(forger, server, NetbiosWrap(Smb2CreateRequest({Alice, Docs, 7}, remove)));
        EXPECT_TRUE(InspectInbound(create.data(), uint32_t(create.size()), false));
        std::vector<FileEvent> events = Events();
        ASSERT_EQ(events.size(), bound ? 1u : 0u) << "on an unbound connection, nobody's";
        if (bound) {
            EXPECT_EQ(Ascii(events[0].UserName), "alice");
        }
        AnswerTo(forger, Smb2ErrorResponse(5, {Alice, Docs, 7}, 0xC000000D));
    }
    ASSERT_TRUE(Request(Smb2CreateRequest({Alice, Docs, nextId}, remove)));
    ASSERT_TRUE(Response(Smb2ErrorResponse(5, {Alice, Docs, nextId}, 0xC000000D)));
    EXPECT_EQ(ReadLe32(LastSmb(), 8), StatusAccessDenied);
    std::vector<FileEvent> events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(Ascii(events[0].UserName), "alice");
    EXPECT_EQ(events[0].Blocked, 1);
}

// Two connections of a client use one session (bound on both, as SMB 3 multichannel binds
// one) and count their message ids each on its own, so both send a request with the same
// (MessageId, SessionId). What the engine keeps for an answer is its connection's own: a
// denial on one rewrites only that connection's answer, an answer sent to a third port
// takes nothing, and each CREATE is paired with its own answer, whichever answer comes
// first, over IPv4 and IPv6.
TEST_F(StateChangeTest, RequestsAreKeptPerConnection) {
    const uint32_t StatusInvalidParameter = 0xC000000D;
    struct Dialect {
        const char* name;
        size_t statusAt;
        std::function<Bytes(uint64_t id, const std::string& name, bool remove)> create;
        std::function<Bytes(uint64_t id, uint16_t file, uint32_t status)> answer;
        std::function<Bytes(uint64_t id, uint16_t file)> removeOpen;
        std::function<TableKey(uint16_t file)> fileKey;
    };
    auto removal = [](auto fields, bool remove) {
        if (remove) {
            fields.desiredAccess = 0x00010080; // DELETE, read attributes
            fields.createOptions = 0x00001000; // delete on close
        }
        return fields;
    };
    std::vector<Dialect> dialects = {
        {"SMB2", 8,
         [&](uint64_t id, const std::string& name, bool remove) {
             Smb2CreateFields f;
             f.name = name;
             return Smb2CreateRequest({Alice, Docs, id}, removal(f, remove));
         },
         [&](uint64_t id, uint16_t file, uint32_t status) {
             return status == 0 ? Smb2CreateResponse({Alice, Docs, id}, FileId{file, file})
                                : Smb2ErrorResponse(5, {Alice, Docs, id}, status);
         },
         [&](uint64_t id, uint16_t file) {
             return Smb2SetInfoDisposition({Alice, Docs, id}, FileId{file, file});
         },
         [&](uint16_t file) {
             return TableKey{file, file};
         }},
        {"SMB1", 5,
         [&](uint64_t id, const std::string& name, bool remove) {
             Smb1CreateFields f;
             f.name = name;
             return Smb1NtCreateRequest({Uid, Tid, uint16_t(id)}, removal(f, remove));
         },
         [&](uint64_t id, uint16_t file, uint32_t status) {
             Smb1Ids ids{Uid, Tid, uint16_t(id)};
             return status == 0 ? Smb1NtCreateReply(ids, file) : Smb1Reply(0xA2, ids, status);
         },
         [&](uint64_t id, uint16_t file) {
             return Smb1Trans2SetDisposition({Uid, Tid, uint16_t(id)}, file);
         },
         [&](uint16_t file) {
             return TableKey{file, Uid};
         }},
    };
    for (const Dialect& d : dialects) {
        for (bool overIpv6 : {false, true}) {
            for (bool deniedFirst : {true, false}) {
                SCOPED_TRACE(std::string(d.name) + (overIpv6 ? " IPv6" : " IPv4") +
                             (deniedFirst ? ", denied answered first" : ", other first"));
                TearDown();
                ipv6 = overIpv6;
                SetUp();
                Rules({Rule("docs", "alice", "11000000")});
                Endpoint other = Channel(40002);
                Endpoint third = TestClient(client.ip[3], 40003);
                auto send = [&](const Endpoint& from, const Endpoint& to, const Bytes& smb) {
                    lastFrame = Frame(from, to, smb);
                    return to.port == server.port
                               ? InspectInbound(lastFrame.data(), uint32_t(lastFrame.size()), false)
                               : InspectOutbound(lastFrame.data(), uint32_t(lastFrame.size()),
                                                 false);
                };
                auto status = [&] { return ReadLe32(LastSmb(), d.statusAt); };

                // A denial on one connection, an allowed request under the same ids on the
                // other.
                uint64_t id = nextId++;
                EXPECT_TRUE(send(client, server, d.create(id, "old.txt", true)));
                EXPECT_FALSE(send(other, server, d.create(id, "new.txt", false)));
                EXPECT_FALSE(send(server, third, d.answer(id, 0, StatusInvalidParameter)))
                    << "an answer to a third port takes no mark";
                for (bool denied : {deniedFirst, !deniedFirst}) {
                    EXPECT_EQ(send(server, denied ? client : other,
                                   d.answer(id, 9, denied ? StatusInvalidParameter : 0)),
                              denied);
                    EXPECT_EQ(status(), denied ? StatusAccessDenied : 0u);
                }

                // Two opens under the same ids: each connection's answer names its own file.
                uint64_t pair = nextId++;
                EXPECT_FALSE(send(client, server, d.create(pair, "one.txt", false)));
                EXPECT_FALSE(send(other, server, d.create(pair, "two.txt", false)));
                EXPECT_FALSE(send(server, third, d.answer(pair, 30, 0)));
                EXPECT_FALSE(HasOpen(d.fileKey(30))) << "an open nobody asked for on that port";
                for (bool mine : {deniedFirst, !deniedFirst}) {
                    EXPECT_FALSE(
                        send(server, mine ? client : other, d.answer(pair, mine ? 31 : 32, 0)));
                }
                Events();
                const struct {
                    const Endpoint& from;
                    uint16_t file;
                    const char* path;
                } opens[] = {{client, 31, "docs\\one.txt"}, {other, 32, "docs\\two.txt"}};
                for (const auto& open : opens) {
                    EXPECT_TRUE(send(open.from, server, d.removeOpen(nextId++, open.file)));
                    std::vector<FileEvent> events = Events();
                    ASSERT_EQ(events.size(), 1u);
                    EXPECT_EQ(EventPath(events[0]), open.path);
                }
            }
        }
    }
}

} // namespace
