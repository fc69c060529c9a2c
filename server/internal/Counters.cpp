#include "server/internal/Counters.h"

#include "tessary/protocol/MessageHead.h"

#include <fmt/format.h>

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

void Counters::Closed(CloseCause cause) {
    m_Open.fetch_sub(1, std::memory_order_relaxed);
    switch (cause) {
    case CloseCause::BadInput:
        Add(m_BadInput);
        break;
    case CloseCause::SlowConsumer:
        Add(m_SlowConsumer);
        break;
    case CloseCause::Idle:
        Add(m_Idle);
        break;
    case CloseCause::RelayBroken:
        Add(m_RelayBroken);
        break;
    case CloseCause::PeerGone:
    case CloseCause::Replaced:
    case CloseCause::Shutdown:
        break;
    }
}

BusStats Counters::Snapshot() const {
    auto get = [](const Counter& c) { return c.load(std::memory_order_relaxed); };
    BusStats stats;
    stats.ConnectionsAccepted = get(m_Accepted);
    stats.ConnectionsOpen = get(m_Open);
    stats.Registrations = get(m_Registrations);
    for (size_t i = 0; i < m_FramesIn.size(); ++i) {
        const char* name = KindName(static_cast<FrameKind>(i));
        if (const uint64_t in = get(m_FramesIn[i]); in > 0) {
            stats.FramesInByType[name] = in;
            stats.FramesIn += in;
        }
        if (const uint64_t out = get(m_FramesOut[i]); out > 0) {
            stats.FramesOutByType[name] = out;
            stats.FramesOut += out;
        }
    }
    stats.BytesIn = get(m_BytesIn);
    stats.BytesOut = get(m_BytesOut);
    stats.Drops = get(m_Drops);
    stats.BadInputDisconnects = get(m_BadInput);
    stats.SlowConsumerDisconnects = get(m_SlowConsumer);
    stats.IdleDisconnects = get(m_Idle);
    stats.RelayBrokenDisconnects = get(m_RelayBroken);
    return stats;
}

std::string Counters::Line() const {
    const BusStats s = Snapshot();
    auto byType = [](const std::map<std::string, uint64_t>& counts) {
        std::string text;
        for (const auto& [name, count] : counts) {
            text += fmt::format("{}{} {}", text.empty() ? "" : ", ", name, count);
        }
        return text.empty() ? std::string() : " (" + text + ")";
    };
    return fmt::format(
        "busd: connections {} open, {} accepted, {} registrations; frames in {}{}, out {}{}; "
        "bytes in {}, out {}; drops {}; closed for bad input {}, slow consumer {}, idle {}, "
        "relay broken {}",
        s.ConnectionsOpen, s.ConnectionsAccepted, s.Registrations, s.FramesIn,
        byType(s.FramesInByType), s.FramesOut, byType(s.FramesOutByType), s.BytesIn, s.BytesOut,
        s.Drops, s.BadInputDisconnects, s.SlowConsumerDisconnects, s.IdleDisconnects,
        s.RelayBrokenDisconnects);
}

} // namespace busd
