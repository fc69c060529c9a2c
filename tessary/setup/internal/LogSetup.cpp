#include "tessary/setup/internal/LogSetup.h"

#include "tessary/external/Log.h"
#include "tessary/setup/internal/FileVersionInfo.h"
#include "tessary/setup/internal/ModulePath.h"

using ORVEX::Log::_XDWLog;

namespace {

void EmptyLine() {
    _XDWLog log;
    log.NewLine();
}

} // namespace

const char* LogSetup::BuildStamp() {
    return "BUSClient Build @ " __DATE__ ", " __TIME__;
}

void LogSetup::SetLogFileName(const char* name) {
    PrepareLog(name);

    CFileVersionInfo version;
    if (version.Create(ModulePath::LibraryFile().c_str())) {
        EmptyLine();
        _debug("BUS.Client Version : %d.%d.%d.%d", version.FileVersionPart(0),
               version.FileVersionPart(1), version.FileVersionPart(2), version.FileVersionPart(3));
        EmptyLine();
    }
    version.Reset();

    _info("%s      (64-bit)", BuildStamp());
    EmptyLine();
}
