#pragma once

#include "server/internal/federation/NatsLink.h"
#include "server/internal/federation/Pipe.h"
#include "server/internal/federation/Registry.h"

#include <asio.hpp>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace busd {

class Hub;

// This node's part in a bus of several nodes joined by a NATS cluster. It tells the others
// which receivers registered here, learns theirs, and stands for each remote receiver on every
// local bus server with a proxy registered under its id, so that sending, waiting for the
// acknowledgement, Enquiry, unique ids and publishing work as for a local receiver and the
// routing itself knows nothing of other nodes. Local registrations win: a proxy is only made
// where no local receiver has the id, and one that registers replaces it.
//
// Subjects: <prefix>.reg carries announcements, <prefix>.sync a joining node's request for
// everyone's list, <prefix>.node.<name> the routes to one node (one subject per node, so the
// frames of one route keep their order). Runs on the event loop; Start comes before the loop
// does, Shutdown on the loop, and the destructor after the loop has ended.
class Federation final : public PipeHost {
public:
    explicit Federation(Hub& hub);
    Federation(const Federation&) = delete;
    Federation& operator=(const Federation&) = delete;
    ~Federation();

    bool Start(std::string& error);
    void Shutdown();

    const std::string& NodeName() const { return m_Name; }

private:
    using Clock = RemoteRegistry::Clock;
    using LocalIds = std::map<std::string, std::set<int32_t>>;

    bool Send(const std::string& node, const Envelope& envelope) override;
    void PipeClosed(Pipe& pipe) override;
    size_t ChunkBytes() const override;

    void OnConnected();
    void OnAnnouncement(std::string_view data);
    void OnRoute(std::string_view data, const NatsLink::Message& message);
    void ScheduleScan();
    void ScheduleRefresh();
    LocalIds ScanLocal() const;
    void Announce(Announcement::Op op, const LocalIds& ids);
    void Reconcile();
    void OpenProxy(const std::string& id, int k, const RemoteRegistry::Entry& entry);
    std::shared_ptr<Pipe> Ingress(const Envelope& envelope);
    asio::ip::tcp::endpoint LocalEndpoint(int port) const;

    Hub& m_Hub;
    NatsLink m_Link;
    std::string m_Name;
    std::string m_Prefix;
    bool m_Stopping = false;
    RemoteRegistry m_Remote;
    // The local receivers as last announced.
    LocalIds m_Announced;
    std::map<std::pair<std::string, int>, std::shared_ptr<Pipe>> m_Proxies;
    std::unordered_map<uint64_t, std::shared_ptr<Pipe>> m_ProxyByToken;
    std::map<std::pair<std::string, uint64_t>, std::shared_ptr<Pipe>> m_Ingresses;
    // The proxies' addresses as the bus servers see them: registrations from these are remote.
    std::unordered_set<std::string> m_ProxyPeers;
    uint64_t m_LastToken = 0;
    // The message being published, its room kept from one to the next.
    std::string m_Message;
    asio::steady_timer m_ScanTimer;
    asio::steady_timer m_RefreshTimer;
};

} // namespace busd
