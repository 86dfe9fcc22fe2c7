// SMB messages wherever they lie in a TCP stream: cut at every byte, several in a segment,
// after the tail of a write, retransmitted, and after a lost segment.
#include <gtest/gtest.h>

#include <functional>

#include "smb_engine_fixture.h"

namespace {

const uint64_t Alice = 0x100000000001ull;
const uint32_t Docs = 7;
const uint16_t Alice1 = 0x801;
const uint16_t Docs1 = 0x31;
const uint32_t StatusInvalidParameter = 0xC000000D;
const uint32_t StatusAccessDenied = 0xC0000022;
const size_t Smb2Status = 8;
const size_t Smb1Status = 5;

class FramingTest : public SmbEngineTest {
  protected:
    void SetUp() override {
        SmbEngineTest::SetUp();
        Login2(Alice, "Alice");
        Connect2(Alice, Docs, "\\\\FILESRV\\Docs");
        Login1(Alice1, "Alice");
        Connect1(Alice1, Docs1, "\\\\FILESRV\\Docs");
        openFile = Open2(Alice, Docs, "plan.xlsx");
        openFid = Open1(Alice1, Docs1, "plan.xlsx");
        Rules({Rule("docs", "alice", "11111000")}); // deny delete, modify, rename, create
    }

    // A flow of its own from the client, its segments cut at `cuts` (offsets into `stream`)
    // with consecutive sequence numbers; returns the stream as the server receives it.
    Bytes SendCut(const Bytes& stream, std::vector<size_t> cuts) {
        Endpoint from = Channel(nextPort++);
        sentFrom = from;
        cuts.push_back(stream.size());
        Bytes received;
        size_t at = 0;
        for (size_t cut : cuts) {
            Bytes frame =
                BuildTcpFrame(from, server, Bytes(stream.begin() + at, stream.begin() + cut));
            Bytes before = frame;
            bool rewrote = InspectInbound(frame.data(), uint32_t(frame.size()), false);
            EXPECT_EQ(rewrote, frame != before);
            if (rewrote) {
                EXPECT_TRUE(TcpChecksumValid(frame));
            }
            received.insert(received.end(), frame.begin() + FramePayload, frame.end());
            at = cut;
        }
        return received;
    }

    Endpoint sentFrom; // the connection of the last SendCut: its answers go there

    // The status the client sees for an error answer of the server.
    uint32_t AnswerStatus2(const Bytes& request, uint32_t serverStatus) {
        Smb2Ids ids{Alice, Docs, ReadLe64(request, 4 + 24)};
        uint16_t command = ReadLe16(request, 4 + 12);
        ResponseTo(sentFrom, Smb2ErrorResponse(command, ids, serverStatus));
        return ReadLe32(LastSmb(), Smb2Status);
    }
    uint32_t AnswerStatus1(const Bytes& request, uint32_t serverStatus) {
        Smb1Ids ids{Alice1, Docs1, ReadLe16(request, 4 + 30)};
        ResponseTo(sentFrom, Smb1Reply(request[4 + 4], ids, serverStatus));
        return ReadLe32(LastSmb(), Smb1Status);
    }
    // An SMB2 CREATE that asks to delete the file when it is closed.
    Bytes DeleteOnClose(const std::string& name) {
        Smb2CreateFields f;
        f.name = name;
        f.desiredAccess = 0x00110080;
        f.createOptions = 0x1000;
        return Smb2CreateRequest({Alice, Docs, nextId++}, f);
    }
    static uint64_t ReadLe64(const Bytes& b, size_t at) {
        return uint64_t(ReadLe32(b, at)) | uint64_t(ReadLe32(b, at + 4)) << 32;
    }

    FileId openFile{};
    uint16_t openFid = 0;
    uint16_t nextPort = 40000;
};

bool HasStreamColon(const Bytes& b, size_t from, size_t to) {
    for (size_t i = from; i < to && i < b.size(); ++i) {
        if (b[i] == ':') {
            return true;
        }
    }
    return false;
}

// A denied request cut in two at every byte: the server gets it refused (the spoil of a
// whole message, or one in the bytes of the segment that completed the decision), and
// the client is told "access denied"; or nothing changed, no denial is left behind, and
// the event says the request was not prevented. That may happen only at the one cut that
// leaves less than one whole character of the name the decision reads to the last segment.
TEST_F(FramingTest, EveryCutOfADeniedRequestIsRefusedOrSaidNotPrevented) {
    std::string deep;
    for (int i = 0; i < 6; ++i) {
        deep += "folder" + std::to_string(i) + "\\";
    }
    struct Case {
        const char* what;
        std::function<Bytes()> request;
        bool smb1;
        uint8_t kind;
        // Whether the bytes the server receives are refused by it.
        std::function<bool(const Bytes& sent, const Bytes& original)> refused;
    };
    auto createRefused = [](const Bytes& s, const Bytes&) {
        return (ReadLe32(s, 4 + 64 + 40) & 0x41) == 0x41 || HasStreamColon(s, 4 + 120, s.size());
    };
    const Case cases[] = {
        {"SMB2 CREATE delete on close",
         [&] { return NetbiosWrap(DeleteOnClose(deep + "old.txt")); }, false, 1, createRefused},
        {"SMB2 CREATE with a name longer than a flow holds",
         [&] {
             return NetbiosWrap(
                 DeleteOnClose(deep + deep + deep + deep + std::string(1000, 'n') + ".txt"));
         },
         false, 1, createRefused},
        {"SMB2 SET_INFO delete on close",
         [&] {
             return NetbiosWrap(Smb2SetInfoDisposition({Alice, Docs, nextId++}, openFile));
         },
         false, 1,
         [](const Bytes& s, const Bytes&) {
             return ReadLe32(s, 4 + 64 + 4) == 0 || s[4 + ReadLe16(s, 4 + 64 + 8)] == 0;
         }},
        {"SMB2 SET_INFO rename",
         [&] {
             return NetbiosWrap(
                 Smb2SetInfoRename({Alice, Docs, nextId++}, openFile, deep + "new.xlsx"));
         },
         false, 3,
         [](const Bytes& s, const Bytes&) {
             size_t buffer = 4 + ReadLe16(s, 4 + 64 + 8);
             return ReadLe32(s, buffer + 16) == 0 || HasStreamColon(s, buffer + 20, s.size());
         }},
        {"SMB2 WRITE",
         [&] {
             return NetbiosWrap(Smb2WriteRequest({Alice, Docs, nextId++}, openFile, 64));
         },
         false, 2,
         [](const Bytes& s, const Bytes& o) {
             size_t id = 4 + 64 + 16;
             bool zero = ReadLe64(s, id) == 0 && ReadLe64(s, id + 8) == 0;
             return zero ||
                    (ReadLe32(s, id + 12) != ReadLe32(o, id + 12) && ReadLe32(s, id + 12) != 0);
         }},
        {"SMB1 NT_CREATE_ANDX delete on close",
         [&] {
             Smb1CreateFields f;
             f.name = deep + "old.txt";
             f.desiredAccess = 0x00110080;
             f.createOptions = 0x1000;
             return NetbiosWrap(Smb1NtCreateRequest({Alice1, Docs1, nextMid()}, f));
         },
         true, 1,
         [](const Bytes& s, const Bytes& o) {
             return ReadLe32(s, 4 + 33 + 39) != ReadLe32(o, 4 + 33 + 39) ||
                    HasStreamColon(s, 4 + 33, s.size());
         }},
        {"SMB1 DELETE",
         [&] {
             return NetbiosWrap(
                 Smb1PathRequest(0x06, {Alice1, Docs1, nextMid()}, {0x16}, deep + "old.txt"));
         },
         true, 1,
         [](const Bytes& s, const Bytes& o) {
             return HasStreamColon(s, 4 + 32, s.size()) || s != o; // ".." or a stream part
         }},
    };
    for (const Case& c : cases) {
        Bytes probe = c.request();
        size_t notPrevented = 0;
        for (size_t cut = 1; cut < probe.size(); ++cut) {
            SCOPED_TRACE(std::string(c.what) + " cut at " + std::to_string(cut));
            Bytes original = c.request();
            Bytes sent = SendCut(original, {cut});
            std::vector<FileEvent> events = Events();
            ASSERT_EQ(events.size(), 1u);
            EXPECT_EQ(events[0].Kind, c.kind);
            uint32_t seen = c.smb1 ? AnswerStatus1(original, StatusInvalidParameter)
                                   : AnswerStatus2(original, StatusInvalidParameter);
            if (events[0].Blocked) {
                EXPECT_NE(sent, original);
                EXPECT_TRUE(c.refused(sent, original));
                EXPECT_EQ(seen, StatusAccessDenied);
            } else {
                ++notPrevented;
                EXPECT_EQ(sent, original);
                EXPECT_EQ(seen, StatusInvalidParameter);
            }
        }
        EXPECT_LE(notPrevented, 1u) << c.what;
    }
}

// Messages wherever they begin: behind a keep-alive and an ECHO in one segment, after the
// tail of a write, in a compound behind a long write, retransmitted, and after a gap.
TEST_F(FramingTest, MessagesAreFoundWhereverTheyBegin) {
    auto echo = [this] {
        Smb2Fields fields;
        fields.command = 13;
        fields.messageId = nextId++;
        return NetbiosWrap(Smb2Message(fields, Smb2Body(4, 4)));
    };
    const Bytes keepAlive = {0x85, 0, 0, 0};

    // Three messages in one segment, the last one denied.
    Bytes ahead = Concat({keepAlive, echo()});
    Bytes sent = SendCut(Concat({ahead, NetbiosWrap(DeleteOnClose("a.txt"))}), {});
    EXPECT_EQ(ReadLe32(sent, ahead.size() + 4 + 64 + 40) & 0x41, 0x41u);
    ASSERT_EQ(Events().size(), 1u);

    // An SMB1 ECHO ahead of a DELETE.
    Bytes smb1Echo = NetbiosWrap(
        Smb1Message({0x2B, 0x18, 0xC807, 0, Docs1, 0, Alice1, nextMid()}, {1}, Bytes(4, 'e')));
    Bytes del = NetbiosWrap(Smb1PathRequest(0x06, {Alice1, Docs1, nextMid()}, {0x16}, "old.txt"));
    sent = SendCut(Concat({smb1Echo, del}), {});
    EXPECT_NE(Bytes(sent.begin() + smb1Echo.size(), sent.end()), del);
    ASSERT_EQ(Events().size(), 1u);

    // A write in three segments whose last one also carries a denied create, itself cut
    // in the middle of its name.
    Bytes write = NetbiosWrap(Smb2WriteRequest({Alice, Docs, nextId++}, FileId{1, 2}, 3000));
    Bytes create = NetbiosWrap(DeleteOnClose("docs-folder\\b.txt"));
    Bytes stream = Concat({write, create});
    sent = SendCut(stream, {1000, 2500, write.size() + 140});
    EXPECT_TRUE(HasStreamColon(sent, write.size() + 140, sent.size()));
    ASSERT_EQ(Events().size(), 1u);

    // A compound whose rename follows 4 KiB of written data.
    Bytes compound = NetbiosWrap(
        Smb2Compound({Smb2WriteRequest({Alice, Docs, nextId++}, openFile, 4096),
                      Smb2SetInfoRename({Alice, Docs, nextId++}, openFile, "renamed.xlsx")}));
    sent = SendCut(compound, {1448, 2896, 4344});
    std::vector<FileEvent> events = Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].Kind, 2);
    EXPECT_EQ(events[1].Kind, 3);
    EXPECT_TRUE(events[1].Blocked);
    EXPECT_NE(sent, compound);

    // A create narrowed under deny-create whose disposition went by in an earlier segment
    // is refused whole, and its refusal reaches the client as the denial it is.
    Rules({Rule("docs", "alice", "10001000")});
    Smb2CreateFields overwriteIf;
    overwriteIf.name = "new.txt";
    overwriteIf.createDisposition = 5;
    Smb2Ids narrowed{Alice, Docs, nextId++};
    Bytes narrowedCreate = NetbiosWrap(Smb2CreateRequest(narrowed, overwriteIf));
    sent = SendCut(narrowedCreate, {4 + 64 + 44});
    EXPECT_TRUE(HasStreamColon(sent, 4 + 120, sent.size()));
    EXPECT_EQ(AnswerStatus2(narrowedCreate, 0xC0000033), StatusAccessDenied);
    events = Events(); // the open for reading is reported too
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].Kind, 5);
    EXPECT_TRUE(events[1].Blocked);
    Rules({Rule("docs", "alice", "11111000")});

    // A retransmitted segment leaves as its first copy did, and is reported once.
    Endpoint from = Channel(nextPort++);
    Bytes spanning = NetbiosWrap(DeleteOnClose("c.txt"));
    size_t cut = spanning.size() - 6;
    TcpFrameOptions at;
    at.nextInStream = false;
    Bytes firstCopy, secondCopy;
    for (Bytes* copy : {&firstCopy, &secondCopy}) {
        at.sequence = 7000;
        Bytes head =
            BuildTcpFrame(from, server, Bytes(spanning.begin(), spanning.begin() + cut), at);
        if (copy == &firstCopy) {
            InspectInbound(head.data(), uint32_t(head.size()), false);
        }
        at.sequence = 7000 + uint32_t(cut);
        *copy = BuildTcpFrame(from, server, Bytes(spanning.begin() + cut, spanning.end()), at);
        InspectInbound(copy->data(), uint32_t(copy->size()), false);
    }
    EXPECT_EQ(firstCopy, secondCopy);
    EXPECT_NE(Bytes(firstCopy.begin() + FramePayload, firstCopy.end()),
              Bytes(spanning.begin() + cut, spanning.end()));
    ASSERT_EQ(Events().size(), 1u);

    // A lost segment: the next one starts in the middle of a message; the message after it
    // is found and decided.
    Bytes lost = NetbiosWrap(Smb2WriteRequest({Alice, Docs, nextId++}, openFile, 2000));
    Bytes after = NetbiosWrap(DeleteOnClose("d.txt"));
    from = Channel(nextPort++);
    at.sequence = 9000;
    Bytes head = BuildTcpFrame(from, server, Bytes(lost.begin(), lost.begin() + 1000), at);
    InspectInbound(head.data(), uint32_t(head.size()), false);
    Events();
    at.sequence = 9000 + 1500; // bytes 1000 to 1500 never seen
    Bytes tail = Concat({Bytes(lost.begin() + 1500, lost.end()), after});
    Bytes frame = BuildTcpFrame(from, server, tail, at);
    EXPECT_TRUE(InspectInbound(frame.data(), uint32_t(frame.size()), false));
    events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Kind, 1);
}

// Answers are framed too: a denial mark meets its answer behind another answer in the
// same segment, and when the answer spans segments.
TEST_F(FramingTest, AnswersAreFramedSoThatEveryMarkMeetsItsAnswer) {
    Smb2Ids first{Alice, Docs, nextId++};
    Smb2Ids denied{Alice, Docs, nextId++};
    ASSERT_TRUE(Request(Smb2SetInfoDisposition(denied, openFile)));
    Events();
    Bytes answers = Concat({NetbiosWrap(Smb2SimpleResponse(13, first)),
                            NetbiosWrap(Smb2ErrorResponse(17, denied, StatusInvalidParameter))});
    Endpoint to = client;
    Bytes frame = BuildTcpFrame(server, to, answers);
    ASSERT_TRUE(InspectOutbound(frame.data(), uint32_t(frame.size()), false));
    size_t second =
        FramePayload + answers.size() - NetbiosWrap(Smb2ErrorResponse(17, denied, 0)).size();
    EXPECT_EQ(ReadLe32(frame, second + 4 + Smb2Status), StatusAccessDenied);
}

} // namespace
