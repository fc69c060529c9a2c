#include "tools/BusOptions.h"

#include "tessary/client/Client.h"
#include "tessary/setup/BusSettings.h"

#include <CLI/CLI.hpp>
#include <cstdlib>

namespace tool {

using ORVEX::Tessary::Controller::Client;

void AddBusOptions(CLI::App& command, BusOptions& options) {
    command.add_option("--host", options.Host, "Address of the bus servers' host")
        ->capture_default_str();
    command
        .add_option("--command-port", options.CommandPort,
                    "Command port of bus server 0 (default: CommandPort of "
                    "BUSServer.Manager.INI, else 6630)")
        ->check(CLI::Range(1, 65535));
    command
        .add_option("--status-port", options.StatusPort,
                    "Status port of bus server 0 (default: StatusPort of "
                    "BUSServer.Manager.INI, else 6631)")
        ->check(CLI::Range(1, 65535));
    command
        .add_option("--servers", options.Servers,
                    "Number of bus servers (default: NbOfBUSServer of BUSServer.Manager.INI, "
                    "else 4)")
        ->check(CLI::Range(1, 1024));
    command.add_option("--log-file", options.LogFile, "Write the library's log to this file");
    command.add_flag("-v,--verbose", options.Verbose,
                     "Show the library's warnings and errors (or TESSARY_LOG_LEVEL's level) "
                     "on stderr");
}

void PrepareLibrary(BusOptions& options) {
    const bool logAsked = options.Verbose || std::getenv("TESSARY_LOG_LEVEL") != nullptr ||
                          std::getenv("TESSARY_LOG_TRAFFIC") != nullptr;
    if (!options.LogFile.empty()) {
        Client::SetLogFileName(options.LogFile.c_str());
    } else if (!logAsked) {
        // The level is read at the first log line, so it is set before anything logs; errors
        // still cost their formatting, and go nowhere.
        setenv("TESSARY_LOG_LEVEL", "error", 1);
        Client::SetLogFileName("/dev/null");
    }
    Client::Prepare();
    if (options.CommandPort == 0) {
        options.CommandPort = Client::GetDefCommandPort();
    }
    if (options.StatusPort == 0) {
        options.StatusPort = Client::GetDefStatusPort();
    }
    if (options.Servers == 0) {
        options.Servers = ReadBusSettings(BusSettingsPath()).NbOfBUSServer;
    }
}

} // namespace tool
