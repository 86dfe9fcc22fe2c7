// The fuzz targets reuse one engine for every input: a reset has to leave exactly what a
// start leaves, or one input would change how the next is decided.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "capture.h"
#include "control_device.h"
#include "engine_state.h"
#include "inspect.h"
#include "policy_file.h"
#include "pool.h"
#include "replay_engine.h"
#include "sim.h"

namespace {

std::vector<KeyedTable*> AllTables() {
    EngineState& e = g_Engine;
    std::vector<KeyedTable*> tables = {e.SessionUserTable,    e.TreeTable,
                                       e.IpcTreeTable,        e.OpenFileTable,
                                       e.UnknownSessionMarks, e.ClientAdmissionTable};
    for (DialectTables* d : {&e.Smb1, &e.Smb2}) {
        for (KeyedTable* t :
             {d->PendingTreeConnects, d->PendingCreates, d->WriteMarks, d->CreateClientMarks,
              d->CreateAccessMarks, d->CreateNewMarks, d->CreateDeleteMarks, d->DeleteMarks,
              d->RenameMarks, d->QueryPathMarks, d->QueryFileMarks, d->QueryInfoMarks}) {
            if (t != nullptr) {
                tables.push_back(t);
            }
        }
    }
    return tables;
}

template <typename T> void Append(std::vector<uint8_t>* image, const T* block, size_t count = 1) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(block);
    image->insert(image->end(), bytes, bytes + sizeof(T) * count);
}

// Every byte of engine state: the state record, each table's header, each block, and the
// engine's share of the pool.
std::vector<uint8_t> StateImage() {
    EngineState& e = g_Engine;
    std::vector<uint8_t> image;
    // The admission table is replaced whole by each push of the list, so its address
    // may change; its header and entries are compared below.
    EngineState state = e;
    state.ClientAdmissionTable = nullptr;
    Append(&image, &state);
    for (KeyedTable* table : AllTables()) {
        KeyedTable fields{}; // the fields without the padding between them
        fields.root = table->root;
        fields.count = table->count;
        fields.limit = table->limit;
        fields.whenFull = table->whenFull;
        fields.maxAge = table->maxAge;
        fields.cursor = table->cursor;
        fields.lock.lock = table->lock.lock;
        fields.lock.savedIrql = table->lock.savedIrql;
        Append(&image, &fields);
    }
    Append(&image, e.Settings);
    Append(&image, e.KnownClients);
    Append(&image, e.FileEventRing, FileEventRingSlots);
    Append(&image, e.LearnedGrantRing, LearnedGrantRingSlots);
    Append(&image, e.TrafficStats);
    SimPoolUsage pool = SimPoolUsageForTag(EnginePoolTag);
    Append(&image, &pool);
    uint64_t inUse = EnginePoolInUse();
    Append(&image, &inUse);
    return image;
}

// Where two images first differ ("" when they are equal), for a readable failure.
std::string FirstDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a == b) {
        return "";
    }
    size_t at = 0;
    while (at < a.size() && at < b.size() && a[at] == b[at]) {
        ++at;
    }
    return "byte " + std::to_string(at) + " of " + std::to_string(a.size()) + " and " +
           std::to_string(b.size());
}

ControlStatusBlock Call(uint32_t code, std::vector<uint8_t>& buffer, uint32_t in, uint32_t out) {
    buffer.resize(std::max<size_t>(buffer.size(), out));
    ControlStatusBlock status{};
    EngineDeviceControl(buffer.data(), in, out, code, &status);
    return status;
}

Policy FromFile(const std::string& file) {
    Policy policy;
    std::string error;
    EXPECT_TRUE(LoadPolicyFile(std::string(TEST_DATA_DIR) + "/" + file, &policy, &error));
    return policy;
}

// Rules with the admission list, known clients and exempt names beside them.
Policy EveryList() {
    Policy policy;
    std::string error;
    EXPECT_TRUE(ParsePolicy(
        R"({"rules": [{"path": "docs", "user": "alice", "flags": ["report", "deny-delete", "deny-rename"]}],
            "admission": ["192.0.2.10"], "known_clients": {"macs": ["02:00:00:00:00:01"]},
            "settings": {"exempt_suffixes": [".log"]}})",
        &policy, &error))
        << error;
    return policy;
}

// A capture (its first `frames` frames) under a policy; returns every frame as left and
// every event and grant record.
std::vector<uint8_t> RunCapture(const std::string& capture, const Policy& policy,
                                int frames = 1 << 30) {
    std::string error;
    EXPECT_TRUE(ApplyPolicy(policy, Call, &error)) << error;
    CaptureReader reader;
    EXPECT_TRUE(reader.Open(std::string(TEST_DATA_DIR) + "/" + capture, &error)) << error;
    std::vector<uint8_t> trace;
    CaptureFrame frame;
    std::vector<uint8_t> drained;
    while (frames-- > 0 && reader.Next(&frame, &error) == 1) {
        FrameDirection direction = ClassifyDirection(frame.bytes);
        uint32_t length = uint32_t(frame.bytes.size());
        if (direction == FrameDirection::Inbound) {
            InspectInbound(frame.bytes.data(), length, false);
        } else if (direction == FrameDirection::Outbound) {
            InspectOutbound(frame.bytes.data(), length, false);
        }
        trace.insert(trace.end(), frame.bytes.begin(), frame.bytes.end());
        for (uint32_t code : {IOCTL_ENGINE_READ_EVENTS, IOCTL_ENGINE_READ_LEARNED}) {
            ControlStatusBlock status = Call(code, drained, 0, 28800);
            trace.insert(trace.end(), drained.begin(), drained.begin() + long(status.information));
        }
    }
    return trace;
}

TEST(EngineReset, LeavesExactlyWhatAStartLeaves) {
    SimSetSystemTime(134115264000000000ull);
    ASSERT_TRUE(EngineStart());
    const std::vector<uint8_t> fresh = StateImage();
    std::vector<uint8_t> firstTrace;
    for (int round = 0; round < 3; ++round) {
        // Rules, templates, learning, sessions, trees, open files, pending requests, marks
        // and counters, in both dialects.
        std::vector<uint8_t> trace =
            RunCapture("ops-smb3.pcap", FromFile("replay/deny-delete-rename.policy.json"));
        std::vector<uint8_t> learned =
            RunCapture("second-user-smb2.pcap", FromFile("replay/learning.policy.json"));
        trace.insert(trace.end(), learned.begin(), learned.end());
        // Cut short after a request, so that it stays pending in its dialect's table.
        for (auto [capture, frames] : {std::pair("ops-nt1.pcap", 44), {"ops-smb2.pcap", 40}}) {
            std::vector<uint8_t> cut = RunCapture(capture, EveryList(), frames);
            trace.insert(trace.end(), cut.begin(), cut.end());
        }
        ASSERT_NE(FirstDifference(StateImage(), fresh), "") << "the reset has state to clear";
        if (round == 0) {
            firstTrace = trace;
        } else {
            EXPECT_EQ(FirstDifference(trace, firstTrace), "") << "round " << round;
        }
        EngineReset();
        EXPECT_EQ(FirstDifference(StateImage(), fresh), "") << "round " << round;
    }
    EngineStop();
    EXPECT_EQ(SimPoolUsageForTag(EnginePoolTag).blocks, 0u);
    SimUseRealClock();
}

// The reset clears only the tables and ring slots that were used; runs cut after a few
// frames use a few of them, and each must still come back to the state after a start.
// Leaving the rings undrained keeps records in them at the reset, draining after every
// frame leaves used slots with nothing left to read.
TEST(EngineReset, ClearsWhatShortRunsTouched) {
    SimSetSystemTime(134115264000000000ull);
    ASSERT_TRUE(EngineStart());
    const std::vector<uint8_t> fresh = StateImage();
    struct Cut {
        const char* capture;
        int frames;
        bool drain;
    };
    const Cut cuts[] = {{"ops-nt1.pcap", 0, true},   {"ops-nt1.pcap", 3, false},
                        {"ops-nt1.pcap", 12, false}, {"ops-nt1.pcap", 30, true},
                        {"ops-smb2.pcap", 5, false}, {"ops-smb2.pcap", 14, true},
                        {"ops-smb3.pcap", 25, false}};
    for (const Cut& cut : cuts) {
        std::string error;
        ASSERT_TRUE(ApplyPolicy(EveryList(), Call, &error)) << error;
        CaptureReader reader;
        ASSERT_TRUE(reader.Open(std::string(TEST_DATA_DIR) + "/" + cut.capture, &error)) << error;
        CaptureFrame frame;
        std::vector<uint8_t> drained;
        for (int i = 0; i < cut.frames && reader.Next(&frame, &error) == 1; ++i) {
            FrameDirection direction = ClassifyDirection(frame.bytes);
            if (direction == FrameDirection::Inbound) {
                InspectInbound(frame.bytes.data(), uint32_t(frame.bytes.size()), false);
            } else if (direction == FrameDirection::Outbound) {
                InspectOutbound(frame.bytes.data(), uint32_t(frame.bytes.size()), false);
            }
            if (cut.drain) {
                Call(IOCTL_ENGINE_READ_EVENTS, drained, 0, 28800);
            }
        }
        std::string at = std::string(cut.capture) + " after " + std::to_string(cut.frames);
        ASSERT_NE(FirstDifference(StateImage(), fresh), "") << at;
        EngineReset();
        EXPECT_EQ(FirstDifference(StateImage(), fresh), "") << at;
    }
    EngineStop();
    SimUseRealClock();
}

} // namespace
