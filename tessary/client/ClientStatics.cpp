#include "tessary/client/Client.h"
#include "tessary/external/Log.h"
#include "tessary/protocol/internal/Command2String.h"
#include "tessary/receiver/BaseReceiver.h"
#include "tessary/setup/internal/Configuration.h"
#include "tessary/setup/internal/LibrarySetup.h"
#include "tessary/setup/internal/LogSetup.h"

#include <atomic>

namespace ORVEX::Tessary::Controller {

bool Client::bInited = false;
int Client::gDefMSTimeOut = Configuration::DefaultMSTimeOut;

// bInited and the time-outs are exported plain data; the library's own accesses go through
// atomic_ref so that clients constructed on several threads at once do not race on them.

void Client::Prepare() {
    try {
        if (!std::atomic_ref<bool>(bInited).load(std::memory_order_acquire)) {
            LibrarySetup::SystemInitOnce();
            std::atomic_ref<bool>(bInited).store(true, std::memory_order_release);
        }
    } catch (...) {
        _fatal("Client::Prepare failed");
    }
}

void Client::Quit() {
    try {
        LibrarySetup::SystemExit();
    } catch (...) {
        _fatal("Client::Quit failed");
    }
}

int Client::SetDefTimeOut(int msTimeOut) {
    const int previous = std::atomic_ref<int>(gDefMSTimeOut).exchange(msTimeOut);
    std::atomic_ref<int>(BaseReceiver::gDefMSTimeOut).store(msTimeOut);
    try {
        _debug("Leave SetDefTimeOut, to %d", msTimeOut);
        if (msTimeOut < 1000) {
            ORVEX::Log::_XDWLog log(ORVEX::Log::_XDWLog::SeverityWarning);
            log << "SetDefTimeOut, msTimeOut may be too small : " << msTimeOut;
        }
    } catch (...) {
        // Only the log lines are lost.
    }
    return previous;
}

int Client::GetDefCommandPort() {
    return Configuration::DefCommandPort();
}

int Client::GetDefStatusPort() {
    return Configuration::DefStatusPort();
}

void Client::SetLogFileName(const char* name) {
    try {
        LogSetup::SetLogFileName(name);
    } catch (...) {
        _fatal("Client::SetLogFileName failed");
    }
}

DString Client::Command2String(int command) {
    try {
        return ::Command2String::Lookup(command);
    } catch (...) {
        return DString();
    }
}

} // namespace ORVEX::Tessary::Controller
