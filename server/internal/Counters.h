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

// Written by the event-loop thread, read by whoever asks for a snapshot; relaxed atomics are
// enough since each number stands alone.
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

    BusStats Snapshot() const;
    // One line with every non-zero counter, for the periodic and the final log.
    std::string Line() const;

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
    Counter m_BadInput{0};
    Counter m_SlowConsumer{0};
    Counter m_Idle{0};
    Counter m_RelayBroken{0};
};

} // namespace busd
