#include "seed_windows.h"

#include <algorithm>
#include <fstream>

#include "frame_sequence.h"
#include "frame_view.h"
#include "smb_protocol.h"
#include "wire.h"

namespace {

// Where a create's answer carries the file id its later requests name.
const uint32_t Smb2CreateResponseFileId = Smb2HeaderLength + 64;
const uint32_t Smb2FileIdLength = 16;
const uint32_t Smb1NtCreateReplyFid = Smb1HeaderLength + 6;
const uint32_t Smb1FidLength = 2;

enum class FrameRole { NotSmb, SetUp, CreateRequest, CreateResponse, Other };

struct Frame {
    size_t offset;  // of its kind byte in the sequence
    size_t encoded; // bytes in the sequence, kind and lengths included
    FrameRole role;
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> fileId; // a create response's
};

bool IsSetUp(bool smb2, uint16_t command) {
    return smb2 ? command == Smb2Negotiate || command == Smb2SessionSetup ||
                      command == Smb2TreeConnect
                : command == Smb1Negotiate || command == Smb1SessionSetupAndX ||
                      command == Smb1TreeConnectAndX;
}

void Classify(Frame* f, bool inbound) {
    f->role = FrameRole::NotSmb;
    FrameView view{};
    if (ParseEthernet(f->bytes.data(), uint32_t(f->bytes.size()), &view) != 0 ||
        (view.flags & FrameHasTcp) == 0 ||
        view.payloadLength < NetbiosHeaderLength + SmbProtocolIdLength ||
        view.payload[NetbiosType] != NetbiosSessionMessage) {
        return;
    }
    const uint8_t* header = view.payload + NetbiosHeaderLength;
    uint32_t available = view.payloadLength - NetbiosHeaderLength;
    uint32_t protocol = ReadU32Le(header);
    bool smb2 = protocol == Smb2ProtocolId && available >= Smb2HeaderLength;
    bool smb1 = protocol == Smb1ProtocolId && available >= Smb1HeaderLength;
    if (!smb2 && !smb1) {
        return;
    }
    uint16_t command = smb2 ? ReadU16Le(header + Smb2Command) : header[Smb1Command];
    bool create = smb2 ? command == Smb2Create : command == Smb1NtCreateAndX;
    uint32_t idAt = smb2 ? Smb2CreateResponseFileId : Smb1NtCreateReplyFid;
    uint32_t idLength = smb2 ? Smb2FileIdLength : Smb1FidLength;
    if (IsSetUp(smb2, command)) {
        f->role = FrameRole::SetUp;
    } else if (create && inbound) {
        f->role = FrameRole::CreateRequest;
    } else if (create && available >= idAt + idLength) {
        f->role = FrameRole::CreateResponse;
        f->fileId.assign(header + idAt, header + idAt + idLength);
    } else {
        f->role = FrameRole::Other;
    }
}

std::vector<Frame> SplitSequence(const std::vector<uint8_t>& sequence) {
    std::vector<Frame> frames;
    ForEachSequencedFrame(sequence.data(), sequence.size(), [&](const SequencedFrame& s) {
        Frame f;
        f.bytes.assign(s.bytes, s.bytes + s.present);
        f.bytes.resize(s.length);
        size_t end = size_t(s.bytes - sequence.data()) + s.present;
        f.offset = frames.empty() ? 0 : frames.back().offset + frames.back().encoded;
        f.encoded = end - f.offset;
        Classify(&f, s.inbound);
        frames.push_back(std::move(f));
    });
    return frames;
}

bool Names(const Frame& f, const std::vector<uint8_t>& id) {
    return std::search(f.bytes.begin(), f.bytes.end(), id.begin(), id.end()) != f.bytes.end();
}

// A window's frames in sequence order: the run itself and the create exchanges before it
// whose file ids its frames name (a request is paired with the next create response).
std::vector<size_t> WithCreates(const std::vector<Frame>& frames, const std::vector<size_t>& run) {
    std::vector<size_t> chosen = run;
    size_t request = frames.size();
    for (size_t i = 0; i < run.front(); ++i) {
        if (frames[i].role == FrameRole::CreateRequest) {
            request = i;
        } else if (frames[i].role == FrameRole::CreateResponse && request < i) {
            bool named = false;
            for (size_t r : run) {
                named = named || Names(frames[r], frames[i].fileId);
            }
            if (named) {
                chosen.push_back(request);
                chosen.push_back(i);
            }
        }
    }
    std::sort(chosen.begin(), chosen.end());
    return chosen;
}

size_t EncodedSize(const std::vector<Frame>& frames, const std::vector<size_t>& chosen) {
    size_t bytes = 0;
    for (size_t i : chosen) {
        bytes += frames[i].encoded;
    }
    return bytes;
}

} // namespace

std::vector<std::vector<uint8_t>> SequenceWindows(const std::vector<uint8_t>& sequence,
                                                  size_t limit) {
    std::vector<std::vector<uint8_t>> windows;
    if (sequence.size() <= limit) {
        return windows;
    }
    std::vector<Frame> frames = SplitSequence(sequence);
    std::vector<size_t> setUp;
    std::vector<size_t> later;
    for (size_t i = 0; i < frames.size(); ++i) {
        if (frames[i].role == FrameRole::SetUp) {
            setUp.push_back(i);
        } else if (frames[i].role != FrameRole::NotSmb) {
            later.push_back(i);
        }
    }
    size_t setUpBytes = EncodedSize(frames, setUp);
    auto emit = [&](const std::vector<size_t>& run) {
        std::vector<uint8_t> window;
        for (size_t i : setUp) {
            window.insert(window.end(), sequence.begin() + long(frames[i].offset),
                          sequence.begin() + long(frames[i].offset + frames[i].encoded));
        }
        for (size_t i : WithCreates(frames, run)) {
            window.insert(window.end(), sequence.begin() + long(frames[i].offset),
                          sequence.begin() + long(frames[i].offset + frames[i].encoded));
        }
        // The first kind byte carries the sequence's request for admission control.
        window[0] =
            uint8_t((window[0] & ~SequenceAdmissionBit) | (sequence[0] & SequenceAdmissionBit));
        windows.push_back(std::move(window));
    };
    std::vector<size_t> run;
    for (size_t i : later) {
        std::vector<size_t> longer = run;
        longer.push_back(i);
        if (!run.empty() && setUpBytes + EncodedSize(frames, WithCreates(frames, longer)) > limit) {
            emit(run);
            longer = {i};
        }
        run = longer;
    }
    if (!run.empty()) {
        emit(run);
    }
    return windows;
}

void WriteSeedFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

void WriteFrameSeed(const std::string& dir, const std::string& name,
                    const std::vector<uint8_t>& sequence) {
    WriteSeedFile(dir + "/" + name, sequence);
    std::vector<std::vector<uint8_t>> windows = SequenceWindows(sequence, FrameInputLimit);
    for (size_t i = 0; i < windows.size(); ++i) {
        WriteSeedFile(dir + "/" + name + "-part-" + std::to_string(i), windows[i]);
    }
}
