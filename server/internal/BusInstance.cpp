#include "server/internal/BusInstance.h"

#include "server/internal/Hub.h"
#include "server/internal/ServerFrames.h"
#include "tessary/external/Log.h"

#include <nlohmann/json.hpp>

#include <chrono>

namespace busd {

namespace {

// Settings are a few JSON pairs; anything bigger is refused without being held.
constexpr int32_t SettingBodyMax = 64 * 1024;
// How long past the sender's own time-out a send still waits for its acknowledgement here.
constexpr auto AckGrace = std::chrono::seconds(10);
constexpr auto DefaultAckWait = std::chrono::milliseconds(60000);
// How long a send's Reply may wait for the acknowledgement to leave with it. A receiver that
// answers within it saves its sender a wake-up per send (a fifth of a send's cost on one CPU);
// one that takes longer delays the Reply by this much, and a sender's time-out by as little.
constexpr auto ReplyHold = std::chrono::milliseconds(2);
// Expired sends forgotten in one turn of the event loop: about a millisecond's work.
constexpr size_t ExpiryBudget = 4096;

FramePlan Plan(FramePlan::Mode mode, FramePlan::Answer answer = FramePlan::Answer::None) {
    FramePlan plan;
    plan.mode = mode;
    plan.answer = answer;
    return plan;
}

FramePlan Reject(std::string reason) {
    FramePlan plan = Plan(FramePlan::Mode::Reject);
    plan.reason = std::move(reason);
    return plan;
}

} // namespace

BusInstance::BusInstance(Hub& hub, int index, asio::ip::tcp::acceptor command,
                         asio::ip::tcp::acceptor status)
    : m_Hub(hub), m_Index(index), m_CommandAcceptor(std::move(command)),
      m_StatusAcceptor(std::move(status)), m_Heartbeat(hub.Io()), m_Heartbeat1Minute(hub.Io()),
      m_Heartbeat5Minute(hub.Io()), m_CommandRetry(hub.Io()), m_StatusRetry(hub.Io()),
      m_Pending(static_cast<size_t>(hub.Options().MaxPendingAcks)), m_HoldTimer(hub.Io()) {}

const BusServerOptions& BusInstance::Options() const { return m_Hub.Options(); }

Counters& BusInstance::GetCounters() { return m_Hub.GetCounters(m_Index); }

int BusInstance::Port(Connection::Kind kind) const {
    return kind == Connection::Kind::Command ? m_Hub.CommandBase() + 2 * m_Index
                                             : m_Hub.StatusBase() + 2 * m_Index;
}

void BusInstance::Start() {
    SetListening(Connection::Kind::Command, true);
    SetListening(Connection::Kind::Status, true);
    Accept(m_CommandAcceptor, Connection::Kind::Command);
    Accept(m_StatusAcceptor, Connection::Kind::Status);
    ScheduleHeartbeat(m_Heartbeat, Options().HeartRateMs, HeadType::Heartbeat);
    ScheduleHeartbeat(m_Heartbeat1Minute, Options().Heartbeat1MinuteMs,
                      HeadType::Heartbeat1Minute);
    ScheduleHeartbeat(m_Heartbeat5Minute, Options().Heartbeat5MinuteMs,
                      HeadType::Heartbeat5Minute);
}

void BusInstance::Shutdown() {
    m_ShuttingDown = true;
    std::error_code ignored;
    m_CommandAcceptor.close(ignored);
    m_StatusAcceptor.close(ignored);
    SetListening(Connection::Kind::Command, false);
    SetListening(Connection::Kind::Status, false);
    m_Heartbeat.cancel();
    m_Heartbeat1Minute.cancel();
    m_Heartbeat5Minute.cancel();
    m_CommandRetry.cancel();
    m_StatusRetry.cancel();
    m_HoldTimer.cancel();
    std::vector<std::shared_ptr<Connection>> all;
    for (const auto& [id, conn] : m_Connections) {
        all.push_back(conn);
    }
    for (const auto& conn : all) {
        conn->Close(CloseCause::Shutdown, "server stopping");
    }
    m_Connections.clear();
    m_Registry.clear();
}

void BusInstance::EndBatch() {
    if (--m_BatchDepth > 0) {
        return;
    }
    while (!m_Dirty.empty()) {
        std::vector<std::shared_ptr<Connection>> dirty;
        dirty.swap(m_Dirty);
        for (const auto& conn : dirty) {
            conn->Flush();
        }
    }
}

void BusInstance::Accept(asio::ip::tcp::acceptor& acceptor, Connection::Kind kind) {
    acceptor.async_accept([this, &acceptor, kind](const std::error_code& error,
                                                  asio::ip::tcp::socket socket) {
        if (m_ShuttingDown || error == asio::error::operation_aborted) {
            return;
        }
        const char* kindText = kind == Connection::Kind::Command ? "command" : "status";
        if (error) {
            // Out of descriptors, typically: try again a little later instead of spinning. The
            // port counts as not listening until an accept succeeds; one line says so, rather
            // than one a retry.
            if (SetListening(kind, false)) {
                _warning("busd: accept failed on %s port %d: %s", kindText, Port(kind),
                         error.message().c_str());
            }
            asio::steady_timer& retry =
                kind == Connection::Kind::Command ? m_CommandRetry : m_StatusRetry;
            retry.expires_after(std::chrono::milliseconds(100));
            retry.async_wait([this, &acceptor, kind](const std::error_code& e) {
                if (!e && !m_ShuttingDown) {
                    Accept(acceptor, kind);
                }
            });
            return;
        }
        if (SetListening(kind, true)) {
            _info("busd: accepting again on %s port %d", kindText, Port(kind));
        }
        auto conn = std::make_shared<Connection>(*this, std::move(socket), kind,
                                                 m_Hub.NextConnectionId());
        m_Connections.emplace(conn->Id(), conn);
        GetCounters().Accepted();
        _debug("busd: %s connected to %s port %d", conn->Peer().c_str(), kindText, Port(kind));
        conn->Start();
        Accept(acceptor, kind);
    });
}

bool BusInstance::SetListening(Connection::Kind kind, bool up) {
    return GetCounters().SetListening(kind == Connection::Kind::Command ? 0 : 1, up) != up;
}

void BusInstance::ScheduleHeartbeat(asio::steady_timer& timer, int periodMs, uint32_t type) {
    if (periodMs <= 0) {
        return;
    }
    timer.expires_after(std::chrono::milliseconds(periodMs));
    timer.async_wait([this, &timer, periodMs, type](const std::error_code& error) {
        if (error || m_ShuttingDown) {
            return;
        }
        const std::string frame = HeartbeatFrame(type);
        for (const auto& [id, weak] : m_Registry) {
            if (const auto conn = weak.lock(); conn && conn->CanTakeHeartbeat()) {
                conn->SendServerFrame(frame);
            }
        }
        ScheduleHeartbeat(timer, periodMs, type);
    });
}

std::shared_ptr<Connection> BusInstance::Registered(const std::string& id) const {
    const auto it = m_Registry.find(id);
    if (it == m_Registry.end()) {
        return nullptr;
    }
    auto conn = it->second.lock();
    return conn && !conn->IsClosed() ? conn : nullptr;
}

std::shared_ptr<Connection> BusInstance::Find(const Connection& conn) const {
    const auto it = m_Connections.find(conn.Id());
    return it == m_Connections.end() ? nullptr : it->second;
}

bool BusInstance::IsRegistered(const std::string& id) const { return Registered(id) != nullptr; }

void BusInstance::ForEachRegistered(
    const std::function<void(const std::string& id, const Connection& conn)>& visit) const {
    for (const auto& [id, weak] : m_Registry) {
        if (const auto conn = weak.lock(); conn && !conn->IsClosed()) {
            visit(id, *conn);
        }
    }
}

FramePlan BusInstance::OnHead(Connection& conn, const MessageHead& head) {
    if (ORVEX::Log::IsEnabled(ORVEX::Log::Level::Traffic)) {
        _tinfo("busd[%d] --%s-> <%s> -> <%s> of %d from %s", m_Index, KindName(KindOf(head.Type)),
               IdFieldText(head.SourceID).c_str(), IdFieldText(head.TargetID).c_str(),
               head.Command, conn.Peer().c_str());
    }
    switch (head.Type) {
    case HeadType::Listen:
        if (conn.GetKind() != Connection::Kind::Status) {
            return Reject("Listen on a command port");
        }
        if (conn.IsRegistered()) {
            return Reject("a second Listen on one connection");
        }
        if (IdFieldText(head.SourceID).empty()) {
            return Reject("Listen without a source id");
        }
        return Plan(FramePlan::Mode::Register);
    case HeadType::Message:
    case HeadType::MessageAlt:
        return PlanMessage(head);
    case HeadType::Ack:
    case HeadType::Error:
        return PlanAck(conn, head);
    case HeadType::Enquiry:
    case HeadType::UniqueSourceID:
    case HeadType::Subscribe:
        return Plan(FramePlan::Mode::Command);
    case HeadType::Setting:
        if (head.cbMessage > SettingBodyMax || head.cbBLOB != 0) {
            return Plan(FramePlan::Mode::Discard, FramePlan::Answer::Failed);
        }
        return Plan(FramePlan::Mode::Collect);
    default:
        // Frames only the server sends (Reply, SYNC, heartbeats) or unknown types: read past
        // them and refuse.
        return Plan(FramePlan::Mode::Discard, FramePlan::Answer::Failed);
    }
}

FramePlan BusInstance::PlanMessage(const MessageHead& head) {
    const std::string target = IdFieldText(head.TargetID);
    if (target.empty()) {
        // A frame for everyone subscribed to its command; many receivers cannot answer one
        // waiting sender, so only posts and forwards are published.
        if (head.HasFlag(HeadFlag::AckRequested)) {
            return Plan(FramePlan::Mode::Discard, FramePlan::Answer::Failed);
        }
        FramePlan plan = Plan(FramePlan::Mode::Relay);
        plan.relay = FramePlan::Relay::Publish;
        if (const auto it = m_Subscribers.find(head.Command); it != m_Subscribers.end()) {
            for (const std::string& id : it->second) {
                if (auto subscriber = Registered(id)) {
                    plan.targets.push_back(std::move(subscriber));
                }
            }
        }
        if (plan.targets.empty()) {
            return Plan(FramePlan::Mode::Discard, FramePlan::Answer::Reply);
        }
        return plan;
    }
    auto receiver = Registered(target);
    if (!receiver) {
        GetCounters().Drop();
        return Plan(FramePlan::Mode::Discard, FramePlan::Answer::Failed);
    }
    FramePlan plan = Plan(FramePlan::Mode::Relay);
    plan.relay = FramePlan::Relay::Direct;
    plan.receiver = receiver->Id();
    plan.targets.push_back(std::move(receiver));
    return plan;
}

FramePlan BusInstance::PlanAck(Connection& conn, const MessageHead& head) {
    auto sender = m_Pending.Take(conn.Id(), head);
    if (!sender || sender->IsClosed()) {
        // The acknowledgement of a post, of the on-line message, or of a send whose sender has
        // gone: nobody reads it.
        return Plan(FramePlan::Mode::Discard);
    }
    FramePlan plan = Plan(FramePlan::Mode::Relay);
    plan.relay = FramePlan::Relay::Ack;
    plan.targets.push_back(std::move(sender));
    return plan;
}

void BusInstance::Answer(Connection& conn, uint32_t type, const MessageHead& request) {
    conn.SendServerFrame(HeadOnlyFrame(ReplyHead(type, request)));
}

void BusInstance::HoldReply(Connection& conn, const MessageHead& request) {
    const std::string frame = HeadOnlyFrame(ReplyHead(HeadType::Reply, request));
    const auto until = Connection::Clock::now() + ReplyHold;
    GetCounters().FrameOut(HeadType::Reply);
    if (conn.EnqueueHeld(frame.data(), frame.size(), until)) {
        NoteHeld(conn, until);
    }
}

void BusInstance::NoteHeld(Connection& conn, Connection::Clock::time_point until) {
    m_Holding.push_back(Find(conn));
    ArmHoldTimer(until);
}

void BusInstance::ArmHoldTimer(Connection::Clock::time_point at) {
    if (at >= m_HoldTimerAt) {
        return;
    }
    // Setting an earlier time cancels the wait under way; its handler then does nothing.
    m_HoldTimerAt = at;
    m_HoldTimer.expires_at(at);
    m_HoldTimer.async_wait([this](const std::error_code& error) {
        if (error || m_ShuttingDown) {
            return;
        }
        m_HoldTimerAt = Connection::Clock::time_point::max();
        ReleaseHeld();
    });
}

void BusInstance::ReleaseHeld() {
    const auto now = Connection::Clock::now();
    auto next = Connection::Clock::time_point::max();
    std::vector<std::weak_ptr<Connection>> holding = std::move(m_Holding);
    m_Holding.clear();
    for (const auto& weak : holding) {
        if (const auto conn = weak.lock()) {
            if (const auto due = conn->ReleaseDue(now);
                due != Connection::Clock::time_point::max()) {
                m_Holding.push_back(weak);
                next = std::min(next, due);
            }
        }
    }
    if (!m_Holding.empty()) {
        ArmHoldTimer(next);
    }
}

void BusInstance::OnFrameEnd(Connection& conn, const MessageHead& head, const FramePlan& plan,
                             const std::string& body, bool delivered) {
    switch (plan.mode) {
    case FramePlan::Mode::Relay:
        if (plan.relay == FramePlan::Relay::Direct) {
            if (!delivered) {
                GetCounters().Drop();
                Answer(conn, HeadType::Failed, head);
                return;
            }
            if (head.HasFlag(HeadFlag::AckRequested)) {
                const auto wait = head.TimeOut > 0 ? std::chrono::milliseconds(head.TimeOut)
                                                   : DefaultAckWait;
                m_Pending.Add(plan.receiver, head, Find(conn), conn.Id(),
                              Connection::Clock::now() + wait + AckGrace);
                HoldReply(conn, head);
                return;
            }
            Answer(conn, HeadType::Reply, head);
        } else if (plan.relay == FramePlan::Relay::Publish) {
            Answer(conn, HeadType::Reply, head);
        }
        if (!head.HasFlag(HeadFlag::AckRequested)) {
            // A post is done for its sender with this reply: it goes out at once, ahead of
            // the relayed bytes, instead of after them at the end of the batch. A send keeps
            // the relay first, since its sender waits for the receiver's answer.
            conn.Flush();
        }
        return;
    case FramePlan::Mode::Discard:
        if (plan.answer != FramePlan::Answer::None) {
            Answer(conn, plan.answer == FramePlan::Answer::Reply ? HeadType::Reply
                                                                 : HeadType::Failed,
                   head);
        }
        return;
    case FramePlan::Mode::Collect:
        ApplySetting(conn, head, body);
        return;
    case FramePlan::Mode::Command:
        break;
    case FramePlan::Mode::Register:
    case FramePlan::Mode::Reject:
        return;
    }
    switch (head.Type) {
    case HeadType::Enquiry:
        Answer(conn, IsRegistered(IdFieldText(head.TargetID)) ? HeadType::Reply : HeadType::Failed,
               head);
        return;
    case HeadType::UniqueSourceID: {
        std::string asked = IdFieldText(head.TargetID);
        if (asked.empty()) {
            asked = IdFieldText(head.SourceID);
        }
        const std::string id = m_Hub.TakeUniqueId(asked);
        MessageHead reply = ReplyHead(HeadType::Reply, head);
        reply.SetTargetID(id.c_str());
        conn.SendServerFrame(HeadOnlyFrame(reply));
        _debug("busd: unique id <%s> for <%s> asked by %s", id.c_str(), asked.c_str(),
               conn.Peer().c_str());
        return;
    }
    case HeadType::Subscribe: {
        const std::string source = IdFieldText(head.SourceID);
        if (source.empty()) {
            Answer(conn, HeadType::Failed, head);
            return;
        }
        m_Subscribers[head.Command].insert(source);
        _debug("busd: <%s> subscribed to %d on bus server %d", source.c_str(), head.Command,
               m_Index);
        Answer(conn, HeadType::Reply, head);
        return;
    }
    default:
        Answer(conn, HeadType::Failed, head);
        return;
    }
}

void BusInstance::ApplySetting(Connection& conn, const MessageHead& head,
                               const std::string& body) {
    const auto json = nlohmann::json::parse(body, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        _info("busd: setting %d from %s is not a JSON object", head.Command, conn.Peer().c_str());
        Answer(conn, HeadType::Failed, head);
        return;
    }
    if (const auto it = json.find("TcpNoDelay"); it != json.end()) {
        if (it->is_number()) {
            conn.SetNoDelay(it->get<double>() != 0);
        } else if (it->is_boolean()) {
            conn.SetNoDelay(it->get<bool>());
        }
    }
    Answer(conn, HeadType::Reply, head);
}

void BusInstance::Register(Connection& conn, const MessageHead& head) {
    const std::string id = IdFieldText(head.SourceID);
    if (const auto old = Registered(id); old && old.get() != &conn) {
        // The same receiver reconnecting before its old connection was seen to go, usually.
        old->Close(CloseCause::Replaced, "<" + id + "> registered again from " + conn.Peer());
    }
    m_Registry[id] = Find(conn);
    conn.MarkRegistered(id);
    GetCounters().Registered();
    _info("busd: <%s> registered from %s on status port %d", id.c_str(), conn.Peer().c_str(),
          Port(Connection::Kind::Status));
    conn.SendServerFrame(SyncFrame(Options().HeartRateMs, id.c_str()));
    conn.SendServerFrame(OnlineFrame(id.c_str()));
}

void BusInstance::OnClosed(Connection& conn) {
    if (conn.IsRegistered()) {
        const auto it = m_Registry.find(conn.SourceId());
        if (it != m_Registry.end()) {
            const auto current = it->second.lock();
            if (!current || current.get() == &conn) {
                m_Registry.erase(it);
            }
        }
    }
    // Senders still waiting on this receiver get a Failed with their MessageID at once rather
    // than waiting out their time-out.
    for (const PendingAcks::Waiter& waiter : m_Pending.TakeAll(conn.Id())) {
        const auto sender = waiter.Sender.lock();
        if (!sender || sender->IsClosed() || m_ShuttingDown) {
            continue;
        }
        MessageHead failed = ServerHead(HeadType::Failed, waiter.SourceID.c_str());
        failed.MessageID = waiter.MessageID;
        failed.CallerID = waiter.CallerID;
        failed.SetSourceID(conn.SourceId().c_str());
        sender->SendServerFrame(HeadOnlyFrame(failed));
    }
    m_Pending.DropSender(conn.Id());
    m_Connections.erase(conn.Id());
}

void BusInstance::Sweep(Connection::Clock::time_point now) {
    std::vector<std::shared_ptr<Connection>> all;
    all.reserve(m_Connections.size());
    for (const auto& [id, conn] : m_Connections) {
        all.push_back(conn);
    }
    for (const auto& conn : all) {
        conn->Sweep(now);
    }
    if (!m_ExpiryPosted) {
        ExpirePending();
    }
}

void BusInstance::ExpirePending() {
    m_ExpiryPosted = false;
    if (m_ShuttingDown || !m_Pending.Expire(Connection::Clock::now(), ExpiryBudget)) {
        return;
    }
    m_ExpiryPosted = true;
    asio::post(m_Hub.Io(), [this] { ExpirePending(); });
}

void BusInstance::Describe(std::vector<ConnectionInfo>& into) const {
    const auto now = Connection::Clock::now();
    for (const auto& [id, conn] : m_Connections) {
        ConnectionInfo info = conn->Info(now);
        info.Server = m_Index;
        into.push_back(std::move(info));
    }
}

} // namespace busd
