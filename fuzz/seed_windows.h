// Frame sequences as seeds of the frame target. A conversation longer than the target's
// input limit is also written as windows that each fit it and still mean something to the
// engine: the conversation's set-up frames (negotiate, session set-up, tree connect), so
// that its users and shares are known, then a run of its later SMB frames, with the create
// exchanges those frames name by file id put in ahead of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The longest input the frame target is run with (scripts/fuzz.sh passes the same).
const size_t FrameInputLimit = 4096;

// The windows of a sequence, each at most `limit` bytes (a window of one frame and the
// creates it names may be longer); none when the whole sequence fits.
std::vector<std::vector<uint8_t>> SequenceWindows(const std::vector<uint8_t>& sequence,
                                                  size_t limit);

void WriteSeedFile(const std::string& path, const std::vector<uint8_t>& bytes);

// Writes the sequence as DIR/NAME, and its windows as DIR/NAME-part-N.
void WriteFrameSeed(const std::string& dir, const std::string& name,
                    const std::vector<uint8_t>& sequence);
