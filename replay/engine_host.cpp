// The engine host: each frame goes straight to the engine entry of its direction and
// leaves at once.
#include "replay_host.h"

namespace {

class EngineHost : public ReplayHost {
  public:
    bool Start(const Policy& policy, uint64_t, std::string* error) override {
        return engine_.Start(policy, error);
    }
    void Feed(CaptureFrame frame, std::vector<HostFrame>* done) override {
        HostFrame result;
        result.outcome = engine_.Feed(frame.bytes);
        result.frame = std::move(frame);
        done->push_back(std::move(result));
    }
    void Finish(std::vector<HostFrame>*) override {}
    ControlStatusBlock Control(uint32_t code, std::vector<uint8_t>& buffer, uint32_t inputLength,
                               uint32_t outputLength) override {
        return engine_.Control(code, buffer, inputLength, outputLength);
    }

  private:
    ReplayEngine engine_;
};

} // namespace

std::unique_ptr<ReplayHost> MakeEngineHost() {
    return std::make_unique<EngineHost>();
}
