#pragma once

#include <cstdint>
#include <string>

namespace CLI {
class App;
}

namespace tool {

// Where the bus is and where the library logs, the flags every bus-facing subcommand takes.
// A port or count left at 0 takes the library's configured default (BUSServer.Manager.INI in
// the system directory, else 6630, 6631 and 4) once PrepareLibrary has run.
struct BusOptions {
    std::string Host = "127.0.0.1";
    int CommandPort = 0;
    int StatusPort = 0;
    int Servers = 0;
    // The most bytes a receiver takes in one message; 0: the library's default.
    int64_t MaxFrameBytes = 0;
    std::string LogFile;
    bool Verbose = false;
};

void AddBusOptions(CLI::App& command, BusOptions& options);

// Chooses the log's destination, initialises the library and fills the defaults in options.
// Unless --log-file, --verbose or TESSARY_LOG_LEVEL / TESSARY_LOG_TRAFFIC ask for the log,
// the library's lines are kept off the terminal: the tool reports failures in its own words.
// Call once, before any client or receiver exists.
void PrepareLibrary(BusOptions& options);

} // namespace tool
