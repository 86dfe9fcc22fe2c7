// merrowfaldine-replay: runs a capture through the inspection engine under a policy and
// shows what the guard would have reported, denied and rewritten.
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "capture.h"
#include "policy_file.h"
#include "replay_host.h"
#include "report_output.h"

namespace {

const char* const Usage =
    "usage: merrowfaldine-replay [--policy FILE] [--json] [--write OUT.pcap]\n"
    "                            [--host NAME [--seed N]] CAPTURE\n"
    "\n"
    "Feeds every frame of CAPTURE (pcap or pcapng, Ethernet) through the inspection engine:\n"
    "frames to TCP port 445 or 139 as received by the server, frames from those ports as\n"
    "sent by it. Prints the reported and denied file operations, the rewritten frames and\n"
    "the learned grants, then the traffic counters and the sessions.\n"
    "\n"
    "  --policy FILE     JSON policy (default: inspection on, no rules)\n"
    "  --json            one JSON object per line instead of a table\n"
    "  --write OUT.pcap  also write the capture as the engine left it\n"
    "  --host NAME       what carries the engine: engine (the entries called directly, the\n"
    "                    default) or a driver on its NDIS model (HOSTS); the output is the\n"
    "                    same, --write saving the bytes that leave the driver\n"
    "  --seed N          seed of a driver host's random chains, MDL cuts and batches\n"
    "  --help            this text\n";

std::string UsageText() {
    std::string usage = Usage;
    usage.replace(usage.find("HOSTS"), 5, ReplayHostNames());
    return usage;
}

struct Options {
    std::string policy;
    std::string capture;
    std::string output;
    std::string host = "engine";
    uint64_t seed = 1;
    bool json = false;
};

bool ParseArguments(int argc, char** argv, Options* options, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string* into) {
            if (i + 1 >= argc) {
                *error = arg + " needs a value";
                return false;
            }
            *into = argv[++i];
            return true;
        };
        if (arg == "--json") {
            options->json = true;
        } else if (arg == "--policy") {
            if (!value(&options->policy)) {
                return false;
            }
        } else if (arg == "--write") {
            if (!value(&options->output)) {
                return false;
            }
        } else if (arg == "--host") {
            if (!value(&options->host)) {
                return false;
            }
        } else if (arg == "--seed") {
            std::string text;
            if (!value(&text)) {
                return false;
            }
            char* end = nullptr;
            options->seed = std::strtoull(text.c_str(), &end, 10);
            if (text.empty() || *end != 0 || text[0] == '-') {
                *error = "--seed needs a non-negative number";
                return false;
            }
        } else if (!arg.empty() && arg[0] == '-') {
            *error = "unknown option " + arg;
            return false;
        } else if (options->capture.empty()) {
            options->capture = arg;
        } else {
            *error = "only one capture can be replayed at a time";
            return false;
        }
    }
    if (options->capture.empty()) {
        *error = "no capture given";
        return false;
    }
    if (MakeReplayHost(options->host) == nullptr) {
        *error = "unknown host " + options->host + " (hosts: " + ReplayHostNames() + ")";
        return false;
    }
    return true;
}

int Fail(const std::string& message) {
    std::cerr << "merrowfaldine-replay: " << message << "\n";
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") {
            std::cout << UsageText();
            return 0;
        }
    }
    Options options;
    std::string error;
    if (!ParseArguments(argc, argv, &options, &error)) {
        std::cerr << "merrowfaldine-replay: " << error << "\n\n" << UsageText();
        return 2;
    }
    Policy policy;
    if (!options.policy.empty() && !LoadPolicyFile(options.policy, &policy, &error)) {
        return Fail(error);
    }
    CaptureReader reader;
    if (!reader.Open(options.capture, &error)) {
        return Fail(error);
    }
    CaptureWriter writer;
    if (!options.output.empty() && !writer.Open(options.output, reader, &error)) {
        return Fail(error);
    }
    std::unique_ptr<ReplayHost> host = MakeReplayHost(options.host);
    if (!host->Start(policy, options.seed, &error)) {
        return Fail(error);
    }
    ReplayPrinter printer(std::cout, options.json);
    printer.Begin(options.capture);
    uint64_t frames = 0;
    std::vector<HostFrame> done;
    auto emit = [&] {
        for (const HostFrame& result : done) {
            printer.Frame(result.frame, result.outcome);
            if (!options.output.empty()) {
                writer.Write(result.frame);
            }
            frames = result.frame.number;
        }
        done.clear();
    };
    CaptureFrame frame;
    int status;
    while ((status = reader.Next(&frame, &error)) == 1) {
        host->Feed(std::move(frame), &done);
        emit();
    }
    host->Finish(&done);
    emit();
    printer.End(frames, host->Stats(), host->Sessions());
    std::string closeError;
    if (!writer.Close(&closeError)) {
        return Fail(closeError);
    }
    if (status < 0) {
        return Fail(error);
    }
    return 0;
}
