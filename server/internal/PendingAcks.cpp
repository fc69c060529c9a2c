#include "server/internal/PendingAcks.h"

#include <algorithm>

namespace busd {

void PendingAcks::Add(uint64_t receiver, const MessageHead& sent,
                      const std::shared_ptr<Connection>& sender, Clock::time_point deadline) {
    auto& waiters = m_Waiting[{receiver, sent.MessageID}];
    if (waiters.empty()) {
        m_ByReceiver[receiver].push_back(sent.MessageID);
    }
    waiters.push_back({sent.MessageID, sent.CallerID, IdFieldText(sent.SourceID), sender, deadline});
}

std::shared_ptr<Connection> PendingAcks::Take(uint64_t receiver, const MessageHead& ack) {
    const auto it = m_Waiting.find({receiver, ack.MessageID});
    if (it == m_Waiting.end()) {
        return nullptr;
    }
    auto& waiters = it->second;
    const std::string addressee = IdFieldText(ack.TargetID);
    auto match = std::find_if(waiters.begin(), waiters.end(), [&](const Waiter& w) {
        return w.CallerID == ack.CallerID && w.SourceID == addressee;
    });
    if (match == waiters.end()) {
        // A receiver that does not echo the fields exactly still answers the oldest send.
        match = waiters.begin();
    }
    std::shared_ptr<Connection> sender = match->Sender.lock();
    waiters.erase(match);
    if (waiters.empty()) {
        m_Waiting.erase(it);
        auto& ids = m_ByReceiver[receiver];
        std::erase(ids, ack.MessageID);
        if (ids.empty()) {
            m_ByReceiver.erase(receiver);
        }
    }
    return sender;
}

std::vector<PendingAcks::Waiter> PendingAcks::TakeAll(uint64_t receiver) {
    std::vector<Waiter> all;
    const auto it = m_ByReceiver.find(receiver);
    if (it == m_ByReceiver.end()) {
        return all;
    }
    for (const uint32_t id : it->second) {
        const auto w = m_Waiting.find({receiver, id});
        if (w != m_Waiting.end()) {
            std::move(w->second.begin(), w->second.end(), std::back_inserter(all));
            m_Waiting.erase(w);
        }
    }
    m_ByReceiver.erase(it);
    return all;
}

void PendingAcks::Expire(Clock::time_point now) {
    for (auto it = m_Waiting.begin(); it != m_Waiting.end();) {
        std::erase_if(it->second, [&](const Waiter& w) {
            return w.Deadline <= now || w.Sender.expired();
        });
        if (it->second.empty()) {
            auto& ids = m_ByReceiver[it->first.Receiver];
            std::erase(ids, it->first.MessageID);
            if (ids.empty()) {
                m_ByReceiver.erase(it->first.Receiver);
            }
            it = m_Waiting.erase(it);
        } else {
            ++it;
        }
    }
}

size_t PendingAcks::Size() const {
    size_t n = 0;
    for (const auto& [key, waiters] : m_Waiting) {
        n += waiters.size();
    }
    return n;
}

} // namespace busd
