// Costs of the engine's hot paths. Not a test: run with `make bench`; figures go to
// bench/README.md.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "capture.h"
#include "control_device.h"
#include "engine_state.h"
#include "frames.h"
#include "inspect.h"
#include "keyed_table.h"
#include "policy.h"
#include "policy_builders.h"
#include "replay_engine.h"
#include "pool.h"
#include "session_state.h"
#include "sim.h"
#include "smb_builders.h"

namespace {

// ---- Keyed table ----

void KeyedTableInsertN(benchmark::State& state) {
    const uint32_t n = uint32_t(state.range(0));
    uint8_t value[16] = {};
    for (auto _ : state) {
        state.PauseTiming();
        KeyedTable* table = CreateKeyedTable();
        state.ResumeTiming();
        for (uint32_t i = 0; i < n; ++i) {
            KeyedTableInsert(table, false, MakeTableKey(i * 2654435761u, i), value, 16);
        }
        state.PauseTiming();
        if (n == 1000000) {
            SimPoolUsage usage = SimPoolUsageForTag(EnginePoolTag);
            state.counters["pool_bytes_per_entry"] = double(usage.bytes) / n;
        }
        DestroyKeyedTable(table, false);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * n);
}

struct FilledTable {
    explicit FilledTable(uint32_t n) : table(CreateKeyedTable()), count(n) {
        uint8_t value[16] = {};
        for (uint32_t i = 0; i < n; ++i) {
            KeyedTableInsert(table, false, MakeTableKey(i * 2654435761u, i), value, 16);
        }
    }
    ~FilledTable() { DestroyKeyedTable(table, false); }
    KeyedTable* table;
    uint32_t count;
};

void KeyedTableLookupN(benchmark::State& state) {
    FilledTable filled(uint32_t(state.range(0)));
    uint8_t out[16];
    uint32_t i = 0;
    for (auto _ : state) {
        uint32_t length = sizeof out;
        uint32_t k = i++ % filled.count;
        benchmark::DoNotOptimize(
            KeyedTableLookup(filled.table, false, MakeTableKey(k * 2654435761u, k), out, &length));
    }
}

void KeyedTableDeleteInsertN(benchmark::State& state) {
    FilledTable filled(uint32_t(state.range(0)));
    uint8_t value[16] = {};
    uint32_t i = 0;
    for (auto _ : state) {
        uint32_t k = i++ % filled.count;
        TableKey key = MakeTableKey(k * 2654435761u, k);
        KeyedTableDelete(filled.table, false, key);
        KeyedTableInsert(filled.table, false, key, value, 16); // keeps the size steady
    }
}

// ---- Frames through the entry ----

struct StartedEngine {
    StartedEngine() {
        EngineStart();
        // The service pushes its settings first; these have every list empty.
        std::vector<uint8_t> settings(sizeof(EngineSettings) + 4);
        ControlStatusBlock status;
        EngineDeviceControl(settings.data(), sizeof(EngineSettings), 4, IOCTL_ENGINE_SET_SETTINGS,
                            &status);
        SetInspectionEnabled(true);
    }
    ~StartedEngine() { EngineStop(); }
};

void InspectNonSmbFrame(benchmark::State& state) {
    StartedEngine engine;
    Bytes frame = BuildTcpFrame(TestClient(), TestServer(443), Bytes(1400, 0x17));
    for (auto _ : state) {
        benchmark::DoNotOptimize(InspectInbound(frame.data(), uint32_t(frame.size()), true));
    }
}

void InspectSmbDataSegment(benchmark::State& state) {
    StartedEngine engine;
    // The middle of a large WRITE: counted, but no SMB header in it.
    Bytes frame = BuildTcpFrame(TestClient(), TestServer(445), Bytes(1448, 0x61));
    for (auto _ : state) {
        benchmark::DoNotOptimize(InspectInbound(frame.data(), uint32_t(frame.size()), true));
    }
}

// ---- Decisions ----

const uint64_t BenchSession = 0x4242;
const uint32_t BenchTree = 3;

void AddSessions(uint32_t sessions) {
    for (uint32_t s = 0; s < sessions; ++s) {
        SessionUser user{};
        SetField(user.UserName, NameUnits, "user" + std::to_string(s));
        StoreSessionUser(false, 0x100000 + s, &user);
    }
    SessionUser alice{};
    SetField(alice.UserName, NameUnits, "alice");
    StoreSessionUser(false, BenchSession, &alice);
    TreeRecord tree{};
    SetField(tree.ShareName, SharePathUnits, "docs");
    KeyedTableInsert(g_Engine.TreeTable, false, TreeKey(BenchSession, BenchTree), &tree,
                     sizeof tree);
}

void SetRulesForBench(uint32_t count) {
    std::vector<AccessRule> rules;
    for (uint32_t r = 0; r + 1 < count; ++r) {
        rules.push_back(Rule("share" + std::to_string(r) + "\\projects", "user" + std::to_string(r),
                             "11000000"));
    }
    rules.push_back(Rule("docs", "alice", "10000000")); // the one that matches, reported
    ReplaceAccessRules(rules.data(), uint32_t(rules.size()));
}

void DecideCreate(benchmark::State& state) {
    StartedEngine engine;
    AddSessions(10000);
    SetRulesForBench(uint32_t(state.range(0)));
    Smb2CreateFields fields;
    fields.name = "finance\\2026\\plan.xlsx";
    fields.desiredAccess = 0x80; // decided, allowed, no event
    Bytes frame =
        BuildTcpFrame(TestClient(), TestServer(),
                      NetbiosWrap(Smb2CreateRequest({BenchSession, BenchTree, 1}, fields)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(InspectInbound(frame.data(), uint32_t(frame.size()), true));
        KeyedTableDelete(g_Engine.Smb2.PendingCreates, true, TableKey{1, BenchSession});
    }
}

void DecideWriteAmongOpenFiles(benchmark::State& state) {
    StartedEngine engine;
    AddSessions(10000);
    SetRulesForBench(100);
    const uint32_t files = uint32_t(state.range(0));
    std::vector<Utf16Unit> name = U16("finance\\report.xlsx");
    for (uint32_t f = 0; f < files; ++f) {
        KeyedTableInsert(g_Engine.OpenFileTable, false, TableKey{f * 7919ull, f}, name.data(),
                         uint32_t((name.size() - 1) * 2));
    }
    Bytes frame =
        BuildTcpFrame(TestClient(), TestServer(),
                      NetbiosWrap(Smb2WriteRequest({BenchSession, BenchTree, 9},
                                                   {(files / 2) * 7919ull, files / 2}, 1024)));
    Bytes events(28800);
    uint64_t n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(InspectInbound(frame.data(), uint32_t(frame.size()), true));
        if (++n % 16 == 0) {
            state.PauseTiming();
            ControlStatusBlock status;
            EngineDeviceControl(events.data(), 0, 28800, IOCTL_ENGINE_READ_EVENTS, &status);
            state.ResumeTiming();
        }
    }
}

// ---- Whole real captures, already in memory ----

void ReplayCapture(benchmark::State& state, const char* name) {
    CaptureReader reader;
    std::string error;
    reader.Open(std::string(TEST_DATA_DIR) + "/" + name, &error);
    std::vector<CaptureFrame> frames;
    std::vector<bool> inbound;
    CaptureFrame frame;
    while (reader.Next(&frame, &error) == 1) {
        frames.push_back(frame);
        inbound.push_back(ClassifyDirection(frame.bytes) == FrameDirection::Inbound);
    }
    StartedEngine engine;
    std::vector<AccessRule> rules = {Rule("docs", "alice", "11010000")};
    ReplaceAccessRules(rules.data(), 1);
    Bytes events(28800);
    // The host's per-frame copy, into a buffer of its own as a driver's receive path
    // copies into a block it keeps.
    std::vector<uint8_t> copy(65536);
    for (auto _ : state) {
        for (size_t i = 0; i < frames.size(); ++i) {
            uint32_t length = uint32_t(frames[i].bytes.size());
            std::memcpy(copy.data(), frames[i].bytes.data(), length);
            if (inbound[i]) {
                InspectInbound(copy.data(), length, true);
            } else {
                InspectOutbound(copy.data(), length, true);
            }
        }
        ControlStatusBlock status;
        EngineDeviceControl(events.data(), 0, 28800, IOCTL_ENGINE_READ_EVENTS, &status);
    }
    state.SetItemsProcessed(int64_t(state.iterations() * frames.size()));
}

// ---- The user-mode platform's own costs, measured alone ----

void PlatformClockRead(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(KmQuerySystemTime());
    }
}

void PlatformPoolAllocateFree(benchmark::State& state) {
    const size_t bytes = size_t(state.range(0));
    for (auto _ : state) {
        void* block = KmAllocatePool(bytes, EnginePoolTag);
        benchmark::DoNotOptimize(block);
        KmFreePool(block, EnginePoolTag);
    }
}

void PlatformSpinLockPair(benchmark::State& state) {
    KmSpinLock lock;
    KmInitializeSpinLock(&lock);
    for (auto _ : state) {
        KmAcquireSpinLockAtDpcLevel(&lock);
        KmReleaseSpinLockFromDpcLevel(&lock);
    }
}

// Registered here rather than statically so that --iterations=N can fix every count,
// which makes instruction counts under callgrind comparable between builds.
void RegisterAll(int64_t iterations) {
    std::vector<benchmark::internal::Benchmark*> all = {
        benchmark::RegisterBenchmark("PlatformClockRead", PlatformClockRead),
        benchmark::RegisterBenchmark("PlatformPoolAllocateFree", PlatformPoolAllocateFree)
            ->Arg(64)
            ->Arg(2048),
        benchmark::RegisterBenchmark("PlatformSpinLockPair", PlatformSpinLockPair),
        benchmark::RegisterBenchmark("KeyedTableInsertN", KeyedTableInsertN)
            ->Arg(1000)
            ->Arg(1000000)
            ->Unit(benchmark::kMillisecond),
        benchmark::RegisterBenchmark("KeyedTableLookupN", KeyedTableLookupN)
            ->Arg(1000)
            ->Arg(1000000),
        benchmark::RegisterBenchmark("KeyedTableDeleteInsertN", KeyedTableDeleteInsertN)
            ->Arg(1000)
            ->Arg(1000000),
        benchmark::RegisterBenchmark("InspectNonSmbFrame", InspectNonSmbFrame),
        benchmark::RegisterBenchmark("InspectSmbDataSegment", InspectSmbDataSegment),
        benchmark::RegisterBenchmark("DecideCreate", DecideCreate)->Arg(1)->Arg(100)->Arg(1000),
        benchmark::RegisterBenchmark("DecideWriteAmongOpenFiles", DecideWriteAmongOpenFiles)
            ->Arg(100000),
        benchmark::RegisterBenchmark("ReplayCapture/ops_smb3", ReplayCapture, "ops-smb3.pcap"),
        benchmark::RegisterBenchmark("ReplayCapture/ops_nt1", ReplayCapture, "ops-nt1.pcap"),
    };
    if (iterations > 0) {
        for (benchmark::internal::Benchmark* b : all) {
            b->Iterations(iterations);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    // --iterations=N runs every benchmark exactly N times (for instruction counts).
    int64_t iterations = 0;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--iterations=", 13) == 0) {
            iterations = std::atoll(argv[i] + 13);
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    RegisterAll(iterations);
    // The benchmark runs at DISPATCH_LEVEL, as the send and receive paths do, and reads
    // the platform's clock as the hosts do.
    SimRaiseIrql(KmDispatchLevel);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    SimLowerIrql(KmPassiveLevel);
    return 0;
}
