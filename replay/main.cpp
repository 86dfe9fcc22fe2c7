// merrowfaldine-replay: runs a capture through the inspection engine under a policy and
// shows what the guard would have reported, denied and rewritten.
#include <iostream>
#include <string>

#include "capture.h"
#include "policy_file.h"
#include "replay_engine.h"
#include "report_output.h"

namespace {

const char* const Usage =
    "usage: merrowfaldine-replay [--policy FILE] [--json] [--write OUT.pcap] CAPTURE\n"
    "\n"
    "Feeds every frame of CAPTURE (pcap or pcapng, Ethernet) through the inspection engine:\n"
    "frames to TCP port 445 or 139 as received by the server, frames from those ports as\n"
    "sent by it. Prints the reported and denied file operations, the rewritten frames and\n"
    "the learned grants, then the traffic counters and the sessions.\n"
    "\n"
    "  --policy FILE     JSON policy (default: inspection on, no rules)\n"
    "  --json            one JSON object per line instead of a table\n"
    "  --write OUT.pcap  also write the capture as the engine left it\n"
    "  --help            this text\n";

struct Options {
    std::string policy;
    std::string capture;
    std::string output;
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
            std::cout << Usage;
            return 0;
        }
    }
    Options options;
    std::string error;
    if (!ParseArguments(argc, argv, &options, &error)) {
        std::cerr << "merrowfaldine-replay: " << error << "\n\n" << Usage;
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
    ReplayEngine engine;
    if (!engine.Start(policy, &error)) {
        return Fail(error);
    }
    ReplayPrinter printer(std::cout, options.json);
    printer.Begin(options.capture);
    CaptureFrame frame;
    uint64_t frames = 0;
    int status;
    while ((status = reader.Next(&frame, &error)) == 1) {
        FrameOutcome outcome = engine.Feed(frame.bytes);
        printer.Frame(frame, outcome);
        if (!options.output.empty()) {
            writer.Write(frame);
        }
        frames = frame.number;
    }
    printer.End(frames, engine.Stats(), engine.Sessions());
    std::string closeError;
    if (!writer.Close(&closeError)) {
        return Fail(closeError);
    }
    if (status < 0) {
        return Fail(error);
    }
    return 0;
}
