#include "tests/support/NatsServers.h"
#include "tests/support/LoopbackPeer.h"
#include "testkit/RawClient.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

std::string NatsServers::Binary() {
    std::string dirs = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    std::istringstream path(dirs + ":/usr/sbin:/usr/local/sbin");
    for (std::string dir; std::getline(path, dir, ':');) {
        const std::filesystem::path candidate = std::filesystem::path(dir) / "nats-server";
        if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
    }
    return {};
}

bool NatsServers::Start(int count) {
    std::vector<int> routePorts;
    for (int i = 0; i < count; ++i) {
        m_Ports.push_back(LoopbackPeer::ClosedPort());
        routePorts.push_back(LoopbackPeer::ClosedPort());
    }
    for (int i = 0; i < count; ++i) {
        std::vector<std::string> argv = {Binary(), "-a", "127.0.0.1", "-p",
                                         std::to_string(m_Ports[i])};
        if (count > 1) {
            std::string routes;
            for (int j = 0; j < count; ++j) {
                if (j != i) {
                    routes += (routes.empty() ? "" : ",") + std::string("nats://127.0.0.1:") +
                              std::to_string(routePorts[j]);
                }
            }
            argv.insert(argv.end(), {"--cluster_name", "tessary-test", "--cluster",
                                     "nats://127.0.0.1:" + std::to_string(routePorts[i]),
                                     "--routes", routes});
        }
        m_Servers.push_back(std::make_unique<ChildProcess>(argv));
    }
    for (int i = 0; i < count; ++i) {
        if (!Eventually([&] { return RawClient(m_Ports[i]).IsOpen(); }, std::chrono::seconds(5))) {
            return false;
        }
    }
    return true;
}
