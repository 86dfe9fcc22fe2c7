// The guard's counters (the JSON line of `merrowfaldine-ctl stats`) in the Prometheus text
// exposition format, for a node exporter's textfile collector or any scraper.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

// Every counter of a stats line, with HELP and TYPE lines, under the merrowfaldine_ prefix;
// `up` is 1 for a guard that answered, 0 when none did (then `stats` is ignored).
std::string PrometheusText(const nlohmann::json& stats, bool up);
