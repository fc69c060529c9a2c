// tessary-busd: hosts the bus servers that Tessary clients and receivers talk to.

#include "server/BusServer.h"
#include "server/ServerConfig.h"
#include "tessary/external/Log.h"

#include <CLI/CLI.hpp>

#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    const busd::ManagerSettings ini = busd::ReadManagerSettings();
    busd::BusServerOptions options;
    options.CommandPort = ini.CommandPort;
    options.StatusPort = ini.StatusPort;
    options.NbOfBUSServer = ini.NbOfBUSServer;
    std::string logLevel;
    std::string logFile;

    CLI::App app{"tessary-busd: the Tessary bus server. Bus server k listens on command port "
                 "+ 2k and status port + 2k; port defaults come from BUSServer.Manager.INI."};
    app.add_option("--bind", options.BindAddress, "Address to listen on")->capture_default_str();
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
    app.add_option("--log-level", logLevel,
                   "debug, info, warning or error (default: TESSARY_LOG_LEVEL, else info)")
        ->check(CLI::IsMember({"debug", "info", "warning", "error"}));
    app.add_option("--log-file", logFile, "Write the log to this file");
    CLI11_PARSE(app, argc, argv);

    // The log reads its level once, at its first line, so it is chosen before anything logs.
    if (!logLevel.empty()) {
        setenv("TESSARY_LOG_LEVEL", logLevel.c_str(), 1);
    } else if (std::getenv("TESSARY_LOG_LEVEL") == nullptr) {
        setenv("TESSARY_LOG_LEVEL", "info", 1);
    }
    if (!logFile.empty()) {
        PrepareLog(logFile.c_str());
    }
    _info("busd: %s %s", ini.IniFound ? "read" : "no", ini.IniPath.c_str());

    std::signal(SIGPIPE, SIG_IGN);
    // Blocked before the event-loop thread starts, so it inherits the mask and the signals
    // reach only the sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    busd::BusServer server(options);
    if (!server.Start()) {
        std::fprintf(stderr, "tessary-busd: could not start, see the log\n");
        return 1;
    }
    for (int k = 0; k < server.NbOfBUSServer(); ++k) {
        std::printf("tessary-busd: bus server %d on %s, command port %d, status port %d\n", k,
                    options.BindAddress.c_str(), server.CommandPort(k), server.StatusPort(k));
    }
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    _info("busd: %s received, stopping", strsignal(signal));
    server.Stop();
    return 0;
}
