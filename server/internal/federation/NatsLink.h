#pragma once

#include "server/BusServer.h"
#include "server/internal/federation/NatsLoop.h"

#include <asio.hpp>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

typedef struct __natsConnection natsConnection;
typedef struct __natsSubscription natsSubscription;
typedef struct __natsMsg natsMsg;

namespace busd {

class Counters;

// This node's one connection to the NATS cluster. nats.c reconnects by itself, to any server
// of the list or that the cluster advertises. Its socket is read and written on the event loop
// (NatsLoop), and the messages nats.c has read are taken from it there, so the rest of the
// federation runs on the loop's thread only.
class NatsLink {
public:
    // The message owns data: a handler that keeps it keeps data valid.
    using Message = std::shared_ptr<natsMsg>;
    using Handler = std::function<void(std::string_view data, const Message& message)>;

    NatsLink(asio::io_context& io, Counters& counters);
    NatsLink(const NatsLink&) = delete;
    NatsLink& operator=(const NatsLink&) = delete;
    // Closes the connection and waits until no callback can run any more.
    ~NatsLink();

    // Starts connecting; true also while no server answers yet (the link keeps trying and
    // what is published meanwhile waits in nats.c's reconnect buffer). onConnected runs on the
    // loop each time the link (re)connects.
    bool Connect(const ClusterOptions& options, const std::string& name,
                 std::function<void()> onConnected, std::string& error);
    // After Connect; the handler runs on the loop. False (with a log line) when refused.
    bool Subscribe(const std::string& subject, Handler handler);
    // On the loop; nats.c takes a copy and the loop writes it out as the socket takes it; false
    // when nats.c refused the message.
    bool Publish(const std::string& subject, const void* data, size_t size);
    // On the loop, at shutdown: what was published goes out (for a bounded time), then the
    // link lets the loop end.
    void Drain();
    // The largest message the cluster takes (nats.c's default until connected).
    size_t MaxPayload() const;

private:
    struct Gate;
    struct Subscription;

    void TakeMessages();
    static void OnConnected(natsConnection* nc, void* closure);
    static void OnDisconnected(natsConnection* nc, void* closure);
    static void OnReconnected(natsConnection* nc, void* closure);
    static void OnClosed(natsConnection* nc, void* closure);
    void Close();

    asio::io_context& m_Io;
    Counters& m_Counters;
    std::unique_ptr<Gate> m_Gate;
    std::unique_ptr<NatsLoop> m_Loop;
    std::vector<std::unique_ptr<Subscription>> m_Subscriptions;
    natsConnection* m_Connection = nullptr;
};

} // namespace busd
