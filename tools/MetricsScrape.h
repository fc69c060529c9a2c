#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tool {

// One bus server's figures, keyed by metric name without "tessary_" ("frames_in_total",
// "queued_bytes"); a metric split by other labels (type, cause) is summed.
using Figures = std::map<std::string, double>;

// Figures of each bus server from text in the Prometheus text format, index k for the series
// labelled server="k". Lines that are not samples of a bus server are passed over.
std::vector<Figures> ParseMetrics(const std::string& text);

// The name of a counter's rate ("frames_in_total" -> "frames_in_per_second"); empty for a
// figure that is not a counter.
std::string RateName(const std::string& figure);

// One reading of a bus's metrics endpoint.
struct Scrape {
    std::chrono::steady_clock::time_point Time;
    std::vector<Figures> Servers;
    // /connz's list of connections.
    nlohmann::json Connections;
};

// Reads /metrics and /connz of the endpoint at url ("http://host:port", a path after it is
// ignored); nothing, with the reason in error, when either cannot be read.
std::optional<Scrape> ReadScrape(const std::string& url, std::string& error);

} // namespace tool
