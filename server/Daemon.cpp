#include "server/Daemon.h"

#include "server/metrics/MetricsEndpoint.h"
#include "tessary/external/Log.h"

#include <CLI/CLI.hpp>

#include <malloc.h>
#include <pthread.h>

#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace busd {

namespace {

// Splits "[ADDR:]PORT" (an IPv6 address in brackets); host is left as it is when ADDR is
// missing. False when the port is not a number from 0 to 65535.
bool ParseListenAddress(const std::string& text, std::string& host, int& port) {
    const size_t colon = text.rfind(':');
    const std::string portText = colon == std::string::npos ? text : text.substr(colon + 1);
    std::string hostText = colon == std::string::npos ? "" : text.substr(0, colon);
    if (hostText.size() >= 2 && hostText.front() == '[' && hostText.back() == ']') {
        hostText = hostText.substr(1, hostText.size() - 2);
    }
    int value = -1;
    const auto [end, error] =
        std::from_chars(portText.data(), portText.data() + portText.size(), value);
    if (error != std::errc() || end != portText.data() + portText.size() || value < 0 ||
        value > 65535) {
        return false;
    }
    if (!hostText.empty()) {
        host = hostText;
    }
    port = value;
    return true;
}

// Gives every option of app that the command line left out the value path's INI file has
// for it, through the option's own checks.
void ApplyConfigFile(CLI::App& app, const std::string& path) {
    for (const CLI::ConfigItem& item : CLI::ConfigINI().from_file(path)) {
        if (!item.parents.empty()) {
            throw CLI::ConfigError(path + ": " + item.fullname() +
                                   ": keys stand outside any section");
        }
        CLI::Option* option = app.get_option_no_throw("--" + item.name);
        if (option == nullptr || item.name == "config" || item.name == "help") {
            throw CLI::ConfigError(path + ": unknown key " + item.name);
        }
        if (option->empty()) {
            option->add_result(item.inputs);
            option->run_callback();
        }
    }
}

} // namespace

DaemonSettings DefaultDaemonSettings() {
    DaemonSettings settings;
    settings.Ini = ReadBusSettings(BusSettingsPath());
    settings.Options.CommandPort = settings.Ini.CommandPort;
    settings.Options.StatusPort = settings.Ini.StatusPort;
    settings.Options.NbOfBUSServer = settings.Ini.NbOfBUSServer;
    return settings;
}

void AddDaemonOptions(CLI::App& app, DaemonSettings& settings) {
    BusServerOptions& options = settings.Options;
    app.add_option("--bind,--host", options.BindAddress, "Address to listen on")
        ->capture_default_str();
    app.add_option("--command-port", options.CommandPort,
                   "Command port of bus server 0 (0: any free run of ports)")
        ->capture_default_str()
        ->check(CLI::Range(0, 65535));
    app.add_option("--status-port", options.StatusPort,
                   "Status port of bus server 0 (0: any free run of ports)")
        ->capture_default_str()
        ->check(CLI::Range(0, 65535));
    app.add_option("--servers", options.NbOfBUSServer, "Number of bus servers")
        ->capture_default_str()
        ->check(CLI::Range(1, 1024));
    app.add_option("--heart-rate", options.HeartRateMs, "Heartbeat period in milliseconds")
        ->capture_default_str()
        ->check(CLI::Range(1, 3600000));
    app.add_option("--max-frame", options.MaxFrameBytes,
                   "Largest body plus BLOB of one frame, in bytes")
        ->capture_default_str()
        ->check(CLI::Range(int64_t{0}, int64_t{1} << 40));
    app.add_option("--max-pending", options.MaxPendingBytes,
                   "Bytes queued for one connection before its sources are held back")
        ->capture_default_str()
        ->check(CLI::Range(int64_t{64 * 1024}, int64_t{1} << 40));
    app.add_option("--idle-timeout", options.IdleTimeoutMs,
                   "How long a new connection may stay silent, in milliseconds")
        ->capture_default_str()
        ->check(CLI::Range(10, 86400000));
    app.add_option("--stall-timeout", options.StallTimeoutMs,
                   "How long a BLOB or large body may relay less than 64 KiB before it is "
                   "abandoned, in milliseconds")
        ->capture_default_str()
        ->check(CLI::Range(10, 86400000));
    app.add_option("--max-pending-acks", options.MaxPendingAcks,
                   "Sends waiting for an acknowledgement per receiver and per sender; past it "
                   "the oldest is forgotten")
        ->capture_default_str()
        ->check(CLI::Range(1, 1 << 24));
    ClusterOptions& cluster = options.Cluster;
    app.add_option("--cluster", cluster.Urls,
                   "NATS servers to join other nodes through, URL[,URL...] (default: none, a "
                   "bus of its own)")
        ->delimiter(',');
    app.add_option("--node", cluster.NodeName,
                   "This node's name in the cluster (default: host name and command port)");
    app.add_option("--cluster-creds", cluster.CredsFile, "NATS credentials file")
        ->check(CLI::ExistingFile);
    app.add_option("--log-level", settings.LogLevel,
                   "debug, info, warning or error (default: TESSARY_LOG_LEVEL, else info in "
                   "a log file and warning on stderr)")
        ->check(CLI::IsMember({"debug", "info", "warning", "error"}));
    app.add_option("--log-file", settings.LogFile, "Write the log to this file");
    app.add_option("--metrics", settings.Metrics,
                   "Serve /metrics, /healthz and /connz over HTTP on [ADDR:]PORT (ADDR: the "
                   "--bind address; PORT 0: any free port, printed at start)")
        ->check(CLI::Validator(
            [](std::string& text) {
                std::string host;
                int port = 0;
                return ParseListenAddress(text, host, port) ? std::string()
                                                            : "expected [ADDR:]PORT, got " + text;
            },
            "[ADDR:]PORT"));
    app.add_option("--config", settings.ConfigFile,
                   "Read these options from an INI file: key=value lines, the keys as the long "
                   "flags (command-port=6630); the command line wins")
        ->check(CLI::ExistingFile);
    app.parse_complete_callback([&app, &settings] {
        if (!settings.ConfigFile.empty()) {
            ApplyConfigFile(app, settings.ConfigFile);
        }
    });
}

int RunDaemon(const DaemonSettings& settings, const char* program) {
    // The log reads its level once, at its first line, so it is chosen before anything logs.
    // Left to the log, a file gets info and the terminal only what is wrong: a healthy bus
    // says nothing there.
    if (!settings.LogLevel.empty()) {
        setenv("TESSARY_LOG_LEVEL", settings.LogLevel.c_str(), 1);
    }
    if (!settings.LogFile.empty()) {
        PrepareLog(settings.LogFile.c_str());
    }
    _info("busd: %s %s", settings.Ini.IniFound ? "read" : "no", settings.Ini.IniPath.c_str());

    if (!settings.Options.Cluster.Urls.empty()) {
        // A node passes BLOBs on in chunks of a quarter MiB, each a fresh allocation (in nats.c
        // and here) that glibc would otherwise map, fault in page by page and give back; kept
        // on the heap, with a few MiB left untrimmed, a cross-node BLOB moves nearly twice as
        // fast. The credit windows still bound what is in use.
        mallopt(M_MMAP_THRESHOLD, 1 << 20);
        mallopt(M_TRIM_THRESHOLD, 8 << 20);
    }
    std::signal(SIGPIPE, SIG_IGN);
    // Blocked before the event-loop thread starts, so it inherits the mask and the signals
    // reach only the sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    BusServer server(settings.Options);
    if (!server.Start()) {
        std::fprintf(stderr, "%s: could not start, see the log\n", program);
        return 1;
    }
    for (int k = 0; k < server.NbOfBUSServer(); ++k) {
        std::printf("%s: bus server %d on %s, command port %d, status port %d\n", program, k,
                    settings.Options.BindAddress.c_str(), server.CommandPort(k),
                    server.StatusPort(k));
    }
    MetricsEndpoint metrics(server);
    if (!settings.Metrics.empty()) {
        std::string host = settings.Options.BindAddress;
        int port = 0;
        std::string error;
        if (!ParseListenAddress(settings.Metrics, host, port)) {
            error = "expected [ADDR:]PORT, got " + settings.Metrics;
        }
        if (!error.empty() || !metrics.Start(host, port, error)) {
            std::fprintf(stderr, "%s: metrics endpoint: %s\n", program, error.c_str());
            server.Stop();
            return 1;
        }
        const bool v6 = host.find(':') != std::string::npos;
        std::printf("%s: metrics on http://%s%s%s:%d/metrics\n", program, v6 ? "[" : "",
                    host.c_str(), v6 ? "]" : "", metrics.Port());
        _info("busd: metrics on %s port %d", host.c_str(), metrics.Port());
    }
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    _info("busd: %s received, stopping", strsignal(signal));
    metrics.Stop();
    server.Stop();
    return 0;
}

} // namespace busd
