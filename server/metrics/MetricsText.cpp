#include "server/metrics/MetricsText.h"

#include "server/internal/Counters.h"

#include <fmt/format.h>

#include <iterator>

namespace busd {

namespace {

uint64_t Find(const std::map<std::string, uint64_t>& counts, const std::string& key) {
    const auto it = counts.find(key);
    return it == counts.end() ? 0 : it->second;
}

class Writer {
public:
    explicit Writer(const std::vector<BusStats>& servers) : m_Servers(servers) {}

    // A figure that stands alone: one series a bus server.
    template <typename Value>
    void PerServer(const char* name, const char* type, const char* help, Value value) {
        Family(name, type, help);
        for (size_t k = 0; k < m_Servers.size(); ++k) {
            fmt::format_to(Out(), "{}{{server=\"{}\"}} {}\n", name, k, value(m_Servers[k]));
        }
    }

    // A figure split by one more label, whose values keys lists: one series a key and bus server.
    template <typename Keys, typename Counts>
    void PerKey(const char* name, const char* help, const char* label, const Keys& keys,
                Counts counts) {
        Family(name, "counter", help);
        for (size_t k = 0; k < m_Servers.size(); ++k) {
            for (const std::string& key : keys) {
                fmt::format_to(Out(), "{}{{{}=\"{}\",server=\"{}\"}} {}\n", name, label, key, k,
                               Find(counts(m_Servers[k]), key));
            }
        }
    }

    std::string Take() { return std::move(m_Text); }

private:
    void Family(const char* name, const char* type, const char* help) {
        fmt::format_to(Out(), "# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
    }
    std::back_insert_iterator<std::string> Out() { return std::back_inserter(m_Text); }

    const std::vector<BusStats>& m_Servers;
    std::string m_Text;
};

template <typename Enum, typename Name> std::vector<std::string> Names(size_t count, Name name) {
    std::vector<std::string> names;
    for (size_t i = 0; i < count; ++i) {
        names.emplace_back(name(static_cast<Enum>(i)));
    }
    return names;
}

} // namespace

std::string MetricsText(const std::vector<BusStats>& servers) {
    static const std::vector<std::string> frameTypes =
        Names<FrameKind>(static_cast<size_t>(FrameKind::Count), KindName);
    static const std::vector<std::string> closeCauses =
        Names<CloseCause>(CloseCauseCount, CloseCauseName);
    Writer w(servers);
    w.PerServer("tessary_listening", "gauge",
                "1 while both ports of the bus server take connections, else 0.",
                [](const BusStats& s) { return s.ListenersDown == 0 ? 1 : 0; });
    w.PerServer("tessary_connections_open", "gauge", "Connections open now.",
                [](const BusStats& s) { return s.ConnectionsOpen; });
    w.PerServer("tessary_connections_accepted_total", "counter", "Connections accepted.",
                [](const BusStats& s) { return s.ConnectionsAccepted; });
    w.PerKey(
        "tessary_connections_closed_total", "Connections closed, by cause.", "cause", closeCauses,
        [](const BusStats& s) -> const auto& { return s.ClosedByCause; });
    w.PerServer("tessary_registrations_total", "counter",
                "Receivers registered on the status port.",
                [](const BusStats& s) { return s.Registrations; });
    w.PerKey(
        "tessary_frames_in_total", "Frames read, by head type.", "type", frameTypes,
        [](const BusStats& s) -> const auto& { return s.FramesInByType; });
    w.PerKey(
        "tessary_frames_out_total", "Frames written, relayed or the bus server's own, by type.",
        "type", frameTypes, [](const BusStats& s) -> const auto& { return s.FramesOutByType; });
    w.PerServer("tessary_bytes_in_total", "counter", "Bytes read.",
                [](const BusStats& s) { return s.BytesIn; });
    w.PerServer("tessary_bytes_out_total", "counter", "Bytes written.",
                [](const BusStats& s) { return s.BytesOut; });
    w.PerServer("tessary_drops_total", "counter",
                "Frames that reached nobody: unknown target, or target gone in the middle of "
                "the frame.",
                [](const BusStats& s) { return s.Drops; });
    w.PerServer("tessary_queued_bytes", "gauge", "Bytes waiting in output queues now.",
                [](const BusStats& s) { return s.QueuedBytes; });
    w.PerServer("tessary_queued_bytes_high_water", "gauge",
                "The most bytes that ever waited in output queues at once.",
                [](const BusStats& s) { return s.QueuedBytesHighWater; });
    return w.Take();
}

} // namespace busd
