#pragma once

#include "tessary/Export.h"

#include <cstdint>
#include <string>

// Where the bus servers of a host listen, as every client of the bus reads it: the defaults,
// overridden by the BUSServer section of BUSServer.Manager.INI. Programs that serve or watch
// the bus read the same file the same way, so nobody has to be told the ports twice.
struct BusSettings {
    int32_t CommandPort = 6630;
    int32_t StatusPort = 6631;
    int32_t NbOfBUSServer = 4;
    // The file read, and whether it could be read.
    std::string IniPath;
    bool IniFound = false;
};

// The INI file of the bus: in the directory TESSARY_SYSTEM_PATH names, else in the running
// program's directory. Writes no log line, so it may run before a log is chosen.
TESSARY_EXPORT std::string BusSettingsPath();

// Reads the INI file at iniPath. A missing file or key keeps its default; a value that is not a
// number reads as 0. Writes no log line.
TESSARY_EXPORT BusSettings ReadBusSettings(const std::string& iniPath);
