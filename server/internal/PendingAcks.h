#pragma once

#include "tessary/protocol/shared/MessageHead.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace busd {

class Connection;

// Sends waiting for their acknowledgement: for each receiver connection and MessageID, who
// sent it. Message numbers come from each sending process's own counter, so two senders may
// use the same number towards one receiver; CallerID and the sender's id (which the receiver
// copies into the acknowledgement) tell them apart.
//
// The table is bounded: each receiver and each sender connection has at most Limit sends
// waiting, and a send past it pushes that receiver's (or sender's) oldest one out, which is
// then forgotten exactly as if it had timed out. A receiver that never answers, or a sender
// that never waits, so costs a fixed amount of memory, and the sends of everyone else to a
// working receiver keep flowing. Every operation is O(log n) in the table's size, or O(k) in
// the entries of the one connection it concerns.
class PendingAcks {
public:
    using Clock = std::chrono::steady_clock;

    struct Waiter {
        uint32_t MessageID;
        uint32_t CallerID;
        std::string SourceID;
        std::weak_ptr<Connection> Sender;
        Clock::time_point Deadline;
    };

    explicit PendingAcks(size_t limit) : m_Limit(limit < 1 ? 1 : limit) {}

    void Add(uint64_t receiver, const MessageHead& sent, const std::shared_ptr<Connection>& sender,
             uint64_t senderId, Clock::time_point deadline);
    // The sender waiting for this acknowledgement from receiver, removed from the table;
    // empty when nobody waits (a post's acknowledgement, or a sender that gave up).
    std::shared_ptr<Connection> Take(uint64_t receiver, const MessageHead& ack);
    // Everyone still waiting on a receiver that has gone.
    std::vector<Waiter> TakeAll(uint64_t receiver);
    // A sender that has gone waits for nothing more.
    void DropSender(uint64_t senderId);
    // Forgets at most budget sends whose deadline has passed, earliest first; true when more
    // are due, so that the caller can come back after other work has had its turn.
    bool Expire(Clock::time_point now, size_t budget);
    size_t Size() const { return m_Live; }

private:
    static constexpr uint32_t None = UINT32_MAX;

    // Entries live in slots of one vector, linked into two lists in the order they came: the
    // ones of their receiver and the ones of their sender.
    struct Link {
        uint32_t prev = None;
        uint32_t next = None;
    };
    struct Chain {
        uint32_t first = None;
        uint32_t last = None;
        size_t count = 0;
    };
    struct Entry {
        Waiter waiter;
        uint64_t receiver = 0;
        uint64_t sender = 0;
        uint64_t seq = 0;
        Link byReceiver;
        Link bySender;
    };
    struct Key {
        uint64_t Receiver;
        uint32_t MessageID;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        size_t operator()(const Key& k) const {
            return std::hash<uint64_t>()(k.Receiver * 0x9E3779B97F4A7C15ull ^ k.MessageID);
        }
    };

    void Remove(uint32_t slot);
    static void Append(std::vector<Entry>& slots, Chain& chain, Link Entry::*link, uint32_t slot);
    static void Unlink(std::vector<Entry>& slots, Chain& chain, Link Entry::*link, uint32_t slot);

    size_t m_Limit;
    size_t m_Live = 0;
    uint64_t m_LastSeq = 0;
    std::vector<Entry> m_Slots;
    std::vector<uint32_t> m_Free;
    std::unordered_multimap<Key, uint32_t, KeyHash> m_ByKey;
    std::unordered_map<uint64_t, Chain> m_ByReceiver;
    std::unordered_map<uint64_t, Chain> m_BySender;
    std::set<std::pair<Clock::time_point, uint32_t>> m_ByDeadline;
};

} // namespace busd
