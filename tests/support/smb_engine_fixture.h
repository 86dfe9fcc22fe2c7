// An engine test that plays a client and a server: requests go through InspectInbound,
// responses through InspectOutbound, in real frames.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "client_address.h"
#include "engine_fixture.h"
#include "frames.h"
#include "inspect.h"
#include "ntlm.h"
#include "policy.h"
#include "policy_builders.h"
#include "report_rings.h"
#include "session_state.h"
#include "smb_builders.h"
#include "smb_dispatch.h"

// Offset of the SMB header in a frame built with default options.
const size_t FrameSmbHeader = FramePayload + 4;

class SmbEngineTest : public EngineTest {
  protected:
    Endpoint client = TestClient(10);
    Endpoint server = TestServer(445);
    Bytes lastFrame;
    bool ipv6 = false; // frames travel over IPv6 (ToIpv6Frame) rather than IPv4

    Bytes Frame(const Endpoint& from, const Endpoint& to, const Bytes& smb) const {
        Bytes frame = BuildTcpFrame(from, to, NetbiosWrap(smb));
        return ipv6 ? ToIpv6Frame(frame) : frame;
    }

    // Sends one SMB message (or compound chain) from the client; true when rewritten.
    bool Request(const Bytes& smb) {
        lastFrame = Frame(client, server, smb);
        Bytes before = lastFrame;
        bool rewrote = InspectInbound(lastFrame.data(), uint32_t(lastFrame.size()), false);
        CheckFrameAfter(before, rewrote);
        return rewrote;
    }
    bool Response(const Bytes& smb) { return ResponseTo(client, smb); }
    // An answer to the client's connection from port `to`.
    bool ResponseTo(const Endpoint& to, const Bytes& smb) {
        lastFrame = Frame(server, to, smb);
        Bytes before = lastFrame;
        bool rewrote = InspectOutbound(lastFrame.data(), uint32_t(lastFrame.size()), false);
        CheckFrameAfter(before, rewrote);
        return rewrote;
    }
    // The SMB message of the last frame, as the engine left it.
    Bytes LastSmb() const {
        size_t at = FrameSmbHeader + (ipv6 ? Ipv6ExtraBytes : 0);
        return Bytes(lastFrame.begin() + at, lastFrame.end());
    }

    // The key under which the engine keeps what the last request left for its answer.
    TableKey LastRequestKey(SmbDialect dialect) {
        FrameView view{};
        ParseEthernet(lastFrame.data(), uint32_t(lastFrame.size()), &view);
        size_t header = FrameSmbHeader + (ipv6 ? Ipv6ExtraBytes : 0);
        return RequestKeyOf(dialect, lastFrame.data() + header, ConnectionOf(&view, true));
    }

    void Rules(const std::vector<AccessRule>& rules) {
        ASSERT_EQ(ReplaceAccessRules(rules.data(), uint32_t(rules.size())), PolicyResultOk);
    }
    std::vector<FileEvent> Events() {
        std::vector<FileEvent> events(FileEventRingSlots);
        events.resize(DrainFileEventRing(false, events.data()) / sizeof(FileEvent));
        return events;
    }
    std::vector<LearnedGrant> Grants() {
        std::vector<LearnedGrant> grants(LearnedGrantRingSlots);
        grants.resize(DrainLearnedGrantRing(false, grants.data()) / sizeof(LearnedGrant));
        return grants;
    }
    static std::string EventPath(const FileEvent& e) {
        Utf16Unit units[515];
        std::memcpy(units, e.Path, sizeof units);
        return Ascii(units, 515);
    }

    // SMB2: NTLM login, tree connect, open.
    void Login2(uint64_t session, const std::string& user,
                const std::string& workstation = "WKS7") {
        Bytes blob = SpnegoResponse(NtlmAuthenticate(user, "TESTDOM", workstation));
        Smb2Ids ids{session, 0, nextId++};
        EXPECT_FALSE(Request(Smb2SessionSetupRequest(ids, blob)));
        EXPECT_FALSE(Response(Smb2SessionSetupResponse(ids, 0)));
        loggedOn.push_back(session);
    }
    void Connect2(uint64_t session, uint32_t tree, const std::string& unc) {
        Smb2Ids ids{session, 0, nextId++};
        EXPECT_FALSE(Request(Smb2TreeConnectRequest(ids, unc)));
        ids.tree = tree;
        EXPECT_FALSE(Response(Smb2TreeConnectResponse(ids)));
    }
    FileId Open2(uint64_t session, uint32_t tree, const std::string& name) {
        FileId file{nextId * 1000 + 1, nextId * 1000 + 2};
        Smb2Ids ids{session, tree, nextId++};
        Smb2CreateFields fields;
        fields.name = name;
        EXPECT_FALSE(Request(Smb2CreateRequest(ids, fields)));
        EXPECT_FALSE(Response(Smb2CreateResponse(ids, file)));
        return file;
    }

    // SMB1: the same steps.
    void Login1(uint16_t uid, const std::string& user) {
        Bytes blob = SpnegoResponse(NtlmAuthenticate(user, "TESTDOM", "WKS7"));
        Smb1Ids ids{uid, 0, nextMid()};
        EXPECT_FALSE(Request(Smb1SessionSetupRequest(ids, blob)));
        EXPECT_FALSE(Response(Smb1Reply(0x73, ids, 0)));
        loggedOn.push_back(uid);
    }
    void Connect1(uint16_t uid, uint16_t tid, const std::string& unc) {
        Smb1Ids ids{uid, 0, nextMid()};
        EXPECT_FALSE(Request(Smb1TreeConnectRequest(ids, unc)));
        ids.tid = tid;
        EXPECT_FALSE(Response(Smb1Reply(0x75, ids, 0)));
    }
    uint16_t Open1(uint16_t uid, uint16_t tid, const std::string& name) {
        uint16_t fid = uint16_t(0x4000 + nextId);
        Smb1Ids ids{uid, tid, nextMid()};
        Smb1CreateFields fields;
        fields.name = name;
        EXPECT_FALSE(Request(Smb1NtCreateRequest(ids, fields)));
        EXPECT_FALSE(Response(Smb1NtCreateReply(ids, fid)));
        return fid;
    }
    uint16_t nextMid() { return uint16_t(nextId++); }

    // The client on a connection of its own (another source port) on which the server
    // has bound every session logged on so far, as SMB 3 multichannel binds one.
    Endpoint Channel(uint16_t port) {
        Endpoint from = TestClient(client.ip[3], port);
        // An IPv6 client's connections are named by their ports alone (its IPv4 word is 0).
        uint32_t address = ipv6 ? 0
                                : uint32_t(from.ip[0]) | uint32_t(from.ip[1]) << 8 |
                                      uint32_t(from.ip[2]) << 16 | uint32_t(from.ip[3]) << 24;
        for (uint64_t session : loggedOn) {
            EXPECT_TRUE(
                BindSessionChannel(false, session, address, uint32_t(port) << 16 | server.port));
        }
        return from;
    }
    std::vector<uint64_t> loggedOn;

    uint64_t nextId = 100;

  private:
    // A rewritten frame has valid checksums; one that was not rewritten is untouched.
    void CheckFrameAfter(const Bytes& before, bool rewrote) {
        if (rewrote) {
            EXPECT_TRUE(Ipv4ChecksumValid(lastFrame));
            EXPECT_TRUE(TcpChecksumValid(lastFrame));
            EXPECT_NE(lastFrame, before);
        } else {
            EXPECT_EQ(lastFrame, before);
        }
    }
};
