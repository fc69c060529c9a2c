#include "server/internal/Counters.h"

#include "tessary/protocol/shared/MessageHead.h"

#include <fmt/format.h>

#include <algorithm>

namespace busd {

FrameKind KindOf(uint32_t type) {
    switch (type) {
    case HeadType::Message:
        return FrameKind::Message;
    case HeadType::Listen:
        return FrameKind::Listen;
    case HeadType::MessageAlt:
        return FrameKind::MessageAlt;
    case HeadType::Heartbeat:
        return FrameKind::Heartbeat;
    case HeadType::Heartbeat1Minute:
        return FrameKind::Heartbeat1Minute;
    case HeadType::Heartbeat5Minute:
        return FrameKind::Heartbeat5Minute;
    case HeadType::Ack:
        return FrameKind::Ack;
    case HeadType::Enquiry:
        return FrameKind::Enquiry;
    case HeadType::UniqueSourceID:
        return FrameKind::UniqueSourceID;
    case HeadType::Setting:
        return FrameKind::Setting;
    case HeadType::Subscribe:
        return FrameKind::Subscribe;
    case HeadType::Reply:
        return FrameKind::Reply;
    case HeadType::SYNC:
        return FrameKind::SYNC;
    case HeadType::Failed:
        return FrameKind::Failed;
    case HeadType::Error:
        return FrameKind::Error;
    default:
        return FrameKind::Other;
    }
}

const char* KindName(FrameKind kind) {
    static constexpr const char* names[] = {
        "Message", "Listen",  "MessageAlt",     "Heartbeat", "Heartbeat1Minute", "Heartbeat5Minute",
        "Ack",     "Enquiry", "UniqueSourceID", "Setting",   "Subscribe",        "Reply",
        "SYNC",    "Failed",  "Error",          "Other"};
    static_assert(std::size(names) == static_cast<size_t>(FrameKind::Count));
    return names[static_cast<size_t>(kind)];
}

const char* CloseCauseName(CloseCause cause) {
    static constexpr const char* names[] = {"peer_gone",    "bad_input", "slow_consumer", "idle",
                                            "relay_broken", "replaced",  "shutdown"};
    static_assert(std::size(names) == CloseCauseCount);
    return names[static_cast<size_t>(cause)];
}

void Counters::Closed(CloseCause cause) {
    m_Open.fetch_sub(1, std::memory_order_relaxed);
    Add(m_Closed[static_cast<size_t>(cause)]);
}

void Counters::AddTo(BusStats& stats) const {
    auto get = [](const Counter& c) { return c.load(std::memory_order_relaxed); };
    stats.ConnectionsAccepted += get(m_Accepted);
    stats.ConnectionsOpen += get(m_Open);
    stats.Registrations += get(m_Registrations);
    for (size_t i = 0; i < m_FramesIn.size(); ++i) {
        const char* name = KindName(static_cast<FrameKind>(i));
        if (const uint64_t in = get(m_FramesIn[i]); in > 0) {
            stats.FramesInByType[name] += in;
            stats.FramesIn += in;
        }
        if (const uint64_t out = get(m_FramesOut[i]); out > 0) {
            stats.FramesOutByType[name] += out;
            stats.FramesOut += out;
        }
    }
    stats.BytesIn += get(m_BytesIn);
    stats.BytesOut += get(m_BytesOut);
    stats.Drops += get(m_Drops);
    for (size_t i = 0; i < m_Closed.size(); ++i) {
        if (const uint64_t closed = get(m_Closed[i]); closed > 0) {
            stats.ClosedByCause[CloseCauseName(static_cast<CloseCause>(i))] += closed;
        }
    }
    stats.QueuedBytes += get(m_Queued);
    stats.QueuedBytesHighWater = std::max(stats.QueuedBytesHighWater, get(m_QueuedHigh));
    for (const auto& listening : m_Listening) {
        stats.ListenersDown += listening.load() ? 0 : 1;
    }
    stats.RemoteMessagesOut += get(m_RemoteMessagesOut);
    stats.RemoteMessagesIn += get(m_RemoteMessagesIn);
    stats.RemoteBytesOut += get(m_RemoteBytesOut);
    stats.RemoteBytesIn += get(m_RemoteBytesIn);
    stats.RemoteExpiries += get(m_RemoteExpiries);
    stats.ClusterReconnects += get(m_ClusterReconnects);
}

std::string StatsLine(const BusStats& s) {
    auto byType = [](const std::map<std::string, uint64_t>& counts) {
        std::string text;
        for (const auto& [name, count] : counts) {
            text += fmt::format("{}{} {}", text.empty() ? "" : ", ", name, count);
        }
        return text.empty() ? std::string() : " (" + text + ")";
    };
    auto closed = [&](CloseCause cause) {
        const auto it = s.ClosedByCause.find(CloseCauseName(cause));
        return it == s.ClosedByCause.end() ? uint64_t{0} : it->second;
    };
    std::string line = fmt::format(
        "busd: connections {} open, {} accepted, {} registrations; frames in {}{}, out {}{}; "
        "bytes in {}, out {}; drops {}; closed for bad input {}, slow consumer {}, idle {}, "
        "relay broken {}",
        s.ConnectionsOpen, s.ConnectionsAccepted, s.Registrations, s.FramesIn,
        byType(s.FramesInByType), s.FramesOut, byType(s.FramesOutByType), s.BytesIn, s.BytesOut,
        s.Drops, closed(CloseCause::BadInput), closed(CloseCause::SlowConsumer),
        closed(CloseCause::Idle), closed(CloseCause::RelayBroken));
    // A node alone says nothing of a cluster.
    if (s.RemoteMessagesOut + s.RemoteMessagesIn + s.RemoteExpiries + s.ClusterReconnects > 0) {
        line += fmt::format("; cluster messages out {}, in {}, bytes out {}, in {}, expired "
                            "receivers {}, reconnects {}",
                            s.RemoteMessagesOut, s.RemoteMessagesIn, s.RemoteBytesOut,
                            s.RemoteBytesIn, s.RemoteExpiries, s.ClusterReconnects);
    }
    return line;
}

} // namespace busd
