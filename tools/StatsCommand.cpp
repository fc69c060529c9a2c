#include "tools/StatsCommand.h"

#include "tools/Format.h"
#include "tools/MetricsScrape.h"
#include "tools/StopSignals.h"
#include "tools/Table.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace tool {

namespace {

using Align = Table::Align;

// Where tessary-busd --metrics 6629 serves, the port the packaged configuration uses.
constexpr const char* DefaultMetricsUrl = "http://127.0.0.1:6629";
// The sampling interval of a single report, over which its rates are taken.
constexpr std::chrono::seconds DefaultInterval{1};

double Figure(const Figures& figures, const char* name) {
    const auto it = figures.find(name);
    return it == figures.end() ? 0 : it->second;
}

int64_t Bytes(const Figures& figures, const char* name) {
    return static_cast<int64_t>(Figure(figures, name));
}

// Each counter's increase per second between two scrapes of one bus server.
Figures Rates(const Figures& before, const Figures& now, double seconds) {
    Figures rates;
    for (const auto& [name, value] : now) {
        if (const std::string rate = RateName(name); !rate.empty() && seconds > 0) {
            rates[rate] = (value - Figure(before, name.c_str())) / seconds;
        }
    }
    return rates;
}

std::string TextReport(const Scrape& now, const std::vector<Figures>& rates, double seconds) {
    std::string text;
    Table servers({{"server", 6, Align::Right},
                   {"listening", 9},
                   {"open", 6, Align::Right},
                   {"accepted", 9, Align::Right},
                   {"registered", 10, Align::Right},
                   {"drops", 7, Align::Right},
                   {"closed", 7, Align::Right},
                   {"queued", 10, Align::Right},
                   {"queued max", 10, Align::Right}});
    text += servers.Header();
    for (size_t k = 0; k < now.Servers.size(); ++k) {
        const Figures& f = now.Servers[k];
        text += servers.Row({std::to_string(k), Figure(f, "listening") > 0 ? "yes" : "NO",
                             FormatCount(Figure(f, "connections_open")),
                             FormatCount(Figure(f, "connections_accepted_total")),
                             FormatCount(Figure(f, "registrations_total")),
                             FormatCount(Figure(f, "drops_total")),
                             FormatCount(Figure(f, "connections_closed_total")),
                             FormatBytes(Bytes(f, "queued_bytes")),
                             FormatBytes(Bytes(f, "queued_bytes_high_water"))});
    }

    text += fmt::format("\ntraffic, rates over {:.2f} s\n", seconds);
    Table traffic({{"server", 6, Align::Right},
                   {"frames in", 10, Align::Right},
                   {"/s", 9, Align::Right},
                   {"frames out", 10, Align::Right},
                   {"/s", 9, Align::Right},
                   {"bytes in", 10, Align::Right},
                   {"rate", 11, Align::Right},
                   {"bytes out", 10, Align::Right},
                   {"rate", 11, Align::Right}});
    text += traffic.Header();
    for (size_t k = 0; k < now.Servers.size(); ++k) {
        const Figures& f = now.Servers[k];
        const Figures& r = rates[k];
        text += traffic.Row({std::to_string(k), FormatCount(Figure(f, "frames_in_total")),
                             FormatCount(Figure(r, "frames_in_per_second")),
                             FormatCount(Figure(f, "frames_out_total")),
                             FormatCount(Figure(r, "frames_out_per_second")),
                             FormatBytes(Bytes(f, "bytes_in_total")),
                             FormatRate(Figure(r, "bytes_in_per_second")),
                             FormatBytes(Bytes(f, "bytes_out_total")),
                             FormatRate(Figure(r, "bytes_out_per_second"))});
    }

    text += fmt::format("\n{} connections\n", now.Connections.size());
    Table connections({{"server", 6, Align::Right},
                       {"kind", 7},
                       {"id", 16},
                       {"bytes in", 10, Align::Right},
                       {"bytes out", 10, Align::Right},
                       {"queued", 10, Align::Right},
                       {"age", 9, Align::Right},
                       {"peer"}});
    text += connections.Header();
    for (const auto& c : now.Connections) {
        text += connections.Row({std::to_string(c.value("server", 0)), c.value("kind", ""),
                                 c.value("registered_id", ""),
                                 FormatBytes(c.value("bytes_in", int64_t{0})),
                                 FormatBytes(c.value("bytes_out", int64_t{0})),
                                 FormatBytes(c.value("queued_bytes", int64_t{0})),
                                 FormatSeconds(c.value("age_seconds", 0.0)), c.value("peer", "")});
    }
    return text;
}

nlohmann::json JsonReport(const std::string& url, const Scrape& now,
                          const std::vector<Figures>& rates, double seconds) {
    nlohmann::json servers = nlohmann::json::array();
    for (size_t k = 0; k < now.Servers.size(); ++k) {
        nlohmann::json server(now.Servers[k]);
        server["server"] = k;
        server["rates"] = rates[k];
        servers.push_back(std::move(server));
    }
    return {{"metrics", url},
            {"interval_seconds", seconds},
            {"servers", std::move(servers)},
            {"connections", now.Connections}};
}

class StatsCommand : public Command {
public:
    explicit StatsCommand(CLI::App& parent)
        : Command(parent.add_subcommand(
              "stats", "Show a running tessary-busd's figures, rates and connections, read from "
                       "its --metrics endpoint")) {
        m_App->add_option("--metrics", m_Url, "The endpoint's URL")->capture_default_str();
        m_App->add_option("--watch", m_Watch,
                          "Report again every SECONDS until Ctrl-C (default: once, with rates "
                          "over one second)")
            ->check(CLI::Range(0.1, 86400.0));
        m_App->add_flag("--json", m_Json,
                        "Print one JSON object a report (every figure, rates per second, "
                        "connections), nothing else");
    }

    int Run() override {
        // Ctrl-C during --watch ends the command between two reports.
        StopSignals stop;
        std::string error;
        auto before = ReadScrape(m_Url, error);
        const auto interval =
            m_Watch > 0 ? std::chrono::milliseconds(static_cast<int64_t>(m_Watch * 1000))
                        : std::chrono::milliseconds(DefaultInterval);
        while (before) {
            if (stop.Wait(interval)) {
                return 0;
            }
            auto now = ReadScrape(m_Url, error);
            if (!now) {
                break;
            }
            const double seconds = std::chrono::duration<double>(now->Time - before->Time).count();
            std::vector<Figures> rates;
            for (size_t k = 0; k < now->Servers.size(); ++k) {
                rates.push_back(Rates(k < before->Servers.size() ? before->Servers[k] : Figures{},
                                      now->Servers[k], seconds));
            }
            const std::string report =
                m_Json ? JsonReport(m_Url, *now, rates, seconds).dump() + "\n"
                       : TextReport(*now, rates, seconds) + (m_Watch > 0 ? "\n" : "");
            std::fputs(report.c_str(), stdout);
            std::fflush(stdout);
            if (m_Watch <= 0) {
                return 0;
            }
            before = std::move(now);
        }
        std::fprintf(stderr, "tessary stats: %s\n", error.c_str());
        return 1;
    }

private:
    std::string m_Url = DefaultMetricsUrl;
    double m_Watch = 0;
    bool m_Json = false;
};

} // namespace

std::unique_ptr<Command> MakeStatsCommand(CLI::App& parent) {
    return std::make_unique<StatsCommand>(parent);
}

} // namespace tool
