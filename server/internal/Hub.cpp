#include "server/internal/Hub.h"

#include "server/internal/BusInstance.h"
#include "server/internal/PortBinding.h"
#include "server/internal/federation/Federation.h"
#include "tessary/external/Log.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <future>
#include <system_error>

namespace busd {

Hub::Hub(const BusServerOptions& options)
    : m_Options(options), m_SweepTimer(m_Io), m_StatsTimer(m_Io) {
    for (int k = 0; k < m_Options.NbOfBUSServer; ++k) {
        m_Counters.push_back(std::make_unique<Counters>());
    }
}

Hub::~Hub() { Stop(); }

bool Hub::Start() {
    if (m_Running.load()) {
        _error("busd: already running");
        return false;
    }
    std::string error;
    auto bound = BindPorts(m_Io, m_Options.BindAddress, m_Options.CommandPort,
                           m_Options.StatusPort, m_Options.NbOfBUSServer, error);
    if (!bound) {
        _error("busd: %s", error.c_str());
        return false;
    }
    m_CommandBase = bound->CommandBase;
    m_StatusBase = bound->StatusBase;
    m_Instances.clear();
    for (int k = 0; k < m_Options.NbOfBUSServer; ++k) {
        m_Instances.push_back(std::make_unique<BusInstance>(
            *this, k, std::move(bound->Command[static_cast<size_t>(k)]),
            std::move(bound->Status[static_cast<size_t>(k)])));
    }
    m_Io.restart();
    m_Stopping = false;
    if (!m_Options.Cluster.Urls.empty()) {
        m_Federation = std::make_unique<Federation>(*this);
        if (!m_Federation->Start(error)) {
            _error("busd: cluster: %s", error.c_str());
            m_Federation.reset();
            m_Instances.clear();
            return false;
        }
    }
    // The loop is not running yet, so the first operations are started from here.
    for (const auto& instance : m_Instances) {
        instance->Start();
        _info("busd: bus server %d listening on %s, command port %d, status port %d",
              instance->Index(), m_Options.BindAddress.c_str(),
              instance->Port(Connection::Kind::Command), instance->Port(Connection::Kind::Status));
    }
    ScheduleSweep();
    ScheduleStats();
    try {
        m_Thread = std::thread([this] { RunLoop(); });
    } catch (const std::system_error& e) {
        _error("busd: cannot start the event-loop thread: %s", e.what());
        // Let the operations already started end here, so none outlives its bus server.
        m_Stopping = true;
        m_SweepTimer.cancel();
        m_StatsTimer.cancel();
        for (const auto& instance : m_Instances) {
            instance->Shutdown();
        }
        if (m_Federation) {
            m_Federation->Shutdown();
        }
        m_Io.run();
        m_Federation.reset();
        m_Instances.clear();
        return false;
    }
    pthread_setname_np(m_Thread.native_handle(), "busd");
    m_Running.store(true);
    return true;
}

void Hub::RunLoop() {
    // A handler that throws (memory exhausted, typically) loses its own work only; the loop
    // and every other connection carry on.
    for (;;) {
        try {
            RunEvents();
            return;
        } catch (const std::exception& e) {
            _error("busd: event loop: %s", e.what());
        }
    }
}

void Hub::RunEvents() {
    using Clock = std::chrono::steady_clock;
    Clock::time_point lastEvent = Clock::now();
    for (;;) {
        if (m_Io.poll() > 0) {
            lastEvent = Clock::now();
            continue;
        }
        if (m_Io.stopped()) {
            return;
        }
        const PollWindow::Duration window = m_MayPoll ? m_Poll.Get() : PollWindow::Duration{};
        if (Clock::now() - lastEvent < window) {
            // Whatever else wants this CPU goes first.
            sched_yield();
            continue;
        }
        const Clock::time_point before = Clock::now();
        if (m_Io.run_one() == 0) {
            return;
        }
        lastEvent = Clock::now();
        m_Poll.Slept(lastEvent - before);
    }
}

void Hub::Stop() {
    if (!m_Running.exchange(false)) {
        return;
    }
    // Everything closes on the loop's own thread; the loop then runs out of work and ends.
    asio::post(m_Io, [this] {
        m_Stopping = true;
        m_SweepTimer.cancel();
        m_StatsTimer.cancel();
        if (m_Federation) {
            m_Federation->Shutdown();
        }
        for (const auto& instance : m_Instances) {
            instance->Shutdown();
        }
    });
    m_Thread.join();
    m_Federation.reset();
    m_Instances.clear();
    _info("%s", StatsLine(Stats()).c_str());
}

void Hub::ScheduleSweep() {
    const int shortest = std::min({m_Options.IdleTimeoutMs, m_Options.SlowConsumerTimeoutMs,
                                   m_Options.StallTimeoutMs});
    m_SweepTimer.expires_after(std::chrono::milliseconds(std::clamp(shortest / 4, 10, 1000)));
    m_SweepTimer.async_wait([this](const std::error_code& error) {
        // A wait that completed just before the cancel must not start another.
        if (error || m_Stopping) {
            return;
        }
        const auto now = Connection::Clock::now();
        for (const auto& instance : m_Instances) {
            instance->Sweep(now);
        }
        ScheduleSweep();
    });
}

void Hub::ScheduleStats() {
    if (m_Options.StatsIntervalMs <= 0) {
        return;
    }
    m_StatsTimer.expires_after(std::chrono::milliseconds(m_Options.StatsIntervalMs));
    m_StatsTimer.async_wait([this](const std::error_code& error) {
        if (error || m_Stopping) {
            return;
        }
        _info("%s", StatsLine(Stats()).c_str());
        ScheduleStats();
    });
}

BusStats Hub::Stats() const {
    BusStats stats;
    for (const auto& counters : m_Counters) {
        counters->AddTo(stats);
    }
    return stats;
}

BusStats Hub::Stats(int k) const {
    BusStats stats;
    if (k >= 0 && static_cast<size_t>(k) < m_Counters.size()) {
        m_Counters[static_cast<size_t>(k)]->AddTo(stats);
    }
    return stats;
}

std::optional<std::vector<ConnectionInfo>> Hub::Connections(std::chrono::milliseconds wait) {
    if (!m_Running.load()) {
        return std::nullopt;
    }
    // The list is made on the loop's own thread, which alone touches the connections; the
    // promise is shared so that an answer that comes too late has somewhere to go.
    auto answer = std::make_shared<std::promise<std::vector<ConnectionInfo>>>();
    auto list = answer->get_future();
    asio::post(m_Io, [this, answer] {
        std::vector<ConnectionInfo> all;
        for (const auto& instance : m_Instances) {
            instance->Describe(all);
        }
        answer->set_value(std::move(all));
    });
    if (list.wait_for(wait) != std::future_status::ready) {
        return std::nullopt;
    }
    try {
        return list.get();
    } catch (const std::future_error&) {
        // The loop ended with the request still queued.
        return std::nullopt;
    }
}

std::string Hub::TakeUniqueId(const std::string& asked) {
    return m_UniqueIds.Take(asked, [this](const std::string& id) { return RegisteredAnywhere(id); });
}

bool Hub::RegisteredAnywhere(const std::string& id) const {
    return std::any_of(m_Instances.begin(), m_Instances.end(),
                       [&](const auto& instance) { return instance->IsRegistered(id); });
}

} // namespace busd
