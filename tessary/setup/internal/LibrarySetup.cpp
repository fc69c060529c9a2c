#include "tessary/setup/internal/LibrarySetup.h"

#include "tessary/external/Log.h"
#include "tessary/external/WString.h"
#include "tessary/protocol/internal/Command2String.h"
#include "tessary/setup/internal/Configuration.h"
#include "tessary/setup/internal/ModulePath.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

using ORVEX::Log::_XDWLog;

namespace {

// The registry read that the environment variable stands for offers 256 bytes: a longer value
// does not fit and counts as a failed read.
constexpr size_t kSystemPathValueSize = 256;

std::once_flag g_SystemInitOnce;

uint32_t CurrentThreadId() {
    return static_cast<uint32_t>(gettid());
}

constexpr const char* RegistryFailure = "RegOpenKeyEx failed";

// Why a set value cannot serve as the system path (an errno), or 0 when it can.
int UnusableValue(const char* value) {
    const size_t length = std::strlen(value);
    if (length == 0) {
        return ENOENT;
    }
    return length < kSystemPathValueSize ? 0 : ENAMETOOLONG;
}

bool EndsInSeparator(const DString& path) {
    const int length = path.GetLength();
    return length > 0 && (path.c_str()[length - 1] == '/' || path.c_str()[length - 1] == '\\');
}

} // namespace

void LibrarySetup::SystemInitOnce() {
    std::call_once(g_SystemInitOnce, &LibrarySetup::SystemInit);
}

DString LibrarySetup::GetSystemPath() {
    DString path;
    try {
        const char* value = std::getenv(Configuration::SystemPathVariable);
        if (value == nullptr) {
            // The variable stands for a registry key; left unset is the ordinary case here,
            // not a fault, so the key's line is only for whoever reads at debug level.
            _debug("%s", DString().FormatMsg(ENOENT, RegistryFailure).c_str());
        } else if (const int error = UnusableValue(value); error != 0) {
            // Set but not taken: whoever set it meant something else to happen.
            _error("%s", DString().FormatMsg(error, RegistryFailure).c_str());
        } else {
            path = value;
        }
        if (path.IsEmpty()) {
            path = ModulePath::ExecutableDirectory();
        }
        if (path.IsEmpty()) {
            path = ".";
        }
        if (!EndsInSeparator(path) && path.GetLength() < Configuration::SystemPathSize - 1) {
            path += '/';
        }
    } catch (...) {
        _fatal("Error of exception at GetSystemPath, Registry Access");
    }
    return path;
}

void LibrarySetup::SystemInit() {
    _debug("Enter BUSClient.SystemInit");
    // Sockets need no process-wide start-up here.
    Configuration::SetInitialisingThread(CurrentThreadId());

    Configuration::SetSystemPath(GetSystemPath().c_str());
    const DString systemPath = Configuration::SystemPath();
    const DString iniPath = systemPath + Configuration::IniFileName;
    const BUSServerSettings settings = ReadBUSServerIni(iniPath.c_str());
    Configuration::SetDefaults(settings.CommandPort, settings.StatusPort, settings.NbOfBUSServer);
    Configuration::SetMaxFrameBytes(settings.MaxFrameBytes);

    // Names beside the executable win; the system path's file is the fall-back.
    const DString besideExecutable =
        ModulePath::ExecutableDirectory() + Configuration::CommandNamesFileName;
    if (Command2String::Load(WString(besideExecutable)) < 1) {
        Command2String::Load(WString(systemPath + Configuration::CommandNamesFileName));
    }

    _XDWLog log;
    log.NewLine();
    log << "SystemPath     : " << '[' << systemPath << ']';
    log.NewLine();
    log << "ConfigFileName : " << '[' << iniPath << ']';
    log.NewLine();
    log << "CommandPort    : " << '[' << Configuration::DefCommandPort() << ']';
    log.NewLine();
    log << "StatusPort     : " << '[' << Configuration::DefStatusPort() << ']';
    log.NewLine();
    log << "NbOfBUSServer  : " << '[' << Configuration::NbOfBUSServer() << ']';
    log.NewLine();
    log.NewLine();
}

void LibrarySetup::SystemExit() {
    _debug("Enter BUSClient.SystemExit");
    Command2String::Clear();
    if (CurrentThreadId() != Configuration::InitialisingThread()) {
        _error("!!! Leave BUSClient.SystemExit, different ThreadID !!!");
    }
}
