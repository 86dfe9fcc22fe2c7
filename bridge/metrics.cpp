#include "metrics.h"

namespace {

struct Sample {
    const char* labels; // "" or {name="value"}
    const char* side;   // the stats object the key is in, or nullptr for the top level
    const char* key;
};

struct Metric {
    const char* name;
    const char* help;
    Sample samples[2];
};

const Sample None = {nullptr, nullptr, nullptr};

#define PER_SIDE(key)                                                                              \
    {                                                                                              \
        {"{from=\"network\"}", "from_network", key}, {                                             \
            "{from=\"server\"}", "from_server", key                                                \
        }                                                                                          \
    }

const Metric Counters[] = {
    {"merrowfaldine_smb_packets_total",
     "SMB packets the engine inspected, by direction as seen by the file server",
     {{"{direction=\"inbound\"}", nullptr, "smb_inbound_packets"},
      {"{direction=\"outbound\"}", nullptr, "smb_outbound_packets"}}},
    {"merrowfaldine_smb_bytes_total",
     "Bytes of the SMB packets the engine inspected",
     {{"{direction=\"inbound\"}", nullptr, "smb_inbound_bytes"},
      {"{direction=\"outbound\"}", nullptr, "smb_outbound_bytes"}}},
    {"merrowfaldine_frames_forwarded_total", "Frames forwarded, by the side they came from",
     PER_SIDE("frames")},
    {"merrowfaldine_forwarded_bytes_total", "Bytes of the frames forwarded", PER_SIDE("bytes")},
    {"merrowfaldine_frames_rewritten_total",
     "Frames the engine rewrote (spoiled requests and denied answers)", PER_SIDE("rewritten")},
    {"merrowfaldine_frames_offloaded_checksum_total",
     "Frames whose sender left the checksum to the hardware", PER_SIDE("offloaded_checksums")},
    {"merrowfaldine_frames_vlan_tagged_total", "Frames forwarded with a VLAN tag",
     PER_SIDE("vlan_tagged")},
    {"merrowfaldine_frames_oversize_total", "Frames larger than a ring slot, not forwarded",
     PER_SIDE("oversize")},
    {"merrowfaldine_frames_lost_total",
     "Frames the outgoing link refused (down, or full for a second)", PER_SIDE("lost")},
    {"merrowfaldine_frames_ring_full_total",
     "Frames the kernel could not deliver because the receive ring was full",
     PER_SIDE("ring_full")},
    {"merrowfaldine_frames_passed_in_kernel_total",
     "TCP frames of neither SMB port passed to the other interface in the kernel",
     PER_SIDE("passed_in_kernel")},
    {"merrowfaldine_policy_loads_total",
     "Policies applied since the guard started",
     {{"", nullptr, "policy_loads"}, None}},
    {"merrowfaldine_events_written_total",
     "Event lines written to the events output",
     {{"", nullptr, "events_written"}, None}},
    {"merrowfaldine_events_dropped_total",
     "Event lines lost: the queue was full or the events output closed",
     {{"", nullptr, "events_dropped"}, None}},
    {"merrowfaldine_event_write_errors_total",
     "Failed writes of event lines (each line is tried again)",
     {{"", nullptr, "event_write_errors"}, None}},
};

// Values that go up and down.
const Metric Gauges[] = {
    {"merrowfaldine_events_waiting",
     "Event lines queued and not yet written",
     {{"", nullptr, "events_waiting"}, None}},
};

#undef PER_SIDE

// Each metric of `table` with the samples the stats hold, as Prometheus families of `type`.
template <size_t N>
void AppendFamilies(const Metric (&table)[N], const char* type, const nlohmann::json& stats,
                    std::string* out) {
    for (const Metric& m : table) {
        std::string lines;
        for (const Sample& s : m.samples) {
            if (s.key == nullptr) {
                continue;
            }
            const nlohmann::json* from = &stats;
            if (s.side != nullptr) {
                auto side = stats.find(s.side);
                from = side != stats.end() ? &*side : nullptr;
            }
            if (from == nullptr || !from->is_object()) {
                continue;
            }
            auto value = from->find(s.key);
            if (value == from->end() || !value->is_number_integer() || value->get<int64_t>() < 0) {
                continue;
            }
            lines += std::string(m.name) + s.labels + " " + std::to_string(value->get<uint64_t>()) +
                     "\n";
        }
        if (!lines.empty()) {
            *out += std::string("# HELP ") + m.name + " " + m.help + "\n# TYPE " + m.name + " " +
                    type + "\n" + lines;
        }
    }
}

} // namespace

std::string PrometheusText(const nlohmann::json& stats, bool up) {
    std::string out = "# HELP merrowfaldine_up Whether the guard answered on its control socket\n"
                      "# TYPE merrowfaldine_up gauge\n"
                      "merrowfaldine_up " +
                      std::string(up ? "1" : "0") + "\n";
    if (!up || !stats.is_object()) {
        return out;
    }
    AppendFamilies(Counters, "counter", stats, &out);
    AppendFamilies(Gauges, "gauge", stats, &out);
    return out;
}
