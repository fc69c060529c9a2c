#pragma once

#include "server/BusServer.h"

#include <string>
#include <vector>

namespace busd {

// The counters of each bus server (servers[k] is bus server k) in the Prometheus text format:
// one family a figure, one series a bus server, labelled server="k". Frame types and close
// causes are listed whether seen or not, so that every series exists from the first scrape and
// a rate over it never starts with a gap.
std::string MetricsText(const std::vector<BusStats>& servers);

// The media type of that text.
inline constexpr const char* MetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

} // namespace busd
