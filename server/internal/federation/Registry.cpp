#include "server/internal/federation/Registry.h"

#include "tessary/protocol/shared/MessageHead.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace busd {

namespace {

const char* OpName(Announcement::Op op) {
    switch (op) {
    case Announcement::Op::Add:
        return "add";
    case Announcement::Op::Remove:
        return "remove";
    case Announcement::Op::Refresh:
        break;
    }
    return "refresh";
}

} // namespace

bool IsNodeName(std::string_view name) {
    return !name.empty() && name.size() <= 64 &&
           std::all_of(name.begin(), name.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_';
           });
}

std::string EncodeAnnouncement(const Announcement& announcement) {
    nlohmann::json receivers = nlohmann::json::array();
    for (const auto& receiver : announcement.Receivers) {
        receivers.push_back({{"id", receiver.Id}, {"commands", receiver.Commands}});
    }
    return nlohmann::json{{"node", announcement.Node},
                          {"op", OpName(announcement.What)},
                          {"receivers", std::move(receivers)}}
        .dump();
}

std::optional<Announcement> DecodeAnnouncement(std::string_view text) {
    const auto json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        return std::nullopt;
    }
    const auto node = json.find("node");
    const auto op = json.find("op");
    const auto receivers = json.find("receivers");
    if (node == json.end() || !node->is_string() || op == json.end() || !op->is_string() ||
        receivers == json.end() || !receivers->is_array()) {
        return std::nullopt;
    }
    Announcement announcement;
    announcement.Node = node->get<std::string>();
    const std::string opText = op->get<std::string>();
    if (!IsNodeName(announcement.Node)) {
        return std::nullopt;
    }
    if (opText == "add") {
        announcement.What = Announcement::Op::Add;
    } else if (opText == "remove") {
        announcement.What = Announcement::Op::Remove;
    } else if (opText != "refresh") {
        return std::nullopt;
    }
    for (const auto& item : *receivers) {
        const auto id = item.is_object() ? item.find("id") : item.end();
        if (id == item.end() || !id->is_string()) {
            return std::nullopt;
        }
        Announcement::Receiver receiver;
        receiver.Id = id->get<std::string>();
        if (receiver.Id.empty() || receiver.Id.size() > static_cast<size_t>(IdFieldSize)) {
            return std::nullopt;
        }
        if (const auto commands = item.find("commands"); commands != item.end()) {
            if (!commands->is_array()) {
                return std::nullopt;
            }
            for (const auto& command : *commands) {
                if (!command.is_number_integer()) {
                    return std::nullopt;
                }
                receiver.Commands.insert(command.get<int32_t>());
            }
        }
        announcement.Receivers.push_back(std::move(receiver));
    }
    return announcement;
}

bool RemoteRegistry::Apply(const Announcement& announcement, Clock::time_point now) {
    m_Nodes[announcement.Node] = now;
    bool changed = false;
    for (const auto& receiver : announcement.Receivers) {
        if (announcement.What == Announcement::Op::Remove) {
            changed = Drop(receiver.Id, announcement.Node) || changed;
            continue;
        }
        auto it = m_Entries.find(receiver.Id);
        if (it == m_Entries.end()) {
            m_Entries.emplace(receiver.Id, Entry{announcement.Node, receiver.Commands, now});
            changed = true;
            continue;
        }
        Entry& entry = it->second;
        if (entry.Node != announcement.Node && announcement.What == Announcement::Op::Refresh) {
            continue;
        }
        changed = changed || entry.Node != announcement.Node || entry.Commands != receiver.Commands;
        entry.Node = announcement.Node;
        entry.Commands = receiver.Commands;
        entry.Seen = now;
    }
    return changed;
}

bool RemoteRegistry::Drop(const std::string& id, const std::string& node) {
    const auto it = m_Entries.find(id);
    if (it == m_Entries.end() || it->second.Node != node) {
        return false;
    }
    m_Entries.erase(it);
    return true;
}

std::vector<std::string> RemoteRegistry::Expire(Clock::time_point now, Clock::duration lifetime,
                                                 size_t& expiredIds) {
    expiredIds = 0;
    for (auto it = m_Entries.begin(); it != m_Entries.end();) {
        if (now - it->second.Seen > lifetime) {
            ++expiredIds;
            it = m_Entries.erase(it);
        } else {
            ++it;
        }
    }
    std::vector<std::string> gone;
    for (auto it = m_Nodes.begin(); it != m_Nodes.end();) {
        if (now - it->second > lifetime) {
            gone.push_back(it->first);
            it = m_Nodes.erase(it);
        } else {
            ++it;
        }
    }
    return gone;
}

const RemoteRegistry::Entry* RemoteRegistry::Find(const std::string& id) const {
    const auto it = m_Entries.find(id);
    return it == m_Entries.end() ? nullptr : &it->second;
}

} // namespace busd
