#include "tessary/protocol/internal/BUSNetPDUProxy.h"

#include "tessary/external/Log.h"

#include <atomic>

namespace {

// Spreads the connections of all clients of the process over the bus servers.
std::atomic<uint32_t> gPortCounter{0};

} // namespace

uint32_t PortCounter() { return gPortCounter.load(); }

int ChooseCommandPort(int basePort, int NbOfPort) {
    if (NbOfPort <= 1) {
        return basePort;
    }
    const uint32_t k = (gPortCounter.fetch_add(1) + 1) % 256;
    const auto offset = static_cast<uint8_t>(2 * (k % static_cast<uint32_t>(NbOfPort)));
    return basePort + offset;
}

bool BUSNetPDUProxy::Connect(const char* host, int basePort, int NbOfPort) {
    int port = ChooseCommandPort(basePort, NbOfPort);
    ORVEX::Log::_XDWLog() << "Enter BUSNetPDUProxy::Connect, NbOfPort : " << NbOfPort
                          << ", will connect to " << '<' << host << ' ' << ':' << ' ' << port
                          << '>' << ' ';
    if (PDU->Connect(host, port)) {
        return true;
    }
    for (int32_t attempt = 0; attempt < RetryCount; ++attempt) {
        port = ChooseCommandPort(basePort, NbOfPort);
        if (PDU->Connect(host, port)) {
            return true;
        }
    }
    return false;
}
