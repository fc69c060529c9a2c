#include "tools/MetricsScrape.h"

#include <httplib.h>

#include <cstdlib>
#include <regex>
#include <string_view>

namespace tool {

namespace {

constexpr std::string_view CounterSuffix = "_total";
constexpr time_t ConnectSeconds = 2;
constexpr time_t ReadSeconds = 5;

} // namespace

std::vector<Figures> ParseMetrics(const std::string& text) {
    // name{labels} value: the labels hold server="k" for a bus server's series.
    static const std::regex sample(R"(^tessary_([a-z_]+)\{([^}]*)\} (\S+)$)");
    static const std::regex server(R"re((^|,)server="(\d+)")re");
    std::vector<Figures> servers;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        std::smatch fields;
        std::smatch label;
        if (!std::regex_match(line, fields, sample)) {
            continue;
        }
        const std::string labels = fields[2];
        if (!std::regex_search(labels, label, server)) {
            continue;
        }
        const size_t k = std::strtoul(label[2].str().c_str(), nullptr, 10);
        // A bus has a few bus servers; a label beyond any sane count is not one of them.
        if (k >= 4096) {
            continue;
        }
        if (servers.size() <= k) {
            servers.resize(k + 1);
        }
        servers[k][fields[1]] += std::strtod(fields[3].str().c_str(), nullptr);
    }
    return servers;
}

std::string RateName(const std::string& figure) {
    if (!figure.ends_with(CounterSuffix)) {
        return "";
    }
    return figure.substr(0, figure.size() - CounterSuffix.size()) + "_per_second";
}

std::optional<Scrape> ReadScrape(const std::string& url, std::string& error) {
    static const std::regex base(R"(^((https?://)?[^/]+))");
    std::smatch match;
    if (!std::regex_search(url, match, base)) {
        error = "not a URL: " + url;
        return std::nullopt;
    }
    httplib::Client client(match[1].str());
    client.set_connection_timeout(ConnectSeconds);
    client.set_read_timeout(ReadSeconds);
    Scrape scrape;
    scrape.Time = std::chrono::steady_clock::now();
    std::string pages[2];
    const char* paths[2] = {"/metrics", "/connz"};
    for (int i = 0; i < 2; ++i) {
        const auto result = client.Get(paths[i]);
        if (!result) {
            error = match[1].str() + paths[i] + ": " + httplib::to_string(result.error());
            return std::nullopt;
        }
        if (result->status != 200) {
            error = match[1].str() + paths[i] + ": HTTP status " + std::to_string(result->status);
            return std::nullopt;
        }
        pages[i] = result->body;
    }
    scrape.Servers = ParseMetrics(pages[0]);
    const auto connz = nlohmann::json::parse(pages[1], nullptr, false);
    if (scrape.Servers.empty() || connz.is_discarded() || !connz.contains("connections")) {
        error = match[1].str() + " does not look like a tessary-busd metrics endpoint";
        return std::nullopt;
    }
    scrape.Connections = connz["connections"];
    return scrape;
}

} // namespace tool
