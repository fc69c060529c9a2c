#include "server/metrics/MetricsEndpoint.h"

#include "server/BusServer.h"
#include "server/metrics/MetricsText.h"

#include <fmt/format.h>
#include <httplib.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>

namespace busd {

namespace {

// A scrape and a health check at once; more would only be more threads idling.
constexpr size_t ServerThreads = 2;
// How long /connz waits for the event loop to list the connections.
constexpr auto ConnectionsWait = std::chrono::seconds(2);

std::vector<BusStats> PerServer(const BusServer& bus) {
    std::vector<BusStats> servers;
    for (int k = 0; k < bus.NbOfBUSServer(); ++k) {
        servers.push_back(bus.Stats(k));
    }
    return servers;
}

// Empty while every bus server listens; else one line for each that does not.
std::string Unhealthy(const BusServer& bus) {
    if (!bus.IsRunning()) {
        return "bus servers stopped\n";
    }
    std::string text;
    for (int k = 0; k < bus.NbOfBUSServer(); ++k) {
        if (bus.Stats(k).ListenersDown > 0) {
            text += fmt::format("bus server {} not listening (command port {}, status port {})\n",
                                k, bus.CommandPort(k), bus.StatusPort(k));
        }
    }
    return text;
}

std::string ConnectionsJson(const std::vector<ConnectionInfo>& connections) {
    nlohmann::json list = nlohmann::json::array();
    for (const ConnectionInfo& c : connections) {
        list.push_back({{"server", c.Server},
                        {"id", c.Id},
                        {"kind", c.Kind},
                        {"peer", c.Peer},
                        {"registered_id", c.SourceId},
                        {"bytes_in", c.BytesIn},
                        {"bytes_out", c.BytesOut},
                        {"queued_bytes", c.QueuedBytes},
                        {"age_seconds", c.AgeSeconds}});
    }
    // Ids are bytes from the wire: anything not UTF-8 is replaced rather than failing the page.
    return nlohmann::json{{"connections", list}}.dump(-1, ' ', false,
                                                      nlohmann::json::error_handler_t::replace);
}

} // namespace

MetricsEndpoint::MetricsEndpoint(const BusServer& bus) : m_Bus(bus) {}

MetricsEndpoint::~MetricsEndpoint() {
    Stop();
}

bool MetricsEndpoint::Start(const std::string& host, int port, std::string& error) {
    if (m_Server) {
        error = "already serving";
        return false;
    }
    auto server = std::make_unique<httplib::Server>();
    server->new_task_queue = [] { return new httplib::ThreadPool(ServerThreads); };
    // One request a connection: the library waits for a kept connection's next request by
    // polling it a hundred times a second or more, wake-ups that cost the relay's threads more
    // than a scraper's new connection every few seconds costs anyone.
    server->set_keep_alive_max_count(1);
    server->Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(MetricsText(PerServer(m_Bus)), MetricsContentType);
    });
    server->Get("/healthz", [this](const httplib::Request&, httplib::Response& response) {
        const std::string unhealthy = Unhealthy(m_Bus);
        response.status = unhealthy.empty() ? 200 : 503;
        response.set_content(unhealthy.empty() ? "ok\n" : unhealthy, "text/plain");
    });
    server->Get("/connz", [this](const httplib::Request&, httplib::Response& response) {
        const auto connections = m_Bus.Connections(ConnectionsWait);
        if (!connections) {
            response.status = 503;
            response.set_content("the event loop did not answer\n", "text/plain");
            return;
        }
        response.set_content(ConnectionsJson(*connections), "application/json");
    });

    errno = 0;
    m_Port =
        port == 0 ? server->bind_to_any_port(host) : (server->bind_to_port(host, port) ? port : -1);
    if (m_Port <= 0) {
        error = fmt::format("cannot listen on {}:{}{}{}", host, port, errno != 0 ? ": " : "",
                            errno != 0 ? std::strerror(errno) : "");
        m_Port = 0;
        return false;
    }
    m_Server = std::move(server);
    m_Ended = false;
    m_Thread = std::thread([this] {
        m_Server->listen_after_bind();
        m_Ended = true;
    });
    // The server's stop does nothing until its accept loop runs (which would then never end),
    // so Start returns only once the loop runs, or has already ended.
    while (!m_Server->is_running() && !m_Ended) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void MetricsEndpoint::Stop() {
    if (!m_Server) {
        return;
    }
    m_Server->stop();
    m_Thread.join();
    m_Server.reset();
    m_Port = 0;
}

} // namespace busd
