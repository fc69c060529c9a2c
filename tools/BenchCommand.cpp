#include "tools/BenchCommand.h"

#include "tools/BenchRun.h"
#include "tools/Format.h"
#include "tools/Progress.h"
#include "tools/Table.h"

#include "server/BusServer.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>

namespace tool {

namespace {

constexpr int64_t MiB = 1ll << 20;
// The payload is allocated once per sender and a BLOB's size travels as an int.
constexpr int64_t MaxSize = 1ll << 30;

std::string Latency(int64_t nanoseconds) {
    return FormatSeconds(static_cast<double>(nanoseconds) / 1e9);
}

class BenchCommand : public Command {
public:
    explicit BenchCommand(CLI::App& parent)
        : Command(parent.add_subcommand(
              "bench", "Measure send, post or BLOB rates and latencies: N senders against one "
                       "receiver in this process, through an embedded bus unless --external or "
                       "--host/--command-port/--status-port name an existing one")) {
        const std::map<std::string, BenchMode> modes{
            {"send", BenchMode::Send}, {"post", BenchMode::Post}, {"blob", BenchMode::BLOB},
            {"stream", BenchMode::Stream}};
        m_App
            ->add_option("--mode", m_Settings.Mode,
                         "send: acknowledged messages; post: messages the bus server accepts "
                         "(done when the receiver has them all); blob: SendBLOB, acknowledged; "
                         "stream: the same BLOB streamed in writes of 1 MiB, acknowledged")
            ->transform(CLI::CheckedTransformer(modes, CLI::ignore_case))
            ->default_str("send");
        m_App->add_option("--clients", m_Settings.Clients, "Sender threads, each its own client")
            ->capture_default_str()
            ->check(CLI::Range(1, 256));
        m_App
            ->add_option("--duration", m_Settings.DurationSeconds,
                         "Seconds to run (default 5; no limit when only --count is given)")
            ->check(CLI::Range(0.01, 86400.0));
        m_App->add_option("--count", m_Settings.Count,
                          "Operations of all senders together; the run stops once they are done")
            ->check(CLI::Range(uint64_t{1}, uint64_t{1} << 62));
        m_App
            ->add_option("--size", m_SizeText,
                         "Message body (send, post) or BLOB size in bytes; 64K, 1M ... accepted "
                         "(default 16 for messages, 1M for BLOBs; at most 1G)")
            ->check(CLI::Validator(
                [](std::string& text) {
                    const auto size = ParseByteSize(text);
                    return size && *size <= MaxSize ? std::string()
                                                    : std::string("not a size up to 1G: ") + text;
                },
                "SIZE"));
        m_App
            ->add_option("--timeout", m_Settings.TimeOutMs,
                         "Milliseconds to wait for each acknowledgement (send, blob)")
            ->capture_default_str()
            ->check(CLI::Range(1, 86400000));
        m_App
            ->add_option("--warmup", m_Settings.Warmup,
                         "Operations per sender before the clock starts (default: 1 BLOB or "
                         "1000 messages)")
            ->check(CLI::Range(int64_t{0}, int64_t{1} << 30));
        m_App->add_flag("--tcp-nodelay", m_Settings.TcpNoDelay,
                        "Set TCP_NODELAY on the senders' and the receiver's connections");
        m_App->add_flag("--json", m_Json, "Print one JSON object with the results, nothing else");
        m_App->add_flag("--external", m_External,
                        "Use the bus at --host and the configured ports instead of starting one "
                        "(implied by --host, --command-port, --status-port and "
                        "--receiver-status-port)");
        m_App
            ->add_option("--receiver-status-port", m_ReceiverStatusPort,
                         "Register the receiver on the bus with this status port (on --host) "
                         "instead of the senders' bus, e.g. another node of a federation")
            ->check(CLI::Range(1, 65535));
        AddBusOptions(*m_App, m_Bus);
    }

    int Run() override {
        const bool external = m_External || m_App->count("--host") > 0 ||
                              m_App->count("--command-port") > 0 ||
                              m_App->count("--status-port") > 0 || m_ReceiverStatusPort > 0;
        if (m_App->count("--duration") == 0 && m_Settings.Count > 0) {
            m_Settings.DurationSeconds = 0;
        }
        const int64_t size = m_SizeText.empty() ? -1 : ParseByteSize(m_SizeText).value_or(-1);
        if (IsBLOB()) {
            m_Settings.Size = size < 0 ? MiB : size;
            if (m_Settings.Size == 0) {
                std::fprintf(stderr, "tessary bench: a BLOB needs at least one byte\n");
                return 2;
            }
        } else {
            m_Settings.Size = size < 0 ? 16 : size;
        }
        if (m_Settings.Warmup < 0) {
            // TCP grows its buffers over the first megabytes of a connection; one BLOB or a
            // thousand messages get past that, as any fair yardstick does first.
            const uint64_t messages = m_Settings.Count > 0 ? m_Settings.Count / 10 : 1000;
            m_Settings.Warmup =
                IsBLOB() ? 1 : static_cast<int64_t>(std::min<uint64_t>(messages, 1000));
        }

        PrepareLibrary(m_Bus);
        // Declared before the run, so that the receiver leaves before its bus does.
        std::unique_ptr<busd::BusServer> server;
        if (!external) {
            busd::BusServerOptions options;
            options.CommandPort = 0;
            options.StatusPort = 0;
            options.NbOfBUSServer = m_Bus.Servers;
            options.MaxFrameBytes = std::max(options.MaxFrameBytes, m_Settings.Size + MiB);
            server = std::make_unique<busd::BusServer>(options);
            if (!server->Start()) {
                std::fprintf(stderr, "tessary bench: the embedded bus did not start\n");
                return 1;
            }
            m_Bus.Host = options.BindAddress;
            m_Bus.CommandPort = server->CommandPort();
            m_Bus.StatusPort = server->StatusPort();
            m_Bus.MaxFrameBytes = options.MaxFrameBytes;
        }

        BusOptions receiverBus = m_Bus;
        if (m_ReceiverStatusPort > 0) {
            receiverBus.StatusPort = m_ReceiverStatusPort;
        }
        BenchRun run(m_Bus, receiverBus, m_Settings);
        std::string error;
        if (!run.StartReceiver(error)) {
            std::fprintf(stderr, "tessary bench: %s\n", error.c_str());
            return 1;
        }
        LiveLine line(!m_Json && StdoutIsTerminal());
        const BenchResult result = run.Run([&](uint64_t operations, double seconds) {
            line.Show(ProgressText(operations, seconds));
        });
        line.Clear();

        if (m_Json) {
            std::printf("%s\n", Json(result, external).c_str());
        } else {
            PrintTable(result, external);
        }
        std::fflush(stdout);
        if (result.Errors > 0) {
            std::fprintf(stderr, "tessary bench: %llu operations failed; the first: %s\n",
                         static_cast<unsigned long long>(result.Errors),
                         result.FirstError.c_str());
            return 1;
        }
        return 0;
    }

private:
    bool IsBLOB() const {
        return m_Settings.Mode == BenchMode::BLOB || m_Settings.Mode == BenchMode::Stream;
    }

    std::string ProgressText(uint64_t operations, double seconds) const {
        const double rate = seconds > 0 ? static_cast<double>(operations) / seconds : 0.0;
        std::string text = fmt::format("{}  {} x {}  {} ops  {} ops/s", BenchModeName(m_Settings.Mode),
                                       m_Settings.Clients, FormatBytes(m_Settings.Size),
                                       FormatCount(static_cast<double>(operations)),
                                       FormatCount(rate));
        if (IsBLOB()) {
            text += "  " + FormatRate(rate * static_cast<double>(m_Settings.Size));
        }
        return text + "  " + FormatSeconds(seconds);
    }

    double Rate(const BenchResult& result) const {
        return result.Seconds > 0 ? static_cast<double>(result.Operations) / result.Seconds : 0.0;
    }

    std::string Json(const BenchResult& result, bool external) const {
        const double rate = Rate(result);
        auto micros = [](int64_t ns) { return static_cast<double>(ns) / 1e3; };
        nlohmann::json json = {
            {"mode", BenchModeName(m_Settings.Mode)},
            {"clients", m_Settings.Clients},
            {"size", m_Settings.Size},
            {"count", result.Operations},
            {"errors", result.Errors},
            {"seconds", result.Seconds},
            {"rate_per_s", rate},
            {"mb_per_s", rate * static_cast<double>(m_Settings.Size) / 1e6},
            {"p50_us", micros(result.Latency.P50)},
            {"p90_us", micros(result.Latency.P90)},
            {"p99_us", micros(result.Latency.P99)},
            {"max_us", micros(result.Latency.Max)},
            {"mean_us", result.Latency.Mean / 1e3},
            {"bus", external ? "external" : "embedded"},
            {"servers", m_Bus.Servers},
        };
        if (!result.FirstError.empty()) {
            json["first_error"] = result.FirstError;
        }
        return json.dump();
    }

    void PrintTable(const BenchResult& result, bool external) const {
        std::printf("%s: %d sender%s, %s each, through %s bus (%d bus server%s at %s:%d)\n",
                    BenchModeName(m_Settings.Mode), m_Settings.Clients,
                    m_Settings.Clients == 1 ? "" : "s", FormatBytes(m_Settings.Size).c_str(),
                    external ? "the" : "an embedded", m_Bus.Servers,
                    m_Bus.Servers == 1 ? "" : "s", m_Bus.Host.c_str(), m_Bus.CommandPort);
        using A = Table::Align;
        const Table table({{"operations", 10, A::Right},
                           {"errors", 6, A::Right},
                           {"time", 8, A::Right},
                           {"ops/s", 8, A::Right},
                           {"MB/s", 8, A::Right},
                           {"p50", 8, A::Right},
                           {"p90", 8, A::Right},
                           {"p99", 8, A::Right},
                           {"max", 8, A::Right}});
        const double rate = Rate(result);
        std::fputs(table.Header().c_str(), stdout);
        std::fputs(table.Row({std::to_string(result.Operations), std::to_string(result.Errors),
                              FormatSeconds(result.Seconds), FormatCount(rate),
                              fmt::format("{:.1f}", rate * static_cast<double>(m_Settings.Size) /
                                                        1e6),
                              Latency(result.Latency.P50), Latency(result.Latency.P90),
                              Latency(result.Latency.P99), Latency(result.Latency.Max)})
                       .c_str(),
                   stdout);
        if (m_Settings.Mode == BenchMode::Post) {
            std::printf("latency of a post: until the bus server took it; the time runs until "
                        "the receiver had them all\n");
        }
    }

    BusOptions m_Bus;
    BenchSettings m_Settings;
    std::string m_SizeText;
    bool m_Json = false;
    bool m_External = false;
    int m_ReceiverStatusPort = 0;
};

} // namespace

std::unique_ptr<Command> MakeBenchCommand(CLI::App& parent) {
    return std::make_unique<BenchCommand>(parent);
}

} // namespace tool
