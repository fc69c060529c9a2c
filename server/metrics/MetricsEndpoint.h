#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace busd {

class BusServer;

// The bus server's HTTP endpoint for monitoring:
//   /metrics  the counters of every bus server in the Prometheus text format
//   /healthz  200 "ok" while every bus server listens on both its ports, else 503 naming those
//             that do not
//   /connz    the open connections as JSON
// It serves on threads of its own and sees the bus only through BusServer's snapshots (atomic
// counters, and a connection list the event loop makes when asked), so the relay never waits
// on a request. Start it after the bus and stop it before.
class MetricsEndpoint {
public:
    explicit MetricsEndpoint(const BusServer& bus);
    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;
    ~MetricsEndpoint();

    // Listens on host:port (port 0: any free port, read back with Port()). False, with the
    // reason in error, when the address cannot be bound.
    bool Start(const std::string& host, int port, std::string& error);
    // Safe to call twice or before Start. Waits for requests under way; an idle kept-alive
    // connection can hold it up to the keep-alive time-out.
    void Stop();
    int Port() const { return m_Port; }

private:
    const BusServer& m_Bus;
    std::unique_ptr<httplib::Server> m_Server;
    std::thread m_Thread;
    std::atomic<bool> m_Ended{false};
    int m_Port = 0;
};

} // namespace busd
