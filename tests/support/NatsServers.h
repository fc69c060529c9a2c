#pragma once

#include "tests/support/ChildProcess.h"

#include <memory>
#include <string>
#include <vector>

// NATS servers for one test, on free loopback ports and, when there are several, clustered
// with each other by routes. The binary is looked for on PATH and in the sbin directories,
// where the Debian package puts it.
class NatsServers {
public:
    // Empty when nats-server is not installed.
    static std::string Binary();

    // Starts count servers and waits until each takes connections; false when one did not.
    bool Start(int count);
    std::string Url(int i) const { return "nats://127.0.0.1:" + std::to_string(m_Ports[i]); }
    // Kills server i, as a crash would.
    void Stop(int i) { m_Servers[static_cast<size_t>(i)].reset(); }

private:
    std::vector<std::unique_ptr<ChildProcess>> m_Servers;
    std::vector<int> m_Ports;
};
