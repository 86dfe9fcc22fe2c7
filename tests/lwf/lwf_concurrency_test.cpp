// Under ThreadSanitizer: two modules, each with a thread sending, one indicating, one
// completing sends and one returning receives, while the control device pushes rules and
// lists modules. Whatever the interleaving, every frame leaves either as it came or
// rewritten with valid checksums, every NBL comes home intact (the model checks each),
// and at the end the maps are empty and nothing is left in any pool.
#include <atomic>
#include <thread>

#include "lwf_fixture.h"

namespace {

class LwfConcurrency : public LwfTest {};

TEST_F(LwfConcurrency, SendReceiveCompleteReturnAndControlOnTwoModules) {
    const int Chains = 150;
    SimModuleOptions options;
    SimModule* modules[2] = {Attach(u"{first}", options), Attach(u"{second}", options)};
    GuardDocs(modules[0]);
    std::atomic<int> running{0};
    std::atomic<int> badFrames{0};

    auto sender = [&](SimModule* module, bool inbound, uint64_t firstId) {
        std::vector<SimChain*> out;
        for (int i = 0; i < Chains; ++i) {
            uint64_t id = firstId + uint64_t(i);
            std::vector<Bytes> frames = inbound
                                            ? std::vector<Bytes>{DeleteOpen(id), Unrelated(7)}
                                            : std::vector<Bytes>{CreateFailed(id), Unrelated(8)};
            SimFrameLayout cut{{17}, 5, 2, 0, i % 2 == 0, false};
            std::vector<SimNblSpec> nbls = {{Whole(frames[0], cut)}, {Whole(frames[1])}};
            SimChain* chain = inbound ? SimNdis6PrepareReceives(module, nbls)
                                      : SimNdis6PrepareSends(module, nbls);
            uint32_t flags = uint32_t(i % 2);
            if (inbound) {
                SimNdis6Indicate(module, chain,
                                 flags | (i % 5 == 0 ? NDIS_RECEIVE_FLAGS_RESOURCES : 0));
            } else {
                SimNdis6Send(module, chain, flags);
            }
            out.push_back(chain);
        }
        for (SimChain* chain : out) {
            while (!SimNdis6ChainHome(chain)) {
                std::this_thread::yield();
            }
            SimNdis6ReleaseChain(chain);
        }
        --running;
    };
    auto finisher = [&](SimModule* module, bool sends) {
        while (running.load() != 0) {
            if ((sends ? SimNdis6CompleteSends(module, 3, 1)
                       : SimNdis6ReturnReceives(module, 3, 0)) == 0) {
                std::this_thread::yield();
            }
        }
    };
    auto control = [&] {
        std::vector<AccessRule> deny{Rule("docs", "alice", "11000000")};
        std::vector<AccessRule> allow{Rule("docs", "alice", "10000000")};
        for (int i = 0; running.load() != 0 || i < 10; ++i) {
            Push(IOCTL_ENGINE_SET_RULES, i % 2 == 0 ? allow : deny);
            std::vector<uint8_t> buffer(128);
            ControlStatusBlock b = Ioctl(IOCTL_HOST_LIST_MODULES, buffer, 0, 128);
            if (b.status != 0 || b.information != (2 + 14) + (2 + 16)) {
                ++badFrames;
            }
            Events();
        }
    };

    std::vector<std::thread> threads;
    running = 4; // senders still at work
    for (int m = 0; m < 2; ++m) {
        threads.emplace_back(sender, modules[m], true, 1000000u * (m + 1));
        threads.emplace_back(sender, modules[m], false, 1000000u * (m + 1));
        threads.emplace_back(finisher, modules[m], true);
        threads.emplace_back(finisher, modules[m], false);
    }
    threads.emplace_back(control);
    for (std::thread& t : threads) {
        t.join();
    }
    for (SimModule* module : modules) {
        while (SimNdis6CompleteSends(module, 16, 0) + SimNdis6ReturnReceives(module, 16, 0) != 0) {
        }
        EXPECT_EQ(SimNdis6Outstanding(module), 0u);
        std::vector<Bytes> left = SimNdis6TakeIndicated(module);
        std::vector<Bytes> sent = SimNdis6TakeTransmitted(module);
        left.insert(left.end(), sent.begin(), sent.end());
        EXPECT_EQ(left.size(), 4u * Chains);
        for (const Bytes& frame : left) {
            if (!Ipv4ChecksumValid(frame) || !TcpChecksumValid(frame)) {
                ++badFrames;
            }
        }
    }
    EXPECT_EQ(badFrames.load(), 0);
    EXPECT_EQ(KeyedTableCount(SendBufferMap, false) + KeyedTableCount(ReceiveBufferMap, false), 0u);
}

} // namespace
