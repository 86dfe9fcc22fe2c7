// Frame sequences as the frame target reads them, and the windows the seed writer cuts
// from long conversations.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "frame_sequence.h"
#include "seed_windows.h"
#include "smb_builders.h"

namespace {

struct Decoded {
    bool inbound;
    Bytes frame;
};

// Reads `size` bytes from a block of exactly that size, so that a read past the end is
// caught by the sanitizers.
std::vector<Decoded> Decode(const Bytes& input, size_t size) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[size]);
    std::copy(input.begin(), input.begin() + long(size), exact.get());
    std::vector<Decoded> out;
    ForEachSequencedFrame(exact.get(), size, [&](const SequencedFrame& f) {
        EXPECT_GE(f.bytes, exact.get());
        EXPECT_LE(f.bytes + f.present, exact.get() + size);
        EXPECT_LE(f.present, f.length);
        Bytes frame(f.bytes, f.bytes + f.present);
        frame.resize(f.length);
        out.push_back({f.inbound, frame});
    });
    return out;
}

Bytes Frame(bool inbound, const Bytes& smb) {
    Endpoint client = TestClient(10);
    Endpoint server = TestServer();
    return inbound ? BuildTcpFrame(client, server, NetbiosWrap(smb))
                   : BuildTcpFrame(server, client, NetbiosWrap(smb));
}

TEST(FrameSequence, FramesReadBackAsWrittenAndCutInputsStayInside) {
    Bytes plain = Frame(true, Smb2TreeConnectRequest({1, 0, 1}, "\\\\srv\\docs"));
    Bytes longWrite = Frame(true, Smb2WriteRequest({1, 7, 2}, {1, 2}, 60000));
    std::fill(longWrite.end() - 60000, longWrite.end(), 0);
    Bytes answer = Frame(false, Smb2SimpleResponse(9, {1, 7, 2}));
    Bytes input;
    AppendToFrameSequence(&input, true, plain);
    AppendZeroTailFrame(&input, true, longWrite);
    AppendToFrameSequence(&input, false, answer);
    EXPECT_LT(input.size(), 2000u); // the long frame's zeros are not in the input

    std::vector<Decoded> whole = Decode(input, input.size());
    ASSERT_EQ(whole.size(), 3u);
    EXPECT_EQ(whole[0].frame, plain);
    EXPECT_EQ(whole[1].frame, longWrite);
    EXPECT_EQ(whole[2].frame, answer);
    EXPECT_TRUE(whole[0].inbound && whole[1].inbound && !whole[2].inbound);

    // Cut anywhere, the input still reads inside itself, and the frames before the cut
    // read whole.
    for (size_t size = 0; size < input.size(); ++size) {
        std::vector<Decoded> cut = Decode(input, size);
        for (size_t i = 0; i + 1 < cut.size(); ++i) {
            EXPECT_EQ(cut[i].frame, whole[i].frame) << "cut at " << size;
        }
    }

    // A zero tail that claims more stored bytes than the frame's length keeps the length.
    Bytes claim = {SequenceZeroTailBit, 4, 0, 9, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    std::vector<Decoded> clamped = Decode(claim, claim.size());
    ASSERT_GE(clamped.size(), 1u);
    EXPECT_EQ(clamped[0].frame, (Bytes{1, 2, 3, 4}));
}

// A conversation: set-up, creates of three files, then operations that name them by file
// id, with TCP acknowledgements between.
Bytes Conversation(std::vector<Bytes>* setUp, std::vector<std::pair<Bytes, FileId>>* named,
                   std::vector<Bytes>* creates) {
    Bytes sequence;
    auto add = [&](bool inbound, const Bytes& smb) {
        Bytes frame = Frame(inbound, smb);
        AppendToFrameSequence(&sequence, inbound, frame);
        return frame;
    };
    const uint64_t s = 0x41;
    const uint32_t t = 7;
    uint64_t mid = 1;
    setUp->push_back(add(true, Smb2SessionSetupRequest({0, 0, mid}, Bytes(40, 1))));
    setUp->push_back(add(false, Smb2SessionSetupResponse({s, 0, mid++}, 0)));
    setUp->push_back(add(true, Smb2TreeConnectRequest({s, 0, mid}, "\\\\srv\\docs")));
    setUp->push_back(add(false, Smb2TreeConnectResponse({s, t, mid++})));
    const FileId files[] = {{0x51, 0x61}, {0x52, 0x62}, {0x53, 0x63}};
    for (const FileId& file : files) {
        Smb2CreateFields fields;
        fields.name = "f" + std::to_string(file.volatileId) + ".txt";
        creates->push_back(add(true, Smb2CreateRequest({s, t, mid}, fields)));
        creates->push_back(add(false, Smb2CreateResponse({s, t, mid++}, file)));
        AppendToFrameSequence(&sequence, true, BuildTcpFrame(TestClient(10), TestServer(), {}));
    }
    for (int round = 0; round < 4; ++round) {
        for (const FileId& file : files) {
            named->push_back({add(true, Smb2SetInfoRename({s, t, mid}, file, "moved.txt")), file});
            add(false, Smb2SimpleResponse(17, {s, t, mid++}));
            named->push_back({add(true, Smb2WriteRequest({s, t, mid}, file, 200)), file});
            add(false, Smb2SimpleResponse(9, {s, t, mid++}));
        }
    }
    sequence[0] |= SequenceAdmissionBit;
    return sequence;
}

TEST(SeedWindows, EachWindowHasTheSetUpFitsTheLimitAndCreatesTheFilesItNames) {
    std::vector<Bytes> setUp;
    std::vector<std::pair<Bytes, FileId>> named;
    std::vector<Bytes> creates;
    Bytes sequence = Conversation(&setUp, &named, &creates);
    EXPECT_TRUE(SequenceWindows(sequence, sequence.size()).empty());

    for (size_t limit : {1500u, 2500u, 4096u}) {
        SCOPED_TRACE("limit " + std::to_string(limit));
        std::vector<Bytes> windows = SequenceWindows(sequence, limit);
        ASSERT_GE(windows.size(), 2u);
        std::vector<int> seen(named.size(), 0);
        for (const Bytes& window : windows) {
            EXPECT_NE(window[0] & SequenceAdmissionBit, 0);
            std::vector<Decoded> frames = Decode(window, window.size());
            ASSERT_GT(frames.size(), setUp.size());
            for (size_t i = 0; i < setUp.size(); ++i) {
                EXPECT_EQ(frames[i].frame, setUp[i]);
            }
            size_t operations = 0;
            for (size_t i = setUp.size(); i < frames.size(); ++i) {
                EXPECT_GT(frames[i].frame.size(), 60u) << "an acknowledgement in a window";
                for (size_t n = 0; n < named.size(); ++n) {
                    if (frames[i].frame != named[n].first) {
                        continue;
                    }
                    ++seen[n];
                    ++operations;
                    // The create that answered with this file id comes earlier in the window.
                    size_t file = named[n].second.volatileId - 0x61;
                    auto answer = std::find_if(
                        frames.begin(), frames.begin() + long(i),
                        [&](const Decoded& d) { return d.frame == creates[2 * file + 1]; });
                    EXPECT_NE(answer, frames.begin() + long(i));
                }
            }
            EXPECT_TRUE(window.size() <= limit || operations == 1) << window.size();
        }
        for (size_t n = 0; n < named.size(); ++n) {
            EXPECT_EQ(seen[n], 1) << "operation " << n;
        }
    }
}

} // namespace
