// The NDIS 5 host: the intermediate driver on its model, bound to one Ethernet adapter.
// Frames to the server are indicated by the adapter below as packets, frames from the
// server are sent by the protocol above; each packet is cut into several buffers at
// random boundaries, some receives carry NDIS_STATUS_RESOURCES, sends pend and complete
// and indicated packets are returned in random batches. The bytes that leave the driver
// are what the replay tool reports and writes.
#include <random>

#include "inspection_hook.h"
#include "ndis5_sim.h"
#include "replay_host.h"

namespace {

const uint32_t MaxBuffers = 4;
const uint32_t Processors = 4;
const uint32_t ResourcesOneIn = 8;
const uint32_t MaxBatch = 6;

class Ndis5Host : public ReplayHost, InspectionObserver {
  public:
    ~Ndis5Host() override {
        SetInspectionObserver(nullptr);
        if (binding_ != nullptr) {
            std::vector<HostFrame> ignored;
            Finish(&ignored);
            sim5::Unbind(binding_);
        }
        if (loaded_) {
            sim5::UnloadDriver();
        }
        sim5::Reset();
    }

    bool Start(const Policy& policy, uint64_t seed, std::string* error) override {
        random_.seed(seed);
        policy_ = policy;
        if (sim5::LoadDriver() != NDIS_STATUS_SUCCESS) {
            *error = "the NDIS 5 driver did not load";
            return false;
        }
        loaded_ = true;
        sim5::AdapterOptions options;
        options.sendsPend = true;
        NDIS_STATUS status;
        binding_ = sim5::Bind(options, &status);
        if (status != NDIS_STATUS_SUCCESS) {
            *error = "the NDIS 5 driver did not bind to the adapter";
            return false;
        }
        SetInspectionObserver(this);
        return ApplyPolicy(policy, Call(), error);
    }

    void Feed(CaptureFrame frame, std::vector<HostFrame>* done) override {
        HostFrame result;
        result.outcome.direction = ClassifyDirection(frame.bytes);
        outcome_ = &result.outcome;
        sim5::Chain chain = RandomChain(uint32_t(frame.bytes.size()));
        if (result.outcome.direction == FrameDirection::Outbound) {
            binding_->Send({frame.bytes}, chain, Draw(2) == 0);
            frame.bytes = binding_->sent.back();
            binding_->sent.clear();
        } else {
            NDIS_STATUS status =
                Draw(ResourcesOneIn) == 0 ? NDIS_STATUS_RESOURCES : NDIS_STATUS_SUCCESS;
            binding_->IndicatePacket(frame.bytes, chain, status, Draw(Processors));
            frame.bytes = binding_->received.back();
            binding_->received.clear();
        }
        outcome_ = nullptr;
        CollectAfterInspection(policy_, Call(), result.outcome.direction, &result.outcome);
        result.frame = std::move(frame);
        done->push_back(std::move(result));
        if (binding_->PendingSends() >= Draw(MaxBatch) + 1) {
            binding_->CompleteSends(Draw(MaxBatch) + 1, random_());
        }
        if (binding_->RetainedPackets() >= Draw(MaxBatch) + 1) {
            binding_->ReturnPackets(Draw(MaxBatch) + 1, random_());
        }
    }

    void Finish(std::vector<HostFrame>*) override {
        binding_->CompleteSends();
        binding_->ReturnPackets();
    }

    ControlStatusBlock Control(uint32_t code, std::vector<uint8_t>& buffer, uint32_t inputLength,
                               uint32_t outputLength) override {
        sim5::DeviceControlResult result{};
        if (!sim5::DeviceControl(code, buffer, inputLength, outputLength, &result)) {
            return ControlStatusBlock{STATUS_INVALID_DEVICE_REQUEST_CODE, 0};
        }
        return ControlStatusBlock{result.status, result.information};
    }

  private:
    void Inspected(bool, const uint8_t*, uint32_t, bool rewritten) override {
        if (outcome_ != nullptr) {
            outcome_->rewritten = outcome_->rewritten || rewritten;
        }
    }

    ControlCall Call() {
        return [this](uint32_t code, std::vector<uint8_t>& buffer, uint32_t in, uint32_t out) {
            return Control(code, buffer, in, out);
        };
    }

    uint32_t Draw(uint32_t below) { return uint32_t(random_() % below); }

    // Up to MaxBuffers buffers cut at random points; mapped or mapped on demand.
    sim5::Chain RandomChain(uint32_t length) {
        sim5::Chain chain;
        chain.mapped = Draw(2) == 0;
        uint32_t buffers = 1 + Draw(MaxBuffers);
        for (uint32_t i = 1; i < buffers && length > 1; ++i) {
            chain.cuts.push_back(1 + Draw(length - 1));
        }
        return chain;
    }

    std::mt19937_64 random_;
    Policy policy_;
    bool loaded_ = false;
    sim5::Binding* binding_ = nullptr;
    FrameOutcome* outcome_ = nullptr;
};

} // namespace

std::unique_ptr<ReplayHost> MakeNdis5Host() {
    return std::make_unique<Ndis5Host>();
}
