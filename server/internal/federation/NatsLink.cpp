#include "server/internal/federation/NatsLink.h"

#include "server/internal/Counters.h"
#include "tessary/external/Log.h"

#include <nats/nats.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace busd {

namespace {

// Reconnects go on for as long as the node runs; each pass over the server list waits this
// long, so a restarted server is found again within a second.
constexpr int64_t ReconnectWaitMs = 250;
// Two missed pings (of PingMs each) and nats.c gives a silent server up and tries the next.
constexpr int64_t PingMs = 2000;
// Routed traffic in flight is bounded by the credit windows; these limits only keep nats.c
// from judging a busy node a slow consumer and dropping its messages.
constexpr int PendingMessages = 1 << 20;
constexpr int PendingBytes = 1 << 30;
// nats.c reads at most this much per read event; a route's chunks are far larger than its
// default of 32 KiB.
constexpr int IoBufferBytes = 1 << 20;
// What the node said last (its receivers going, its routes closing) gets this long to go out.
constexpr auto DrainBound = std::chrono::milliseconds(500);
// How long the destructor waits for nats.c's threads to leave the callbacks.
constexpr auto CloseBound = std::chrono::seconds(5);

std::string ConnectedUrl(natsConnection* nc) {
    char url[256] = {};
    if (natsConnection_GetConnectedUrl(nc, url, sizeof url) != NATS_OK) {
        return "?";
    }
    return url;
}

} // namespace

// What the callbacks share with the link: whether they may still post, and how many of
// nats.c's objects may still call them.
struct NatsLink::Gate {
    std::mutex Mutex;
    std::condition_variable Done;
    bool Open = true;
    int Live = 0;
    asio::io_context* Io = nullptr;
    Counters* Stats = nullptr;
    std::function<void()> Connected;

    void Post(std::function<void()> work) {
        const std::lock_guard<std::mutex> lock(Mutex);
        if (Open) {
            asio::post(*Io, std::move(work));
        }
    }
    void Leave() {
        const std::lock_guard<std::mutex> lock(Mutex);
        --Live;
        Done.notify_all();
    }
};

struct NatsLink::Subscription {
    Handler OnData;
    natsSubscription* Sub = nullptr;
};

NatsLink::NatsLink(asio::io_context& io, Counters& counters)
    : m_Io(io), m_Counters(counters), m_Gate(std::make_unique<Gate>()),
      m_Loop(std::make_unique<NatsLoop>(io, [this] { TakeMessages(); })) {
    m_Gate->Io = &m_Io;
    m_Gate->Stats = &m_Counters;
}

NatsLink::~NatsLink() { Close(); }

bool NatsLink::Connect(const ClusterOptions& options, const std::string& name,
                       std::function<void()> onConnected, std::string& error) {
    m_Gate->Connected = std::move(onConnected);
    natsOptions* opts = nullptr;
    if (natsOptions_Create(&opts) != NATS_OK) {
        error = "cannot create NATS options";
        return false;
    }
    std::vector<const char*> urls;
    for (const std::string& url : options.Urls) {
        urls.push_back(url.c_str());
    }
    natsStatus status = natsOptions_SetServers(opts, urls.data(), static_cast<int>(urls.size()));
    if (status == NATS_OK) {
        status = natsOptions_SetName(opts, name.c_str());
    }
    if (status == NATS_OK && !options.CredsFile.empty()) {
        status = natsOptions_SetUserCredentialsFromFiles(opts, options.CredsFile.c_str(), nullptr);
    }
    if (status == NATS_OK) {
        // A node never hears its own announcements, so one that arrives under its own name
        // means two nodes share it.
        status = natsOptions_SetNoEcho(opts, true);
    }
    if (status == NATS_OK) {
        // nats.c's flusher thread waits a millisecond before it asks for a write, twice on
        // every send that crosses (the message, then its acknowledgement); asked at once, the
        // loop writes what a batch of handlers published as soon as they are done.
        status = natsOptions_SetSendAsap(opts, true);
    }
    if (status == NATS_OK) {
        status = natsOptions_SetIOBufSize(opts, IoBufferBytes);
    }
    if (status == NATS_OK && !m_Loop->Install(opts)) {
        status = NATS_ERR;
    }
    if (status == NATS_OK) {
        status = natsOptions_SetMaxReconnect(opts, -1);
    }
    if (status == NATS_OK) {
        status = natsOptions_SetReconnectWait(opts, ReconnectWaitMs);
    }
    if (status == NATS_OK) {
        status = natsOptions_SetPingInterval(opts, PingMs);
    }
    if (status == NATS_OK) {
        status = natsOptions_SetMaxPingsOut(opts, 2);
    }
    if (status == NATS_OK) {
        status = natsOptions_SetDisconnectedCB(opts, &NatsLink::OnDisconnected, m_Gate.get());
    }
    if (status == NATS_OK) {
        status = natsOptions_SetReconnectedCB(opts, &NatsLink::OnReconnected, m_Gate.get());
    }
    if (status == NATS_OK) {
        status = natsOptions_SetClosedCB(opts, &NatsLink::OnClosed, m_Gate.get());
    }
    if (status == NATS_OK) {
        status = natsOptions_SetRetryOnFailedConnect(opts, true, &NatsLink::OnConnected,
                                                     m_Gate.get());
    }
    if (status == NATS_OK) {
        status = natsConnection_Connect(&m_Connection, opts);
    }
    natsOptions_Destroy(opts);
    if (status == NATS_OK) {
        {
            const std::lock_guard<std::mutex> lock(m_Gate->Mutex);
            ++m_Gate->Live;
        }
        _info("busd: cluster: connected to %s as %s", ConnectedUrl(m_Connection).c_str(),
              name.c_str());
        m_Gate->Post(m_Gate->Connected);
        return true;
    }
    if (status == NATS_NOT_YET_CONNECTED) {
        {
            const std::lock_guard<std::mutex> lock(m_Gate->Mutex);
            ++m_Gate->Live;
        }
        _warning("busd: cluster: no NATS server answers yet, still trying");
        return true;
    }
    error = std::string("cannot connect to the NATS cluster: ") + natsStatus_GetText(status);
    m_Connection = nullptr;
    return false;
}

bool NatsLink::Subscribe(const std::string& subject, Handler handler) {
    auto sub = std::make_unique<Subscription>();
    sub->OnData = std::move(handler);
    // Taken by the loop after each read (TakeMessages), not by a delivery thread of nats.c's.
    natsStatus status = natsConnection_SubscribeSync(&sub->Sub, m_Connection, subject.c_str());
    if (status == NATS_OK) {
        status = natsSubscription_SetPendingLimits(sub->Sub, PendingMessages, PendingBytes);
    }
    if (status != NATS_OK) {
        _error("busd: cluster: cannot subscribe to %s: %s", subject.c_str(),
               natsStatus_GetText(status));
        if (sub->Sub != nullptr) {
            natsSubscription_Destroy(sub->Sub);
        }
        return false;
    }
    m_Subscriptions.push_back(std::move(sub));
    return true;
}

bool NatsLink::Publish(const std::string& subject, const void* data, size_t size) {
    if (m_Connection == nullptr) {
        return false;
    }
    const natsStatus status =
        natsConnection_Publish(m_Connection, subject.c_str(), data, static_cast<int>(size));
    if (status != NATS_OK) {
        _debug("busd: cluster: publish on %s failed: %s", subject.c_str(),
               natsStatus_GetText(status));
        return false;
    }
    return true;
}

size_t NatsLink::MaxPayload() const {
    const int64_t max = m_Connection != nullptr ? natsConnection_GetMaxPayload(m_Connection) : 0;
    // 1 MiB is nats-server's default; 0 means not connected yet.
    return max > 0 ? static_cast<size_t>(max) : size_t{1} << 20;
}

void NatsLink::Drain() { m_Loop->Drain(DrainBound); }

void NatsLink::TakeMessages() {
    for (const auto& sub : m_Subscriptions) {
        natsMsg* msg = nullptr;
        while (natsSubscription_NextMsg(&msg, sub->Sub, 0) == NATS_OK) {
            const Message owned(msg, &natsMsg_Destroy);
            const int length = natsMsg_GetDataLength(msg);
            sub->OnData(std::string_view(natsMsg_GetData(msg),
                                         static_cast<size_t>(length > 0 ? length : 0)),
                        owned);
        }
    }
}

void NatsLink::OnConnected(natsConnection* nc, void* closure) {
    auto* gate = static_cast<Gate*>(closure);
    _info("busd: cluster: connected to %s", ConnectedUrl(nc).c_str());
    gate->Post(gate->Connected);
}

void NatsLink::OnDisconnected(natsConnection*, void* closure) {
    auto* gate = static_cast<Gate*>(closure);
    const std::lock_guard<std::mutex> lock(gate->Mutex);
    // Not worth a warning when the node itself is closing the connection.
    if (gate->Open) {
        _warning("busd: cluster: disconnected from NATS, reconnecting");
    }
}

void NatsLink::OnReconnected(natsConnection* nc, void* closure) {
    auto* gate = static_cast<Gate*>(closure);
    gate->Stats->ClusterReconnected();
    _info("busd: cluster: reconnected to %s", ConnectedUrl(nc).c_str());
    gate->Post(gate->Connected);
}

void NatsLink::OnClosed(natsConnection*, void* closure) { static_cast<Gate*>(closure)->Leave(); }

void NatsLink::Close() {
    {
        const std::lock_guard<std::mutex> lock(m_Gate->Mutex);
        m_Gate->Open = false;
    }
    // The loop has ended: what the node said last went out as it drained.
    m_Loop->Stop();
    for (const auto& sub : m_Subscriptions) {
        natsSubscription_Unsubscribe(sub->Sub);
    }
    if (m_Connection != nullptr) {
        natsConnection_Close(m_Connection);
    }
    bool done = false;
    {
        std::unique_lock<std::mutex> lock(m_Gate->Mutex);
        done = m_Gate->Done.wait_for(lock, CloseBound, [&] { return m_Gate->Live <= 0; });
    }
    if (!done) {
        // A callback may still come: what it uses is left allocated rather than freed under it.
        _error("busd: cluster: NATS callbacks did not end in time");
        (void)m_Gate.release();
        (void)m_Loop.release();
        for (auto& sub : m_Subscriptions) {
            (void)sub.release();
        }
        m_Subscriptions.clear();
        return;
    }
    for (const auto& sub : m_Subscriptions) {
        natsSubscription_Destroy(sub->Sub);
    }
    m_Subscriptions.clear();
    if (m_Connection != nullptr) {
        natsConnection_Destroy(m_Connection);
        m_Connection = nullptr;
    }
}

} // namespace busd
