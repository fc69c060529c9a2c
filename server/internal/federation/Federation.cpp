#include "server/internal/federation/Federation.h"

#include "server/internal/BusInstance.h"
#include "server/internal/Hub.h"
#include "server/internal/ServerFrames.h"
#include "tessary/external/Log.h"

#include <unistd.h>

#include <algorithm>
#include <vector>

namespace busd {

namespace {

// Local registrations are looked at this often: a receiver that registers is known to the
// other nodes a moment later, without the routing telling anyone.
constexpr auto ScanPeriod = std::chrono::milliseconds(100);
// Receivers per announcement, so that a big node's list stays far below any max_payload.
constexpr size_t ReceiversPerAnnouncement = 400;
constexpr int ExpiryPeriods = 3;

std::string DefaultNodeName(int commandPort) {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::string name;
    for (const char* c = host; *c != '\0' && name.size() < MaxNodeName - 6; ++c) {
        name += IsNodeName(std::string_view(c, 1)) ? *c : '_';
    }
    return (name.empty() ? std::string("node") : name) + "-" + std::to_string(commandPort);
}

std::string SubscribeFrame(const std::string& id, int32_t command) {
    MessageHead head(HeadType::Subscribe);
    head.SetSourceID(id.c_str());
    head.Command = command;
    return HeadOnlyFrame(head);
}

} // namespace

Federation::Federation(Hub& hub)
    : m_Hub(hub), m_Link(hub.Io(), hub.GetCounters(0)), m_ScanTimer(hub.Io()),
      m_RefreshTimer(hub.Io()) {}

Federation::~Federation() = default;

bool Federation::Start(std::string& error) {
    const ClusterOptions& options = m_Hub.Options().Cluster;
    m_Name = options.NodeName.empty() ? DefaultNodeName(m_Hub.CommandBase()) : options.NodeName;
    // Tokens start from the clock, so a node that restarts under its name does not reuse the
    // routes the other nodes still hold for its former life.
    m_LastToken = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::system_clock::now().time_since_epoch())
            .count());
    m_Prefix = options.SubjectPrefix;
    if (!IsNodeName(m_Name)) {
        error = "node name \"" + m_Name + "\" is not letters, digits, '-' and '_' (at most 64)";
        return false;
    }
    if (!m_Link.Connect(options, m_Name, [this] { OnConnected(); }, error)) {
        return false;
    }
    if (!m_Link.Subscribe(m_Prefix + ".reg",
                          [this](std::string_view data, const NatsLink::Message&) {
                              OnAnnouncement(data);
                          }) ||
        !m_Link.Subscribe(m_Prefix + ".sync",
                          [this](std::string_view, const NatsLink::Message&) {
                              if (!m_Stopping) {
                                  Announce(Announcement::Op::Refresh, m_Announced);
                              }
                          }) ||
        !m_Link.Subscribe(m_Prefix + ".node." + m_Name,
                          [this](std::string_view data, const NatsLink::Message& message) {
                              OnRoute(data, message);
                          })) {
        error = "cannot subscribe to the cluster's subjects";
        return false;
    }
    _info("busd: cluster: node %s on %s", m_Name.c_str(), options.Urls.front().c_str());
    ScheduleScan();
    ScheduleRefresh();
    return true;
}

void Federation::Shutdown() {
    m_Stopping = true;
    m_ScanTimer.cancel();
    m_RefreshTimer.cancel();
    // The other nodes drop this node's receivers now rather than when they expire.
    Announce(Announcement::Op::Remove, m_Announced);
    std::vector<std::shared_ptr<Pipe>> pipes;
    for (const auto& [token, pipe] : m_ProxyByToken) {
        pipes.push_back(pipe);
    }
    for (const auto& [key, pipe] : m_Ingresses) {
        pipes.push_back(pipe);
    }
    for (const auto& pipe : pipes) {
        pipe->Close(true);
    }
    m_Link.Drain();
}

void Federation::OnConnected() {
    if (m_Stopping) {
        return;
    }
    // A node that (re)joins asks for everyone's list instead of waiting for their refreshes.
    m_Link.Publish(m_Prefix + ".sync", m_Name.data(), m_Name.size());
    Announce(Announcement::Op::Refresh, m_Announced);
}

bool Federation::Send(const std::string& node, const Envelope& envelope) {
    Envelope stamped = envelope;
    stamped.Node = m_Name;
    EncodeEnvelope(stamped, m_Message);
    if (!m_Link.Publish(m_Prefix + ".node." + node, m_Message.data(), m_Message.size())) {
        return false;
    }
    m_Hub.GetCounters(0).RemoteOut(m_Message.size());
    return true;
}

size_t Federation::ChunkBytes() const {
    constexpr size_t Preferred = 256 * 1024;
    const size_t max = m_Link.MaxPayload();
    const size_t room = max > EnvelopeOverhead(m_Name) + 1024 ? max - EnvelopeOverhead(m_Name) - 1024
                                                              : 1024;
    return std::min(Preferred, room);
}

void Federation::Announce(Announcement::Op op, const LocalIds& ids) {
    Announcement announcement;
    announcement.Node = m_Name;
    announcement.What = op;
    auto publish = [&] {
        const std::string text = EncodeAnnouncement(announcement);
        m_Link.Publish(m_Prefix + ".reg", text.data(), text.size());
        announcement.Receivers.clear();
    };
    for (const auto& [id, commands] : ids) {
        announcement.Receivers.push_back({id, commands});
        if (announcement.Receivers.size() == ReceiversPerAnnouncement) {
            publish();
        }
    }
    // A refresh goes out even when empty: it is also the sign that this node is alive.
    if (!announcement.Receivers.empty() || (op == Announcement::Op::Refresh && ids.empty())) {
        publish();
    }
}

void Federation::OnAnnouncement(std::string_view data) {
    if (m_Stopping) {
        return;
    }
    const auto announcement = DecodeAnnouncement(data);
    if (!announcement) {
        _debug("busd: cluster: ignoring a malformed announcement");
        return;
    }
    if (announcement->Node == m_Name) {
        _warning("busd: cluster: another node is also named %s", m_Name.c_str());
        return;
    }
    if (m_Remote.Apply(*announcement, Clock::now())) {
        Reconcile();
    }
}

void Federation::OnRoute(std::string_view data, const NatsLink::Message& message) {
    if (m_Stopping) {
        return;
    }
    const auto envelope = DecodeEnvelope(data);
    if (!envelope) {
        _debug("busd: cluster: ignoring a malformed routed message");
        return;
    }
    m_Hub.GetCounters(0).RemoteIn(data.size());
    const auto proxy = [&]() -> std::shared_ptr<Pipe> {
        const auto it = m_ProxyByToken.find(envelope->Token);
        return it != m_ProxyByToken.end() && it->second->Node() == envelope->Node ? it->second
                                                                                 : nullptr;
    };
    const auto ingress = [&]() -> std::shared_ptr<Pipe> {
        const auto it = m_Ingresses.find({envelope->Node, envelope->Token});
        return it != m_Ingresses.end() ? it->second : nullptr;
    };
    switch (envelope->Kind) {
    case EnvelopeKind::ToIngress:
        if (auto pipe = Ingress(*envelope)) {
            pipe->Deliver(*envelope, message);
        }
        return;
    case EnvelopeKind::ToProxy:
        if (auto pipe = proxy()) {
            pipe->Deliver(*envelope, message);
        }
        return;
    case EnvelopeKind::CreditToProxy:
        if (auto pipe = proxy()) {
            pipe->Credit(envelope->Value);
        }
        return;
    case EnvelopeKind::CreditToIngress:
        if (auto pipe = ingress()) {
            pipe->Credit(envelope->Value);
        }
        return;
    case EnvelopeKind::CloseIngress:
        if (auto pipe = ingress()) {
            pipe->Close(false);
        }
        return;
    case EnvelopeKind::CloseProxy:
        if (auto pipe = proxy()) {
            if (envelope->Value == Pipe::TargetGone && m_Remote.Drop(pipe->Id(), pipe->Node())) {
                _info("busd: cluster: <%s> is not on node %s any more", pipe->Id().c_str(),
                      pipe->Node().c_str());
            }
            pipe->Close(false);
            Reconcile();
        }
        return;
    }
}

std::shared_ptr<Pipe> Federation::Ingress(const Envelope& envelope) {
    const std::pair<std::string, uint64_t> key{envelope.Node, envelope.Token};
    if (const auto it = m_Ingresses.find(key); it != m_Ingresses.end()) {
        return it->second;
    }
    if (envelope.Seq != 0) {
        // The rest of a route this node already closed: its proxy must go too.
        Envelope close;
        close.Kind = EnvelopeKind::CloseProxy;
        close.Token = envelope.Token;
        Send(envelope.Node, close);
        return nullptr;
    }
    const int count = m_Hub.Options().NbOfBUSServer;
    const int k = static_cast<int>(envelope.Token % static_cast<uint64_t>(count));
    auto pipe = std::make_shared<Pipe>(*this, m_Hub.Io(), Pipe::Role::Ingress, envelope.Node,
                                       envelope.Token, "route from " + envelope.Node,
                                       m_Hub.Options().MaxFrameBytes);
    m_Ingresses.emplace(key, pipe);
    pipe->Connect(LocalEndpoint(m_Hub.CommandBase() + 2 * k), {});
    return pipe;
}

void Federation::PipeClosed(Pipe& pipe) {
    if (pipe.GetRole() == Pipe::Role::Ingress) {
        m_Ingresses.erase({pipe.Node(), pipe.Token()});
        return;
    }
    m_ProxyByToken.erase(pipe.Token());
    for (auto it = m_Proxies.begin(); it != m_Proxies.end(); ++it) {
        if (it->second.get() == &pipe) {
            m_Proxies.erase(it);
            break;
        }
    }
}

void Federation::ScheduleScan() {
    m_ScanTimer.expires_after(ScanPeriod);
    m_ScanTimer.async_wait([this](const std::error_code& error) {
        if (error || m_Stopping) {
            return;
        }
        const LocalIds local = ScanLocal();
        LocalIds added;
        LocalIds removed;
        for (const auto& [id, commands] : local) {
            const auto it = m_Announced.find(id);
            if (it == m_Announced.end() || it->second != commands) {
                added.emplace(id, commands);
            }
        }
        for (const auto& [id, commands] : m_Announced) {
            if (local.count(id) == 0) {
                removed.emplace(id, commands);
            }
        }
        m_Announced = local;
        Announce(Announcement::Op::Add, added);
        Announce(Announcement::Op::Remove, removed);
        Reconcile();
        ScheduleScan();
    });
}

void Federation::ScheduleRefresh() {
    const auto period = std::chrono::milliseconds(m_Hub.Options().Cluster.RefreshMs);
    m_RefreshTimer.expires_after(period);
    m_RefreshTimer.async_wait([this, period](const std::error_code& error) {
        if (error || m_Stopping) {
            return;
        }
        Announce(Announcement::Op::Refresh, m_Announced);
        size_t expired = 0;
        for (const std::string& node :
             m_Remote.Expire(Clock::now(), ExpiryPeriods * period, expired)) {
            _warning("busd: cluster: node %s stopped announcing, its routes close", node.c_str());
            std::vector<std::shared_ptr<Pipe>> routes;
            for (const auto& [key, pipe] : m_Ingresses) {
                if (key.first == node) {
                    routes.push_back(pipe);
                }
            }
            for (const auto& pipe : routes) {
                pipe->Close(false);
            }
        }
        if (expired > 0) {
            m_Hub.GetCounters(0).RemoteExpired(expired);
            Reconcile();
        }
        ScheduleRefresh();
    });
}

Federation::LocalIds Federation::ScanLocal() const {
    std::unordered_set<std::string> proxies;
    for (const auto& [token, pipe] : m_ProxyByToken) {
        if (!pipe->LocalPeer().empty()) {
            proxies.insert(pipe->LocalPeer());
        }
    }
    LocalIds local;
    for (const auto& instance : m_Hub.Instances()) {
        instance->ForEachRegistered([&](const std::string& id, const Connection& conn) {
            // A proxy that has just been closed may still be registered for a moment; its
            // peer stays known until then.
            if (proxies.count(conn.Peer()) == 0 && m_ProxyPeers.count(conn.Peer()) == 0) {
                local[id];
            }
        });
    }
    for (const auto& instance : m_Hub.Instances()) {
        for (const auto& [command, ids] : instance->Subscribers()) {
            for (const std::string& id : ids) {
                if (const auto it = local.find(id); it != local.end()) {
                    it->second.insert(command);
                }
            }
        }
    }
    return local;
}

void Federation::Reconcile() {
    if (m_Stopping) {
        return;
    }
    // Peers of proxies that are gone are forgotten once no bus server holds them any more.
    std::unordered_set<std::string> registered;
    for (const auto& instance : m_Hub.Instances()) {
        instance->ForEachRegistered(
            [&](const std::string&, const Connection& conn) { registered.insert(conn.Peer()); });
    }
    std::erase_if(m_ProxyPeers, [&](const std::string& peer) { return !registered.count(peer); });
    for (const auto& [token, pipe] : m_ProxyByToken) {
        if (!pipe->LocalPeer().empty()) {
            m_ProxyPeers.insert(pipe->LocalPeer());
        }
    }

    std::vector<std::shared_ptr<Pipe>> stale;
    for (const auto& [key, pipe] : m_Proxies) {
        const RemoteRegistry::Entry* entry = m_Remote.Find(key.first);
        if (entry == nullptr || entry->Node != pipe->Node()) {
            stale.push_back(pipe);
        }
    }
    for (const auto& pipe : stale) {
        pipe->Close(true);
    }
    const int count = m_Hub.Options().NbOfBUSServer;
    for (const auto& [id, entry] : m_Remote.Entries()) {
        for (int k = 0; k < count; ++k) {
            const auto it = m_Proxies.find({id, k});
            if (it == m_Proxies.end()) {
                if (!m_Hub.Instances()[static_cast<size_t>(k)]->IsRegistered(id)) {
                    OpenProxy(id, k, entry);
                }
                continue;
            }
            std::string frames;
            for (const int32_t command : entry.Commands) {
                if (it->second->Commands().insert(command).second) {
                    frames += SubscribeFrame(id, command);
                }
            }
            if (!frames.empty()) {
                it->second->Inject(std::move(frames));
            }
        }
    }
}

void Federation::OpenProxy(const std::string& id, int k, const RemoteRegistry::Entry& entry) {
    const uint64_t token = ++m_LastToken;
    auto pipe = std::make_shared<Pipe>(*this, m_Hub.Io(), Pipe::Role::Proxy, entry.Node, token, id,
                                       m_Hub.Options().MaxFrameBytes);
    std::string greeting;
    for (const int32_t command : entry.Commands) {
        greeting += SubscribeFrame(id, command);
    }
    pipe->Commands() = entry.Commands;
    MessageHead listen(HeadType::Listen);
    listen.SetSourceID(id.c_str());
    greeting.append(reinterpret_cast<const char*>(&listen), sizeof listen);
    m_Proxies.emplace(std::make_pair(id, k), pipe);
    m_ProxyByToken.emplace(token, pipe);
    pipe->Connect(LocalEndpoint(m_Hub.StatusBase() + 2 * k), std::move(greeting));
}

asio::ip::tcp::endpoint Federation::LocalEndpoint(int port) const {
    std::error_code error;
    auto address = asio::ip::make_address(m_Hub.Options().BindAddress, error);
    if (error || address.is_unspecified()) {
        address = address.is_v6() ? asio::ip::address(asio::ip::address_v6::loopback())
                                   : asio::ip::address(asio::ip::address_v4::loopback());
    }
    return {address, static_cast<asio::ip::port_type>(port)};
}

} // namespace busd
