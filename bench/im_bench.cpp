// Packets per second through the NDIS 5 intermediate driver on its model: sends through
// MiniportSendPackets, receives through ProtocolReceivePacket (returned in batches), for
// 64- and 1514-byte frames to or from the SMB port and to another port, beside the engine
// alone on the same frames. Not a test: run with `make bench`; figures in bench/README.md.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "control_codes.h"
#include "frames.h"
#include "inspect.h"
#include "ndis5_sim.h"
#include "sim.h"
#include "smb_builders.h"

namespace {

const uint32_t ReturnBatch = 16;

struct Driver {
    Driver() {
        sim5::LoadDriver();
        NDIS_STATUS status;
        binding = sim5::Bind(sim5::AdapterOptions{}, &status);
        std::vector<uint8_t> on = {1};
        sim5::DeviceControlResult result;
        sim5::DeviceControl(IOCTL_ENGINE_SET_INSPECTION, on, 1, 4, &result);
    }
    sim5::Binding* binding = nullptr;
};

sim5::Binding* TheBinding() {
    static Driver driver;
    return driver.binding;
}

// A frame of `size` bytes; SMB: an SMB2 WRITE to port 445 (or its answer from it).
Bytes Frame(size_t size, bool smb, bool toServer) {
    Endpoint client = TestClient(10);
    Endpoint server = TestServer(smb ? 445 : 443);
    size_t payload = size - FramePayload;
    Bytes body;
    if (smb) {
        body = NetbiosWrap(Smb2WriteRequest({1, 7, 9}, FileId{1, 2}, 16));
    }
    body.resize(payload, 0x5A);
    return toServer ? BuildTcpFrame(client, server, body) : BuildTcpFrame(server, client, body);
}

void Send(benchmark::State& state) {
    sim5::Binding* b = TheBinding();
    std::vector<Bytes> frames = {Frame(size_t(state.range(0)), state.range(1) != 0, false)};
    sim5::Chain chain{{14, 40}};
    for (auto _ : state) {
        b->Send(frames, chain, true);
        b->sent.clear();
        b->sendCompletions.clear();
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}

void Receive(benchmark::State& state) {
    sim5::Binding* b = TheBinding();
    Bytes frame = Frame(size_t(state.range(0)), state.range(1) != 0, true);
    sim5::Chain chain{{14, 40}};
    uint32_t n = 0;
    for (auto _ : state) {
        b->IndicatePacket(frame, chain);
        if (++n % ReturnBatch == 0) {
            b->ReturnPackets();
            b->received.clear();
            b->receivedCopy.clear();
            b->receivedStatus.clear();
            b->receivedHeaderSize.clear();
        }
    }
    b->ReturnPackets();
    state.SetItemsProcessed(int64_t(state.iterations()));
}

// The engine alone on the same frames: one copy and the inspection, as a host does.
void EngineOnly(benchmark::State& state) {
    TheBinding();
    bool inbound = state.range(2) != 0;
    Bytes frame = Frame(size_t(state.range(0)), state.range(1) != 0, inbound);
    Bytes copy(frame.size());
    SimRaiseIrql(KmDispatchLevel);
    for (auto _ : state) {
        std::memcpy(copy.data(), frame.data(), frame.size());
        bool rewritten = inbound ? InspectInbound(copy.data(), uint32_t(copy.size()), true)
                                 : InspectOutbound(copy.data(), uint32_t(copy.size()), true);
        benchmark::DoNotOptimize(rewritten);
    }
    SimLowerIrql(KmPassiveLevel);
    state.SetItemsProcessed(int64_t(state.iterations()));
}

// Arguments: frame size, SMB (1) or not (0).
void Sizes(benchmark::internal::Benchmark* b) {
    for (int64_t size : {64, 1514}) {
        for (int64_t smb : {1, 0}) {
            b->Args({size, smb});
        }
    }
}
void SizesBothWays(benchmark::internal::Benchmark* b) {
    for (int64_t size : {64, 1514}) {
        for (int64_t smb : {1, 0}) {
            for (int64_t inbound : {0, 1}) {
                b->Args({size, smb, inbound});
            }
        }
    }
}

BENCHMARK(Send)->Apply(Sizes)->ArgNames({"bytes", "smb"});
BENCHMARK(Receive)->Apply(Sizes)->ArgNames({"bytes", "smb"});
BENCHMARK(EngineOnly)->Apply(SizesBothWays)->ArgNames({"bytes", "smb", "inbound"});

} // namespace

BENCHMARK_MAIN();
