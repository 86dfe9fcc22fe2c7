// The data path on the model: only rewritten NET_BUFFERs are replaced, each at its own
// place; every owner gets back exactly what it passed in (the model checks each NBL on its
// way home); frames that cannot be read pass uninspected; a rewrite that cannot travel
// leaves no denial behind.
#include "lwf_fixture.h"

namespace {

uint32_t MapEntries() {
    return KeyedTableCount(SendBufferMap, false) + KeyedTableCount(ReceiveBufferMap, false);
}

class LwfDataPath : public LwfTest {
  protected:
    void SetUp() override {
        LwfTest::SetUp();
        SimModuleOptions options;
        options.seed = 11;
        module = Attach(u"{m}", options);
        GuardDocs(module);
    }
    SimModule* module = nullptr;
};

TEST_F(LwfDataPath, OnlyRewrittenNetBuffersAreReplacedAtTheirPlaceAndAllComeBack) {
    SimFrameLayout cut{{20, 40}, 6, 3, 0, true, false};
    for (uint32_t flags : {0u, 1u}) {
        uint64_t first = nextId++, second = nextId++;
        // NBL 1: plain, delete, plain; NBL 2: plain; NBL 3: delete, plain.
        std::vector<Bytes> in = {Unrelated(1), DeleteOpen(first),  Unrelated(2),
                                 Unrelated(3), DeleteOpen(second), Unrelated(4)};
        std::vector<Bytes> up = Receive(module,
                                        {{Whole(in[0]), Whole(in[1], cut), Whole(in[2])},
                                         {Whole(in[3], cut)},
                                         {Whole(in[4]), Whole(in[5], cut)}},
                                        flags);
        ASSERT_EQ(up.size(), in.size());
        for (size_t i = 0; i < in.size(); ++i) {
            bool deleted = i == 1 || i == 4;
            EXPECT_EQ(up[i] != in[i], deleted) << "frame " << i << " flags " << flags;
            EXPECT_EQ(up[i].size(), in[i].size());
            if (deleted) {
                EXPECT_TRUE(Ipv4ChecksumValid(up[i]) && TcpChecksumValid(up[i]));
            }
        }
        EXPECT_EQ(Events().size(), 2u);
        EXPECT_EQ(MapEntries(), 0u);

        std::vector<Bytes> out = {CreateFailed(first), Unrelated(5), CreateFailed(second)};
        std::vector<Bytes> down =
            Send(module, {{Whole(out[0], cut), Whole(out[1])}, {Whole(out[2])}}, flags);
        ASSERT_EQ(down.size(), out.size());
        EXPECT_EQ(StatusOf(down[0]), StatusAccessDenied);
        EXPECT_EQ(down[1], out[1]);
        EXPECT_EQ(StatusOf(down[2]), StatusAccessDenied);
        EXPECT_EQ(MapEntries(), 0u);
    }
    // With RESOURCES the own NET_BUFFERs are back before the receive handler returns.
    SimChain* chain = SimNdis6PrepareReceives(module, {{Whole(DeleteOpen(nextId++))}});
    SimNdis6Indicate(module, chain,
                     NDIS_RECEIVE_FLAGS_RESOURCES | NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL);
    EXPECT_TRUE(SimNdis6ChainHome(chain));
    EXPECT_EQ(MapEntries(), 0u);
    SimNdis6ReleaseChain(chain);
    EXPECT_NE(SimNdis6TakeIndicated(module)[0], DeleteOpen(nextId - 1)) << "travelled rewritten";
}

// How a NET_BUFFER's data lies in its MDLs decides only whether the engine can see it.
TEST_F(LwfDataPath, FramesAreReadFromCurrentMdlOffsetAcrossMdlsOrNotAtAll) {
    struct Case {
        const char* name;
        SimFrameLayout layout;
        bool empty;
        bool inspected;
    };
    const Case cases[] = {
        {"one MDL", {}, false, true},
        {"three MDLs, data from the middle of the first",
         {{7, 50}, 9, 13, 0, true, false},
         false,
         true},
        {"MDLs mapped on demand", {{30, 30}, 4, 0, 0, false, false}, false, true},
        {"CurrentMdl past a consumed MDL at the head of MdlChain",
         {{20}, 5, 0, 0, true, false, 24},
         false,
         true},
        {"MDL chain shorter than DataLength", {{30}, 0, 0, 12, true, false}, false, false},
        {"MDLs that cannot be mapped", {{30}, 0, 0, 0, false, true}, false, false},
        {"DataLength 0", {}, true, false},
    };
    for (const Case& c : cases) {
        Bytes frame = c.empty ? Bytes() : DeleteOpen(nextId++);
        std::vector<Bytes> up = Receive(module, {{Whole(frame, c.layout)}});
        ASSERT_EQ(up.size(), 1u) << c.name;
        size_t events = Events().size();
        EXPECT_EQ(events, c.inspected ? 1u : 0u) << c.name;
        if (c.layout.missing == 0 && !c.layout.unmappable) {
            EXPECT_EQ(up[0] != frame, c.inspected) << c.name;
        }
        EXPECT_EQ(MapEntries(), 0u) << c.name;
    }
}

// Memory running out at each allocation of one rewritten frame's way (its copy, the
// engine's records, the replacement's memory, MDL and NET_BUFFER, the map entry): the
// frame travels rewritten or with its own bytes, nothing leaks, and an answer to a request
// that reached the server with its own bytes is never turned into "access denied". (A
// spoiled request is refused by the server either way; its answer carries the denial
// unless the engine itself had no memory to mark it.)
TEST_F(LwfDataPath, MemoryShortAtEachStepLeavesTheDenialOnlyWithTheRewrite) {
    int lost = 0, kept = 0, denials = 0;
    for (uint64_t n = 1; n <= 24; ++n) {
        uint64_t id = nextId++;
        Bytes request = DeleteOpen(id);
        SimChain* chain = SimNdis6PrepareReceives(module, {{Whole(request)}});
        // Without kept nodes every step allocates anew, so each allocation fails once.
        EngineDropSpares();
        KeyedTableDropSpares(SendBufferMap);
        KeyedTableDropSpares(ReceiveBufferMap);
        SimPoolFailAllocation(n);
        SimNdis6Indicate(module, chain, 0);
        SimPoolFailAllocation(0);
        while (SimNdis6ReturnReceives(module, 1, 0) != 0) {
        }
        SimNdis6ReleaseChain(chain);
        Bytes up = SimNdis6TakeIndicated(module)[0];
        bool spoiled = up != request;
        bool decided = !Events().empty();
        lost += decided && !spoiled;
        kept += spoiled;
        EXPECT_EQ(MapEntries(), 0u) << n;
        EXPECT_EQ(SimPoolUsageForTag(FrameCopyTag).blocks +
                      SimPoolUsageForTag(SimNdisMdlTag).blocks +
                      SimPoolUsageForTag(SimNdisNbTag).blocks,
                  0u)
            << n;
        Bytes answer = Response(module, Smb2ErrorResponse(5, {Alice, Docs, id}, 0xC0000033));
        bool denied = StatusOf(answer) == StatusAccessDenied;
        EXPECT_FALSE(denied && !spoiled) << "allocation " << n;
        denials += denied;
    }
    EXPECT_EQ(lost, 4) << "replacement memory, MDL, NET_BUFFER and map entry";
    EXPECT_GT(kept, 0);
    EXPECT_GT(denials, 0);
}

} // namespace
