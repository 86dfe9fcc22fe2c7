// The NDIS 6 host: the capture goes through the filter driver loaded on the NDIS 6 model.
// Frames to the server are indicated by the miniport, frames from it sent by the protocol,
// in NBL chains of 1 to 16 frames (one to three frames per NBL), each frame cut into MDLs
// at random places with a random offset into the first; completions and returns come back
// in random batches. What the protocol above receives and the miniport transmits is what
// --write saves. The policy and every read-out go through the driver's control device.
#include <random>

#include "filter.h"
#include "inspection_hook.h"
#include "ndis6_sim.h"
#include "replay_host.h"

namespace {

class Ndis6Host : public ReplayHost, private InspectionObserver {
  public:
    ~Ndis6Host() override {
        if (module_ != nullptr) {
            DrainAll();
        }
        if (loaded_) {
            SimNdis6UnloadDriver();
        }
    }

    bool Start(const Policy& policy, uint64_t seed, std::string* error) override {
        random_.seed(seed);
        if (SimNdis6LoadDriver(DriverEntry) != NDIS_STATUS_SUCCESS) {
            *error = "the filter driver did not load on the NDIS 6 model";
            return false;
        }
        loaded_ = true;
        SimModuleOptions options;
        options.seed = seed;
        options.irqlSeed = seed + 1; // never 0: calls with their flag clear at either IRQL
        NDIS_STATUS status;
        module_ = SimNdis6Attach(SimAdapter{u"{5D3C6F0E-0000-4000-8000-000000000001}",
                                            u"Replay adapter", u"\\DEVICE\\{replay}"},
                                 options, &status);
        if (module_ == nullptr || SimNdis6Restart(module_, true, nullptr) != NDIS_STATUS_SUCCESS) {
            *error = "the filter did not attach on the NDIS 6 model";
            return false;
        }
        policy_ = policy;
        ControlCall call = [this](uint32_t code, std::vector<uint8_t>& buffer, uint32_t in,
                                  uint32_t out) { return Control(code, buffer, in, out); };
        return ApplyPolicy(policy, call, error);
    }

    void Feed(CaptureFrame frame, std::vector<HostFrame>* done) override {
        HostFrame next;
        next.outcome.direction = ClassifyDirection(frame.bytes);
        next.frame = std::move(frame);
        bool sent = next.outcome.direction == FrameDirection::Outbound;
        if (!held_.empty() && (sent != heldSent_ || held_.size() >= chainLength_)) {
            PassHeld(done);
        }
        if (held_.empty()) {
            heldSent_ = sent;
            chainLength_ = Pick(1, 16);
        }
        held_.push_back(std::move(next));
    }

    void Finish(std::vector<HostFrame>* done) override {
        PassHeld(done);
        DrainAll();
    }

    ControlStatusBlock Control(uint32_t code, std::vector<uint8_t>& buffer, uint32_t inputLength,
                               uint32_t outputLength) override {
        size_t room = std::max<size_t>(inputLength, outputLength);
        if (buffer.size() < room) {
            buffer.resize(room);
        }
        KmIrp irp =
            SimMakeRequest(KmIrpMjDeviceControl, code, buffer.data(), inputLength, outputLength);
        SimNdis6DeviceRequest(&irp);
        return ControlStatusBlock{uint32_t(irp.status), irp.information};
    }

  private:
    uint32_t Pick(uint32_t low, uint32_t high) {
        return std::uniform_int_distribution<uint32_t>(low, high)(random_);
    }

    SimFrameLayout RandomLayout(size_t length) {
        SimFrameLayout layout;
        uint32_t mdls = Pick(1, 4);
        for (uint32_t i = 1; i < mdls && length > 1; ++i) {
            layout.cuts.push_back(Pick(1, uint32_t(length / mdls) + 1));
        }
        layout.firstOffset = Pick(0, 3) == 0 ? 0 : Pick(1, 64);
        layout.tailSlack = Pick(0, 32);
        layout.mapped = Pick(0, 1) == 1;
        return layout;
    }

    // One frame's inspection has returned inside the driver: collect its outcome now,
    // before the driver inspects the next frame of the chain.
    void Inspected(bool, const uint8_t*, uint32_t, bool rewritten) override {
        if (cursor_ >= held_.size()) {
            return;
        }
        FrameOutcome& outcome = held_[cursor_++].outcome;
        outcome.rewritten = outcome.direction != FrameDirection::NotSmb && rewritten;
        CollectAfterInspection(policy_, EngineControl, outcome.direction, &outcome);
    }

    void PassHeld(std::vector<HostFrame>* done) {
        if (held_.empty()) {
            return;
        }
        std::vector<SimNblFrames> nbls;
        for (size_t i = 0; i < held_.size();) {
            size_t count = std::min<size_t>(Pick(1, 3), held_.size() - i);
            SimNblFrames nbl;
            for (size_t j = 0; j < count; ++j, ++i) {
                const std::vector<uint8_t>& bytes = held_[i].frame.bytes;
                nbl.push_back(SimFrame{bytes, RandomLayout(bytes.size())});
            }
            nbls.push_back(std::move(nbl));
        }
        uint32_t dispatch = Pick(0, 1);
        cursor_ = 0;
        SetInspectionObserver(this);
        SimChain* chain;
        if (heldSent_) {
            chain = SimNdis6PrepareSends(module_, nbls);
            SimNdis6Send(module_, chain, dispatch);
        } else {
            chain = SimNdis6PrepareReceives(module_, nbls);
            uint32_t resources = Pick(0, 7) == 0 ? NDIS_RECEIVE_FLAGS_RESOURCES : 0;
            SimNdis6Indicate(module_, chain, dispatch | resources);
        }
        SetInspectionObserver(nullptr);
        chains_.push_back(chain);
        std::vector<std::vector<uint8_t>> left =
            heldSent_ ? SimNdis6TakeTransmitted(module_) : SimNdis6TakeIndicated(module_);
        for (size_t i = 0; i < held_.size(); ++i) {
            if (i < left.size()) {
                held_[i].frame.bytes = std::move(left[i]);
            }
            done->push_back(std::move(held_[i]));
        }
        held_.clear();
        // Some of what is out comes back now, in batches.
        for (uint32_t round = Pick(0, 2); round > 0; --round) {
            SimNdis6CompleteSends(module_, Pick(1, 16), Pick(0, 1));
            SimNdis6ReturnReceives(module_, Pick(1, 16), Pick(0, 1));
        }
        ReleaseHome();
    }

    void ReleaseHome() {
        std::vector<SimChain*> out;
        for (SimChain* chain : chains_) {
            if (SimNdis6ChainHome(chain)) {
                SimNdis6ReleaseChain(chain);
            } else {
                out.push_back(chain);
            }
        }
        chains_.swap(out);
    }

    void DrainAll() {
        while (SimNdis6CompleteSends(module_, 16, 0) + SimNdis6ReturnReceives(module_, 16, 0) !=
               0) {
        }
        ReleaseHome();
    }

    std::mt19937_64 random_;
    bool loaded_ = false;
    SimModule* module_ = nullptr;
    Policy policy_;
    std::vector<HostFrame> held_;
    bool heldSent_ = false;
    size_t chainLength_ = 1;
    size_t cursor_ = 0;
    std::vector<SimChain*> chains_;
};

} // namespace

std::unique_ptr<ReplayHost> MakeNdis6Host() {
    return std::make_unique<Ndis6Host>();
}
