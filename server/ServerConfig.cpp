#include "server/ServerConfig.h"

#include "tessary/setup/internal/Configuration.h"
#include "tessary/setup/internal/ModulePath.h"

#include <unistd.h>

#include <cstdlib>

namespace busd {

std::string SystemPath() {
    std::string path;
    if (const char* configured = std::getenv(Configuration::SystemPathVariable);
        configured != nullptr && *configured != '\0') {
        path = configured;
    } else {
        path = ModulePath::ExecutableDirectory().str();
    }
    if (!path.empty() && path.back() != '/' && path.back() != '\\') {
        path += '/';
    }
    return path;
}

ManagerSettings ReadManagerSettings() {
    return ReadManagerSettings(SystemPath() + Configuration::IniFileName);
}

ManagerSettings ReadManagerSettings(const std::string& iniPath) {
    // The library's own reader, so the daemon and its clients agree on every corner of the
    // file's syntax.
    const BUSServerSettings read = ReadBUSServerIni(iniPath.c_str());
    ManagerSettings settings;
    settings.CommandPort = read.CommandPort;
    settings.StatusPort = read.StatusPort;
    settings.NbOfBUSServer = read.NbOfBUSServer;
    settings.IniPath = iniPath;
    settings.IniFound = access(iniPath.c_str(), R_OK) == 0;
    return settings;
}

} // namespace busd
