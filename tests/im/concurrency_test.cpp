// Two bindings carry sends, receives, returns, send completions and requests on their own
// threads while the control device replaces the rules: run under ThreadSanitizer, with the
// model's ownership checks and the kernel-discipline checks on.
#include <atomic>
#include <thread>

#include "im_fixture.h"
#include "ntlm.h"
#include "policy_builders.h"
#include "smb_builders.h"

namespace {

const int Rounds = 150;
const NDIS_OID OidLinkSpeed = 0x00010107;

TEST_F(ImTest, ConcurrencyOfTheDataPathRequestsAndControl) {
    sim5::AdapterOptions first;
    sim5::AdapterOptions second;
    second.upperBindings = u"\\Device\\MerrowfaldineMp2";
    second.sendsPend = true;
    std::vector<sim5::Binding*> pair = {Bind(first), Bind(second)};
    Control(IOCTL_ENGINE_SET_INSPECTION, {1}, 4);
    Endpoint client = TestClient(10);
    Endpoint server = TestServer(445);
    // Login and tree connect on both bindings, then creates that the rules deny or not.
    std::vector<Bytes> requests;
    Bytes blob = SpnegoResponse(NtlmAuthenticate("alice", "TESTDOM", "WKS7"));
    requests.push_back(Smb2SessionSetupRequest({1, 0, 1}, blob));
    requests.push_back(Smb2TreeConnectRequest({1, 0, 2}, "\\\\FILESRV\\Docs"));
    for (uint64_t id = 3; id < 40; ++id) {
        Smb2CreateFields fields;
        fields.name = "f" + std::to_string(id) + ".txt";
        fields.shareAccess = id % 2 ? 4 : 7;
        requests.push_back(Smb2CreateRequest({1, 7, id}, fields));
    }
    for (Bytes& r : requests) {
        r = BuildTcpFrame(client, server, NetbiosWrap(r));
    }
    Bytes answer = BuildTcpFrame(server, client, NetbiosWrap(Smb2TreeConnectResponse({1, 7, 2})));

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (sim5::Binding* b : pair) {
        threads.emplace_back([&, b] { // sends from above
            for (int i = 0; i < Rounds; ++i) {
                b->Send({answer, requests[i % requests.size()]}, {{10, 30}}, i % 2 == 0);
            }
        });
        threads.emplace_back([&, b] { // receives from below, returns, send completions
            for (int i = 0; i < Rounds; ++i) {
                NDIS_STATUS status = i % 5 == 0 ? NDIS_STATUS_RESOURCES : NDIS_STATUS_SUCCESS;
                b->IndicatePacket(requests[i % requests.size()], {{20, 7}, i % 3 != 0}, status,
                                  uint32_t(i % 4));
                b->ReturnPackets(2, uint64_t(i + 1));
                b->CompleteSends(3, uint64_t(i + 1));
            }
        });
        threads.emplace_back([&, b] { // requests from above
            for (int i = 0; i < Rounds; ++i) {
                EXPECT_EQ(b->Query(OidLinkSpeed, 4).returned, NDIS_STATUS_PENDING);
            }
        });
    }
    std::thread control([&] {
        std::vector<AccessRule> rules = {Rule("docs", "alice", "11000000")};
        for (int i = 0; !stop.load(); ++i) {
            rules[0] = Rule("docs", "alice", i % 2 ? "11000000" : "10000000");
            Push(IOCTL_ENGINE_SET_RULES, rules);
            Control(IOCTL_ENGINE_READ_EVENTS, {}, FileEventRingSlots * sizeof(FileEvent));
        }
    });
    for (std::thread& t : threads) {
        t.join();
    }
    stop = true;
    control.join();

    for (sim5::Binding* b : pair) {
        b->CompleteSends();
        b->ReturnPackets();
        EXPECT_EQ(b->sendCompletions.size(), size_t(2 * Rounds));
        EXPECT_EQ(b->received.size(), size_t(Rounds));
        for (size_t i = 0; i < b->received.size(); ++i) {
            if (b->receivedCopy[i]) {
                EXPECT_TRUE(TcpChecksumValid(b->received[i]));
            }
        }
        EXPECT_EQ(b->HeldReceives(), 0u);
    }
    sim5::DriverObjects left = sim5::Outstanding();
    EXPECT_EQ(left.packets, 0);
    EXPECT_EQ(left.buffers, 0);
    EXPECT_EQ(left.memoryBlocks, 2); // the two bindings' records
}

} // namespace
