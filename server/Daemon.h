#pragma once

#include "server/BusServer.h"
#include "tessary/setup/BusSettings.h"

#include <string>

namespace CLI {
class App;
}

namespace busd {

// Everything the foreground bus server takes from its command line. Both tessary-busd and
// `tessary server` fill it through AddDaemonOptions, so the two stay one program.
struct DaemonSettings {
    BusServerOptions Options;
    BusSettings Ini;
    std::string LogLevel;
    std::string LogFile;
    // "[ADDR:]PORT" of the metrics endpoint; empty: none. ADDR defaults to the bus's address.
    std::string Metrics;
    std::string ConfigFile;
};

// Defaults: the library's ports and number of bus servers from BUSServer.Manager.INI.
DaemonSettings DefaultDaemonSettings();

// Adds the bus server's options to app (a program or a subcommand). The address flag is
// spelled both --bind and --host, so the tool's common flags work here too. --config FILE
// reads the same options from an INI file (key=value lines outside any section, the keys the
// long flags without their dashes); what the command line gives wins. A bad file makes the
// parse fail with a CLI::ParseError naming the key.
void AddDaemonOptions(CLI::App& app, DaemonSettings& settings);

// Runs the bus servers in the foreground until SIGINT or SIGTERM, printing one line per bus
// server (and one for the metrics endpoint) under the name program. Answers the process exit
// status: 0 after a clean stop, 1 when a port could not be bound. Call it before any other
// thread starts: it blocks the two signals for the whole process so that only its own wait
// receives them.
int RunDaemon(const DaemonSettings& settings, const char* program);

} // namespace busd
