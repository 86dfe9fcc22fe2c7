// Seed inputs made with the test builders, beside those taken from the real captures.
#pragma once

#include <string>

// Frame sequences for the frame target into `framesDir`, security blobs for the identity
// target into `blobsDir`.
void WriteBuilderSeeds(const std::string& framesDir, const std::string& blobsDir);
