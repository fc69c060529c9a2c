#pragma once

#include <string>

namespace busd {

// The bus servers' part of BUSServer.Manager.INI, section BUSServer, with the library's
// defaults: the daemon and the library must agree on the ports without being told twice.
struct ManagerSettings {
    int CommandPort = 6630;
    int StatusPort = 6631;
    int NbOfBUSServer = 4;
    std::string IniPath;
    bool IniFound = false;
};

// The directory the library takes its configuration from: TESSARY_SYSTEM_PATH, else the
// directory of the running program; always ends in '/'. Unlike the library's start-up it
// logs nothing when the variable is not set: the daemon has not chosen its log level yet.
std::string SystemPath();

// Reads the INI in SystemPath(). A missing file or key keeps its default; a value that is not
// a number reads as 0, as the library reads it. Writes no log line, so it may run before the
// log level is chosen.
ManagerSettings ReadManagerSettings();
ManagerSettings ReadManagerSettings(const std::string& iniPath);

} // namespace busd
