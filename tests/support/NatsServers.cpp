#include "tests/support/NatsServers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace {

// A port the OS considers free now; another process may take it before the server does, which
// Start then reports.
int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

bool Accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

} // namespace

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
        m_Ports.push_back(FreePort());
        routePorts.push_back(FreePort());
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
        if (!Eventually([&] { return Accepts(m_Ports[i]); }, std::chrono::seconds(5))) {
            return false;
        }
    }
    return true;
}
