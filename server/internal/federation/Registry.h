#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace busd {

// One node's word about its receivers: ids (with the command codes they subscribed to) that
// registered, that are still there, or that went.
struct Announcement {
    enum class Op { Add, Refresh, Remove };
    struct Receiver {
        std::string Id;
        std::set<int32_t> Commands;
        bool operator==(const Receiver&) const = default;
    };

    std::string Node;
    Op What = Op::Refresh;
    std::vector<Receiver> Receivers;
};

std::string EncodeAnnouncement(const Announcement& announcement);
// Empty for anything that is not a well-formed announcement; ids longer than a source id and
// node names that could not be a subject token are refused.
std::optional<Announcement> DecodeAnnouncement(std::string_view text);
// Letters, digits, '-' and '_' only, at most 64 of them: the name ends a NATS subject.
bool IsNodeName(std::string_view name);

// The receivers of the other nodes as this node last heard of them. A new registration (Add)
// takes an id over from whichever node had it; a refresh only keeps its own node's entry
// alive, so two nodes with one id do not take it from each other every period.
class RemoteRegistry {
public:
    using Clock = std::chrono::steady_clock;

    struct Entry {
        std::string Node;
        std::set<int32_t> Commands;
        Clock::time_point Seen;
    };

    // True when an entry was added, moved or changed.
    bool Apply(const Announcement& announcement, Clock::time_point now);
    // The node said id is not there (any more); true when that removed an entry.
    bool Drop(const std::string& id, const std::string& node);
    // Forgets nodes and entries not heard of since now - lifetime; answers the nodes that went
    // and counts the ids that expired.
    std::vector<std::string> Expire(Clock::time_point now, Clock::duration lifetime,
                                    size_t& expiredIds);

    const Entry* Find(const std::string& id) const;
    const std::unordered_map<std::string, Entry>& Entries() const { return m_Entries; }

private:
    std::unordered_map<std::string, Entry> m_Entries;
    std::unordered_map<std::string, Clock::time_point> m_Nodes;
};

} // namespace busd
