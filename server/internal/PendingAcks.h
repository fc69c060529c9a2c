#pragma once

#include "tessary/protocol/MessageHead.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace busd {

class Connection;

// Sends waiting for their acknowledgement: for each receiver connection and MessageID, who
// sent it. Message numbers come from each sending process's own counter, so two senders may
// use the same number towards one receiver; CallerID and the sender's id (which the receiver
// copies into the acknowledgement) tell them apart.
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

    void Add(uint64_t receiver, const MessageHead& sent, const std::shared_ptr<Connection>& sender,
             Clock::time_point deadline);
    // The sender waiting for this acknowledgement from receiver, removed from the table;
    // empty when nobody waits (a post's acknowledgement, or a sender that gave up).
    std::shared_ptr<Connection> Take(uint64_t receiver, const MessageHead& ack);
    // Everyone still waiting on a receiver that has gone.
    std::vector<Waiter> TakeAll(uint64_t receiver);
    // Forgets sends whose sender stopped waiting long ago.
    void Expire(Clock::time_point now);
    size_t Size() const;

private:
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

    std::unordered_map<Key, std::vector<Waiter>, KeyHash> m_Waiting;
    // Which MessageIDs wait per receiver, so a receiver that goes is found without a scan.
    std::unordered_map<uint64_t, std::vector<uint32_t>> m_ByReceiver;
};

} // namespace busd
