// Writes seed inputs for the fuzz targets from the real captures (each capture as one
// frame sequence, with its windows, and each session set-up's security blob) and from the
// test builders.
#include <cstring>
#include <iostream>
#include <string>

#include "builder_seeds.h"
#include "capture.h"
#include "frame_sequence.h"
#include "replay_engine.h"
#include "seed_windows.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::cerr << "usage: write_seeds FRAMES_DIR BLOBS_DIR CAPTURE...\n";
        return 2;
    }
    std::string framesDir = argv[1];
    std::string blobsDir = argv[2];
    for (int i = 3; i < argc; ++i) {
        CaptureReader reader;
        std::string error;
        if (!reader.Open(argv[i], &error)) {
            std::cerr << error << "\n";
            return 1;
        }
        std::vector<uint8_t> sequence;
        CaptureFrame frame;
        int blobs = 0;
        while (reader.Next(&frame, &error) == 1) {
            bool inbound = ClassifyDirection(frame.bytes) == FrameDirection::Inbound;
            AppendToFrameSequence(&sequence, inbound, frame.bytes);
            // Every NTLMSSP message in a frame, from its SPNEGO or raw start to the end.
            for (size_t at = 0; at + 8 < frame.bytes.size(); ++at) {
                if (std::memcmp(&frame.bytes[at], "NTLMSSP", 8) == 0) {
                    std::vector<uint8_t> blob(frame.bytes.begin() + long(at), frame.bytes.end());
                    WriteSeedFile(
                        blobsDir + "/" + std::to_string(i) + "-" + std::to_string(blobs++), blob);
                }
            }
        }
        WriteFrameSeed(framesDir, "capture-" + std::to_string(i), sequence);
    }
    WriteBuilderSeeds(framesDir, blobsDir);
    return 0;
}
