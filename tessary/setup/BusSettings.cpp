#include "tessary/setup/BusSettings.h"

#include "tessary/setup/internal/Configuration.h"
#include "tessary/setup/internal/ModulePath.h"

#include <unistd.h>

#include <cstdlib>

std::string BusSettingsPath() {
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
    return path + Configuration::IniFileName;
}

BusSettings ReadBusSettings(const std::string& iniPath) {
    // The library's own reader, so every program agrees on every corner of the file's syntax.
    const BUSServerSettings read = ReadBUSServerIni(iniPath.c_str());
    BusSettings settings;
    settings.CommandPort = read.CommandPort;
    settings.StatusPort = read.StatusPort;
    settings.NbOfBUSServer = read.NbOfBUSServer;
    settings.IniPath = iniPath;
    settings.IniFound = access(iniPath.c_str(), R_OK) == 0;
    return settings;
}
