#pragma once

#include "server/BusServer.h"
#include "server/internal/Counters.h"
#include "server/internal/PollWindow.h"
#include "server/internal/UniqueIds.h"

#include <asio.hpp>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace busd {

class BusInstance;
class Federation;

// Everything the bus servers of one process share: the event loop and its thread, the
// counters, the unique ids (an id must be unique across all of them, since receivers register
// on each) and the periodic sweep and counter log.
class Hub {
public:
    explicit Hub(const BusServerOptions& options);
    Hub(const Hub&) = delete;
    Hub& operator=(const Hub&) = delete;
    ~Hub();

    bool Start();
    void Stop();
    bool IsRunning() const { return m_Running.load(); }

    asio::io_context& Io() { return m_Io; }
    const BusServerOptions& Options() const { return m_Options; }
    // Bus server k's counters; they outlive its BusInstance, so they can be read after Stop.
    Counters& GetCounters(int k) { return *m_Counters[static_cast<size_t>(k)]; }
    BusStats Stats() const;
    BusStats Stats(int k) const;
    // Any thread; see BusServer::Connections.
    std::optional<std::vector<ConnectionInfo>> Connections(std::chrono::milliseconds wait);
    int CommandBase() const { return m_CommandBase; }
    int StatusBase() const { return m_StatusBase; }

    // Event-loop thread only.
    std::string TakeUniqueId(const std::string& asked);
    bool RegisteredAnywhere(const std::string& id) const;
    uint64_t NextConnectionId() { return ++m_LastConnectionId; }
    const std::vector<std::unique_ptr<BusInstance>>& Instances() const { return m_Instances; }
    // Told with each read whether its peer runs on another CPU than the loop: polling for
    // events, rather than sleeping, is for a loop that has its CPU to itself. Event-loop
    // thread only.
    void PeerElsewhere(bool elsewhere) { m_MayPoll = elsewhere; }

private:
    void RunLoop();
    // Runs handlers until the loop is out of work or stopped, polling for a while before it
    // sleeps while events come close together (PollWindow).
    void RunEvents();
    void ScheduleSweep();
    void ScheduleStats();

    BusServerOptions m_Options;
    // Declared first so it is destroyed last: pending handlers hold connections whose sockets
    // belong to it.
    asio::io_context m_Io;
    std::vector<std::unique_ptr<Counters>> m_Counters;
    UniqueIds m_UniqueIds;
    std::vector<std::unique_ptr<BusInstance>> m_Instances;
    // Only with a cluster to join; it outlives the loop so that NATS stops posting before the
    // io_context goes.
    std::unique_ptr<Federation> m_Federation;
    asio::steady_timer m_SweepTimer;
    asio::steady_timer m_StatsTimer;
    uint64_t m_LastConnectionId = 0;
    // Event-loop thread only (and Start, before the thread runs).
    bool m_Stopping = false;
    PollWindow m_Poll;
    bool m_MayPoll = false;
    int m_CommandBase = 0;
    int m_StatusBase = 0;
    std::thread m_Thread;
    // Written by Start and Stop (one application thread at a time), read by anyone.
    std::atomic<bool> m_Running{false};
};

} // namespace busd
