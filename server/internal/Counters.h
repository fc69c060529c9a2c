#pragma once

#include "server/BusServer.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

namespace busd {

enum class FrameKind {
    Message,
    Listen,
    MessageAlt,
    Heartbeat,
    Heartbeat1Minute,
    Heartbeat5Minute,
    Ack,
    Enquiry,
    UniqueSourceID,
    Setting,
    Subscribe,
    Reply,
    SYNC,
    Failed,
    Error,
    Other,
    Count
};

FrameKind KindOf(uint32_t type);
const char* KindName(FrameKind kind);

enum class CloseCause { PeerGone, BadInput, SlowConsumer, Idle, RelayBroken, Replaced, Shutdown };
// Kept out of the enumeration, so that a switch over the causes need not name it.
inline constexpr size_t CloseCauseCount = static_cast<size_t>(CloseCause::Shutdown) + 1;

// "peer_gone", "bad_input", ...: the key of BusStats::ClosedByCause.
const char* CloseCauseName(CloseCause cause);

// The counters of one bus server. Written by the event-loop thread, read by whoever asks for a
// snapshot (the metrics endpoint's threads among them); relaxed atomics are enough since each
// number stands alone.
class Counters {
public:
    void FrameIn(uint32_t type) { Add(m_FramesIn[Index(type)]); }
    void FrameOut(uint32_t type, uint64_t count = 1) { Add(m_FramesOut[Index(type)], count); }
    void BytesIn(uint64_t n) { Add(m_BytesIn, n); }
    void BytesOut(uint64_t n) { Add(m_BytesOut, n); }
    void Accepted() {
        Add(m_Accepted);
        Add(m_Open);
    }
    void Closed(CloseCause cause);
    void Registered() { Add(m_Registrations); }
    void Drop() { Add(m_Drops); }
    // Bytes entering and leaving the output queues. The event-loop thread is the only writer,
    // so a load and a store do without the locked add of the counters above.
    void Queued(uint64_t n) {
        const uint64_t now = m_Queued.load(std::memory_order_relaxed) + n;
        m_Queued.store(now, std::memory_order_relaxed);
        if (now > m_QueuedHigh.load(std::memory_order_relaxed)) {
            m_QueuedHigh.store(now, std::memory_order_relaxed);
        }
    }
    void Dequeued(uint64_t n) {
        m_Queued.store(m_Queued.load(std::memory_order_relaxed) - n, std::memory_order_relaxed);
    }
    // Whether the listener of a port (0 command, 1 status) takes connections; answers the
    // state before.
    bool SetListening(size_t port, bool up) { return m_Listening[port].exchange(up); }
    // The federation's, kept with bus server 0's counters; called from NATS's threads as
    // well as the event loop's.
    void RemoteOut(uint64_t bytes) {
        Add(m_RemoteMessagesOut);
        Add(m_RemoteBytesOut, bytes);
    }
    void RemoteIn(uint64_t bytes) {
        Add(m_RemoteMessagesIn);
        Add(m_RemoteBytesIn, bytes);
    }
    void RemoteExpired(uint64_t n) { Add(m_RemoteExpiries, n); }
    void ClusterReconnected() { Add(m_ClusterReconnects); }

    // Adds these counters to stats, so that one bus server's snapshot and the sum of all are
    // made the same way.
    void AddTo(BusStats& stats) const;

private:
    using Counter = std::atomic<uint64_t>;
    static void Add(Counter& c, uint64_t n = 1) { c.fetch_add(n, std::memory_order_relaxed); }
    static size_t Index(uint32_t type) { return static_cast<size_t>(KindOf(type)); }

    std::array<Counter, static_cast<size_t>(FrameKind::Count)> m_FramesIn{};
    std::array<Counter, static_cast<size_t>(FrameKind::Count)> m_FramesOut{};
    Counter m_BytesIn{0};
    Counter m_BytesOut{0};
    Counter m_Accepted{0};
    Counter m_Open{0};
    Counter m_Registrations{0};
    Counter m_Drops{0};
    std::array<Counter, CloseCauseCount> m_Closed{};
    Counter m_Queued{0};
    Counter m_QueuedHigh{0};
    std::array<std::atomic<bool>, 2> m_Listening{};
    Counter m_RemoteMessagesOut{0};
    Counter m_RemoteMessagesIn{0};
    Counter m_RemoteBytesOut{0};
    Counter m_RemoteBytesIn{0};
    Counter m_RemoteExpiries{0};
    Counter m_ClusterReconnects{0};
};

// One line with every counter of stats, for the periodic and the final log.
std::string StatsLine(const BusStats& stats);

} // namespace busd
