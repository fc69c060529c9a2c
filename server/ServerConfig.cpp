#include "server/ServerConfig.h"

#include <ini.h>

#include <strings.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

namespace busd {

namespace {

int Handler(void* user, const char* section, const char* name, const char* value) {
    auto* settings = static_cast<ManagerSettings*>(user);
    // Section and key names compare without regard to case, as the Windows INI reader does.
    if (strcasecmp(section, "BUSServer") != 0) {
        return 1;
    }
    if (strcasecmp(name, "CommandPort") == 0) {
        settings->CommandPort = std::atoi(value);
    } else if (strcasecmp(name, "StatusPort") == 0) {
        settings->StatusPort = std::atoi(value);
    } else if (strcasecmp(name, "NbOfBUSServer") == 0) {
        settings->NbOfBUSServer = std::atoi(value);
    }
    return 1;
}

} // namespace

std::string SystemPath() {
    std::string path;
    if (const char* configured = std::getenv("TESSARY_SYSTEM_PATH"); configured && *configured) {
        path = configured;
    } else {
        char exe[PATH_MAX];
        const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (n > 0) {
            path.assign(exe, static_cast<size_t>(n));
            path.erase(path.find_last_of('/') + 1);
        }
    }
    if (!path.empty() && path.back() != '/' && path.back() != '\\') {
        path += '/';
    }
    return path;
}

ManagerSettings ReadManagerSettings() {
    return ReadManagerSettings(SystemPath() + "BUSServer.Manager.INI");
}

ManagerSettings ReadManagerSettings(const std::string& iniPath) {
    ManagerSettings settings;
    settings.IniPath = iniPath;
    settings.IniFound = ini_parse(iniPath.c_str(), Handler, &settings) >= 0;
    return settings;
}

} // namespace busd
