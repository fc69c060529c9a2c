#include "server/internal/PendingAcks.h"

#include <tuple>

namespace busd {

void PendingAcks::Append(std::vector<Entry>& slots, Chain& chain, Link Entry::*link,
                         uint32_t slot) {
    (slots[slot].*link) = {chain.last, None};
    if (chain.last != None) {
        (slots[chain.last].*link).next = slot;
    } else {
        chain.first = slot;
    }
    chain.last = slot;
    ++chain.count;
}

void PendingAcks::Unlink(std::vector<Entry>& slots, Chain& chain, Link Entry::*link,
                         uint32_t slot) {
    const Link l = slots[slot].*link;
    if (l.prev != None) {
        (slots[l.prev].*link).next = l.next;
    } else {
        chain.first = l.next;
    }
    if (l.next != None) {
        (slots[l.next].*link).prev = l.prev;
    } else {
        chain.last = l.prev;
    }
    --chain.count;
}

void PendingAcks::Add(uint64_t receiver, const MessageHead& sent,
                      const std::shared_ptr<Connection>& sender, uint64_t senderId,
                      Clock::time_point deadline) {
    // Room is made before the new entry goes in, so neither chain ever holds more than the
    // limit.
    if (const auto it = m_ByReceiver.find(receiver);
        it != m_ByReceiver.end() && it->second.count >= m_Limit) {
        Remove(it->second.first);
    }
    if (const auto it = m_BySender.find(senderId);
        it != m_BySender.end() && it->second.count >= m_Limit) {
        Remove(it->second.first);
    }
    uint32_t slot;
    if (!m_Free.empty()) {
        slot = m_Free.back();
        m_Free.pop_back();
    } else {
        slot = static_cast<uint32_t>(m_Slots.size());
        m_Slots.emplace_back();
    }
    Entry& entry = m_Slots[slot];
    entry.waiter = {sent.MessageID, sent.CallerID, IdFieldText(sent.SourceID), sender, deadline};
    entry.receiver = receiver;
    entry.sender = senderId;
    entry.seq = ++m_LastSeq;
    Append(m_Slots, m_ByReceiver[receiver], &Entry::byReceiver, slot);
    Append(m_Slots, m_BySender[senderId], &Entry::bySender, slot);
    m_ByKey.emplace(Key{receiver, sent.MessageID}, slot);
    m_ByDeadline.emplace(deadline, slot);
    ++m_Live;
}

void PendingAcks::Remove(uint32_t slot) {
    Entry& entry = m_Slots[slot];
    const auto range = m_ByKey.equal_range({entry.receiver, entry.waiter.MessageID});
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == slot) {
            m_ByKey.erase(it);
            break;
        }
    }
    for (auto [index, link, owner] : {std::tuple{&m_ByReceiver, &Entry::byReceiver, entry.receiver},
                                      std::tuple{&m_BySender, &Entry::bySender, entry.sender}}) {
        const auto it = index->find(owner);
        Unlink(m_Slots, it->second, link, slot);
        if (it->second.count == 0) {
            index->erase(it);
        }
    }
    m_ByDeadline.erase({entry.waiter.Deadline, slot});
    entry.waiter = {};
    m_Free.push_back(slot);
    --m_Live;
}

std::shared_ptr<Connection> PendingAcks::Take(uint64_t receiver, const MessageHead& ack) {
    const auto range = m_ByKey.equal_range({receiver, ack.MessageID});
    if (range.first == range.second) {
        return nullptr;
    }
    const std::string addressee = IdFieldText(ack.TargetID);
    uint32_t chosen = None;
    for (auto it = range.first; it != range.second; ++it) {
        const Waiter& w = m_Slots[it->second].waiter;
        if (w.CallerID == ack.CallerID && w.SourceID == addressee) {
            chosen = it->second;
            break;
        }
        // A receiver that does not echo the fields exactly still answers the oldest send.
        if (chosen == None || m_Slots[it->second].seq < m_Slots[chosen].seq) {
            chosen = it->second;
        }
    }
    std::shared_ptr<Connection> sender = m_Slots[chosen].waiter.Sender.lock();
    Remove(chosen);
    return sender;
}

std::vector<PendingAcks::Waiter> PendingAcks::TakeAll(uint64_t receiver) {
    std::vector<Waiter> all;
    const auto it = m_ByReceiver.find(receiver);
    if (it == m_ByReceiver.end()) {
        return all;
    }
    all.reserve(it->second.count);
    // Remove erases the chain with its last entry, so the next slot is read before.
    for (uint32_t slot = it->second.first; slot != None;) {
        const uint32_t next = m_Slots[slot].byReceiver.next;
        Waiter waiter = m_Slots[slot].waiter;
        Remove(slot);
        all.push_back(std::move(waiter));
        slot = next;
    }
    return all;
}

void PendingAcks::DropSender(uint64_t senderId) {
    const auto it = m_BySender.find(senderId);
    if (it == m_BySender.end()) {
        return;
    }
    for (uint32_t slot = it->second.first; slot != None;) {
        const uint32_t next = m_Slots[slot].bySender.next;
        Remove(slot);
        slot = next;
    }
}

bool PendingAcks::Expire(Clock::time_point now, size_t budget) {
    for (; budget > 0 && !m_ByDeadline.empty() && m_ByDeadline.begin()->first <= now; --budget) {
        Remove(m_ByDeadline.begin()->second);
    }
    return !m_ByDeadline.empty() && m_ByDeadline.begin()->first <= now;
}

} // namespace busd
