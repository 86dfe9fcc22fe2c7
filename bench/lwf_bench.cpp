// Frames per second through the NDIS 6 filter on the NDIS 6 model, each beside the engine
// alone on the same frames. Not a test: run with `make bench`; figures go to
// bench/README.md. The model completes every send and returns every indication inside the
// call and checks NBL identity on the way back (no byte digests, no recording), so what
// the ratio shows is the host: one pool copy per frame, the NBL walk, and the model's
// NDIS calls.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "control_codes.h"
#include "filter.h"
#include "frames.h"
#include "inspect.h"
#include "ndis6_sim.h"
#include "sim.h"
#include "smb_builders.h"

namespace {

enum FrameKind { NonSmb64, NonSmb1514, Smb64, Smb1514 };
const char* const KindNames[] = {"non-SMB 64", "non-SMB 1514", "SMB 64", "SMB 1514"};

Bytes MakeFrame(int kind) {
    Endpoint client = TestClient(10);
    Endpoint web = TestServer(443);
    Endpoint smb = TestServer(445);
    switch (kind) {
    case NonSmb64:
        return BuildTcpFrame(client, web, Bytes(10, 0x5A));
    case NonSmb1514:
        return BuildTcpFrame(client, web, Bytes(1460, 0x5A));
    case Smb64:
        return BuildTcpFrame(client, smb, Bytes(10, 0x5A)); // a segment inside an SMB message
    default: {
        Smb2Fields fields;
        fields.command = 8; // READ: counted and dispatched, nothing to decide
        fields.sessionId = 0x1000;
        fields.messageId = 9;
        Bytes message = Smb2Message(fields, Smb2Body(49, 1460 - 4 - 64));
        return BuildTcpFrame(client, smb, NetbiosWrap(message));
    }
    }
}

SimModule* Module() {
    static SimModule* module = [] {
        SimSetMisuseMode(SimMisuseMode::Abort);
        if (SimNdis6LoadDriver(DriverEntry) != 0) {
            return static_cast<SimModule*>(nullptr);
        }
        SimModuleOptions options;
        options.completeAtOnce = true;
        options.returnAtOnce = true;
        options.checkBytes = false;
        options.record = false;
        NDIS_STATUS status;
        SimModule* m = SimNdis6Attach(SimAdapter{u"{bench}", u"Bench", u"\\DEVICE\\{bench}"},
                                      options, &status);
        SimNdis6Restart(m, true, nullptr);
        uint8_t on[4] = {1};
        KmIrp irp = SimMakeRequest(KmIrpMjDeviceControl, IOCTL_ENGINE_SET_INSPECTION, on, 1, 4);
        SimNdis6DeviceRequest(&irp);
        return m;
    }();
    return module;
}

// Args: 0 send / 1 receive, NBLs per chain, frame kind.
void Host(benchmark::State& state) {
    bool receive = state.range(0) == 1;
    size_t chainLength = size_t(state.range(1));
    Bytes frame = MakeFrame(int(state.range(2)));
    SimModule* module = Module();
    std::vector<SimNblSpec> nbls(chainLength, SimNblSpec{SimFrame{frame, {}}});
    SimChain* chain =
        receive ? SimNdis6PrepareReceives(module, nbls) : SimNdis6PrepareSends(module, nbls);
    for (auto _ : state) {
        if (receive) {
            SimNdis6Indicate(module, chain, NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL);
        } else {
            SimNdis6Send(module, chain, NDIS_SEND_FLAGS_DISPATCH_LEVEL);
        }
    }
    if (!SimNdis6ChainHome(chain)) {
        state.SkipWithError("a chain did not come back");
    }
    SimNdis6ReleaseChain(chain);
    state.SetItemsProcessed(int64_t(state.iterations() * chainLength));
    state.SetLabel(std::string(receive ? "receive " : "send ") + KindNames[state.range(2)]);
}

// The engine alone on the same frames: each copied into a buffer and inspected at
// DISPATCH_LEVEL, as the host hands it over.
void EngineAlone(benchmark::State& state) {
    bool receive = state.range(0) == 1;
    size_t chainLength = size_t(state.range(1));
    Bytes frame = MakeFrame(int(state.range(2)));
    Module(); // the same engine state
    Bytes copy(frame.size());
    SimRaiseIrql(KmDispatchLevel);
    for (auto _ : state) {
        for (size_t i = 0; i < chainLength; ++i) {
            std::memcpy(copy.data(), frame.data(), frame.size());
            benchmark::DoNotOptimize(
                receive ? InspectInbound(copy.data(), uint32_t(copy.size()), true)
                        : InspectOutbound(copy.data(), uint32_t(copy.size()), true));
        }
    }
    SimLowerIrql(KmPassiveLevel);
    state.SetItemsProcessed(int64_t(state.iterations() * chainLength));
    state.SetLabel(std::string(receive ? "receive " : "send ") + KindNames[state.range(2)]);
}

void Grid(benchmark::internal::Benchmark* b) {
    for (int direction : {0, 1}) {
        for (int chain : {1, 16}) {
            for (int kind : {NonSmb64, NonSmb1514, Smb64, Smb1514}) {
                b->Args({direction, chain, kind});
            }
        }
    }
}
BENCHMARK(Host)->Apply(Grid);
BENCHMARK(EngineAlone)->Apply(Grid);

} // namespace

BENCHMARK_MAIN();
