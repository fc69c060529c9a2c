#pragma once

#include "server/BusServer.h"
#include "server/internal/Connection.h"
#include "server/internal/PendingAcks.h"

#include <asio.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace busd {

class Hub;

// One bus server: a command port and a status port, the receivers registered on its status
// port, their subscriptions and the sends waiting for acknowledgements. It routes only among
// its own connections; receivers register on every bus server, so every client connection
// reaches every receiver.
class BusInstance {
public:
    BusInstance(Hub& hub, int index, asio::ip::tcp::acceptor command,
                asio::ip::tcp::acceptor status);
    BusInstance(const BusInstance&) = delete;
    BusInstance& operator=(const BusInstance&) = delete;

    void Start();
    // Closes the listeners, the timers and every connection.
    void Shutdown();

    Hub& GetHub() { return m_Hub; }
    const BusServerOptions& Options() const;
    Counters& GetCounters();
    int Index() const { return m_Index; }
    int Port(Connection::Kind kind) const;

    // Called by a connection with the head of each frame it reads, then at the frame's end.
    FramePlan OnHead(Connection& conn, const MessageHead& head);
    void OnFrameEnd(Connection& conn, const MessageHead& head, const FramePlan& plan,
                    const std::string& body, bool delivered);
    void Register(Connection& conn, const MessageHead& head);
    void OnClosed(Connection& conn);

    bool IsRegistered(const std::string& id) const;
    // For the federation, which announces local receivers and stands in for remote ones.
    void ForEachRegistered(
        const std::function<void(const std::string& id, const Connection& conn)>& visit) const;
    const std::unordered_map<int32_t, std::set<std::string>>& Subscribers() const {
        return m_Subscribers;
    }
    void Sweep(Connection::Clock::time_point now);
    // Appends every open connection of this bus server to into.
    void Describe(std::vector<ConnectionInfo>& into) const;

    // While a batch is open, connections given bytes to write are noted instead of each
    // posting its own write; they are written when the outermost batch closes.
    class Batch {
    public:
        explicit Batch(BusInstance& bus) : m_Bus(bus) { ++m_Bus.m_BatchDepth; }
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;
        ~Batch() { m_Bus.EndBatch(); }

    private:
        BusInstance& m_Bus;
    };
    bool InBatch() const { return m_BatchDepth > 0; }
    // A connection holds frames back until at most until (Connection::EnqueueHeld); the bus
    // server writes them then if nothing else has.
    void NoteHeld(Connection& conn, Connection::Clock::time_point until);
    void AddDirty(std::shared_ptr<Connection> conn) { m_Dirty.push_back(std::move(conn)); }

private:
    void EndBatch();
    // Forgets the sends whose deadline passed, a slice at a time so the loop never stalls on
    // a big table.
    void ExpirePending();
    void Accept(asio::ip::tcp::acceptor& acceptor, Connection::Kind kind);
    // True when the port's state changed.
    bool SetListening(Connection::Kind kind, bool up);
    void ScheduleHeartbeat(asio::steady_timer& timer, int periodMs, uint32_t type);
    std::shared_ptr<Connection> Registered(const std::string& id) const;
    std::shared_ptr<Connection> Find(const Connection& conn) const;
    FramePlan PlanMessage(const MessageHead& head);
    FramePlan PlanAck(Connection& conn, const MessageHead& head);
    void Answer(Connection& conn, uint32_t type, const MessageHead& request);
    // A send's Reply waits for the receiver's acknowledgement to leave with it, for ReplyHold
    // at most: a receiver that takes longer has its sender learn of the acceptance as before.
    void HoldReply(Connection& conn, const MessageHead& request);
    void ArmHoldTimer(Connection::Clock::time_point at);
    void ReleaseHeld();
    void ApplySetting(Connection& conn, const MessageHead& head, const std::string& body);

    Hub& m_Hub;
    const int m_Index;
    asio::ip::tcp::acceptor m_CommandAcceptor;
    asio::ip::tcp::acceptor m_StatusAcceptor;
    asio::steady_timer m_Heartbeat;
    asio::steady_timer m_Heartbeat1Minute;
    asio::steady_timer m_Heartbeat5Minute;
    // One per listener: a failed accept is retried after a pause instead of spinning.
    asio::steady_timer m_CommandRetry;
    asio::steady_timer m_StatusRetry;
    bool m_ShuttingDown = false;

    std::unordered_map<uint64_t, std::shared_ptr<Connection>> m_Connections;
    std::unordered_map<std::string, std::weak_ptr<Connection>> m_Registry;
    // Per command, the source ids subscribed to it; kept when a receiver goes, so it keeps
    // its subscriptions when it comes back (the library does not subscribe again).
    std::unordered_map<int32_t, std::set<std::string>> m_Subscribers;
    PendingAcks m_Pending;
    bool m_ExpiryPosted = false;
    asio::steady_timer m_HoldTimer;
    // When the timer is set to go off; max() while it is not set.
    Connection::Clock::time_point m_HoldTimerAt = Connection::Clock::time_point::max();
    std::vector<std::weak_ptr<Connection>> m_Holding;
    int m_BatchDepth = 0;
    std::vector<std::shared_ptr<Connection>> m_Dirty;
};

} // namespace busd
