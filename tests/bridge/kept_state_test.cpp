// The state a guard keeps across its restart: a capture replayed by one guard, cut in two
// by a restart that carries the kept state over, reports what an unbroken guard reports.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture.h"
#include "engine_state.h"
#include "guard_engine.h"
#include "kept_state_file.h"
#include "policy_file.h"
#include "replay_engine.h"
#include "report_output.h"

namespace {

struct Frame {
    std::vector<uint8_t> bytes;
    bool fromNetwork;
};

std::vector<Frame> ReadCapture(const std::string& name) {
    CaptureReader reader;
    std::string error;
    EXPECT_TRUE(reader.Open(std::string(TEST_DATA_DIR) + "/" + name, &error)) << error;
    std::vector<Frame> frames;
    CaptureFrame frame;
    while (reader.Next(&frame, &error) == 1) {
        bool inbound = ClassifyDirection(frame.bytes) == FrameDirection::Inbound;
        frames.push_back({frame.bytes, inbound});
    }
    return frames;
}

Policy ReadPolicy() {
    std::string text;
    std::string error;
    Policy policy;
    EXPECT_TRUE(
        ReadPolicyText(std::string(TEST_DATA_DIR) + "/replay/deny-delete-rename.policy.json", &text,
                       &error) &&
        ParsePolicy(text, &policy, &error))
        << error;
    return policy;
}

// Frames [from, to) through `guard`; each event as its JSON line, without its time.
void Feed(GuardEngine* guard, std::vector<Frame> frames, size_t from, size_t to,
          std::vector<std::string>* events) {
    guard->onEvent = [events](const FileEvent& e, const uint8_t* clientIpv6) {
        events->push_back(EventJson(e, "frame", 0, clientIpv6).dump());
    };
    for (size_t i = from; i < to; ++i) {
        guard->Inspect(frames[i].bytes.data(), uint32_t(frames[i].bytes.size()),
                       frames[i].fromNetwork);
    }
}

// Places where no request waits for its answer: a restart there loses nothing that only
// lasts a round trip.
bool NothingPending() {
    for (const DialectTables* t : {&g_Engine.Smb1, &g_Engine.Smb2}) {
        for (KeyedTable* table :
             {t->PendingCreates, t->PendingTreeConnects, t->PendingChanges, t->WriteMarks,
              t->DeleteMarks, t->RenameMarks, t->CreateDeleteMarks}) {
            if (!KeyedTableIsEmpty(table)) {
                return false;
            }
        }
    }
    return KeyedTableIsEmpty(g_Engine.SmbFlowTable);
}

TEST(KeptState, ARestartThatCarriesTheStateOverChangesNoDecision) {
    const Policy policy = ReadPolicy();
    for (const char* capture : {"ops-smb3.pcap", "ops-nt1.pcap", "ipv6.pcap"}) {
        std::vector<Frame> frames = ReadCapture(capture);
        std::vector<std::string> unbroken;
        std::vector<size_t> cuts;
        {
            GuardEngine guard;
            std::string error;
            ASSERT_TRUE(guard.Start(&error) && guard.Apply(policy, &error)) << error;
            for (size_t i = 0; i < frames.size(); ++i) {
                Feed(&guard, frames, i, i + 1, &unbroken);
                if (NothingPending() && i + 1 < frames.size()) {
                    cuts.push_back(i + 1);
                }
            }
        }
        ASSERT_GT(cuts.size(), 4u) << capture;
        size_t fresh_differs = 0;
        for (size_t cut : cuts) {
            std::vector<uint8_t> kept;
            std::vector<std::string> events;
            {
                GuardEngine first;
                std::string error;
                ASSERT_TRUE(first.Start(&error) && first.Apply(policy, &error)) << error;
                Feed(&first, frames, 0, cut, &events);
                kept = EncodeKeptState();
            }
            for (bool restore : {true, false}) {
                std::vector<std::string> after = events;
                GuardEngine second;
                std::string error;
                ASSERT_TRUE(second.Start(&error) && second.Apply(policy, &error)) << error;
                uint32_t restored = 0;
                if (restore) {
                    ASSERT_TRUE(RestoreKeptState(kept, &restored, &error)) << error;
                    // Kept again as it was given back.
                    EXPECT_EQ(EncodeKeptState(), kept) << capture << " cut at " << cut;
                }
                Feed(&second, frames, cut, frames.size(), &after);
                if (restore) {
                    EXPECT_EQ(after, unbroken) << capture << " cut at frame " << cut;
                } else if (after != unbroken) {
                    ++fresh_differs;
                }
            }
        }
        // Without the kept state some cut must show a difference, or the capture proves
        // nothing about what is kept.
        EXPECT_GT(fresh_differs, 0u) << capture;
    }
}

TEST(KeptState, ACutOrForeignFileIsRefusedWholeAndChangesNothing) {
    std::vector<Frame> frames = ReadCapture("ops-smb3.pcap");
    std::vector<uint8_t> kept;
    {
        GuardEngine guard;
        std::string error;
        ASSERT_TRUE(guard.Start(&error) && guard.Apply(ReadPolicy(), &error)) << error;
        std::vector<std::string> events;
        Feed(&guard, frames, 0, frames.size() / 2, &events);
        kept = EncodeKeptState();
    }
    ASSERT_GT(kept.size(), 200u);
    struct Damage {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    std::vector<Damage> damages;
    for (size_t length : {size_t(0), size_t(7), size_t(24), kept.size() / 2, kept.size() - 1}) {
        damages.push_back({"cut", std::vector<uint8_t>(kept.begin(), kept.begin() + length)});
    }
    for (size_t at : {size_t(0), size_t(9), size_t(30), kept.size() / 2, kept.size() - 3}) {
        std::vector<uint8_t> flipped = kept;
        flipped[at] ^= 0x40;
        damages.push_back({"a flipped byte", flipped});
    }
    GuardEngine guard;
    std::string error;
    ASSERT_TRUE(guard.Start(&error)) << error;
    const std::vector<uint8_t> empty = EncodeKeptState();
    for (const Damage& d : damages) {
        uint32_t restored = 7;
        std::string why;
        EXPECT_FALSE(RestoreKeptState(d.bytes, &restored, &why)) << d.what << " " << d.bytes.size();
        EXPECT_FALSE(why.empty());
        EXPECT_EQ(restored, 0u);
        EXPECT_EQ(EncodeKeptState(), empty) << d.what;
    }
}

} // namespace
