// Brokered traffic through an embedded bus server, with raw-frame clients on both ends: the
// daemon's own cost without any library on top.

#include "server/BusServer.h"
#include "testkit/RawClient.h"

#include <benchmark/benchmark.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// Reads the rest of a frame after its head into a scratch buffer.
bool Discard(RawClient& client, const MessageHead& head, std::vector<char>& scratch) {
    auto skip = [&](uint64_t n) {
        while (n > 0) {
            const size_t take = static_cast<size_t>(std::min<uint64_t>(n, scratch.size()));
            if (!client.ReadExact(scratch.data(), take)) {
                return false;
            }
            n -= take;
        }
        return true;
    };
    if (head.cbMessage > 0 && !skip(static_cast<uint64_t>(head.cbMessage))) {
        return false;
    }
    if (head.cbBLOB > 0) {
        for (;;) {
            MessagePDV pdv;
            if (!client.ReadExact(&pdv, sizeof pdv) || !pdv.Is()) {
                return false;
            }
            if (pdv.IsLast()) {
                break;
            }
            if (!skip(pdv.cbData)) {
                return false;
            }
        }
    }
    return skip(sizeof(Tail));
}

// A receiver on its own thread that acknowledges every message with a short reply.
class EchoReceiver {
public:
    explicit EchoReceiver(int statusPort) : m_Client(statusPort) {
        m_Client.Listen("bench");
        m_Thread = std::thread([this] { Run(); });
    }
    ~EchoReceiver() {
        m_Client.Close();
        m_Thread.join();
    }

private:
    void Run() {
        std::vector<char> scratch(1 << 20);
        MessageHead head;
        while (m_Client.ReadExact(&head, sizeof head, Millis(60000)) &&
               Discard(m_Client, head, scratch)) {
            if (head.Type != HeadType::Message) {
                continue;
            }
            MessageHead ack = Head(HeadType::Ack, "bench", "client");
            ack.MessageID = head.MessageID;
            ack.CallerID = head.CallerID;
            if (!m_Client.Send(FrameBuilder(ack).Body("ok").Build())) {
                return;
            }
        }
    }

    RawClient m_Client;
    std::thread m_Thread;
};

busd::BusServerOptions BenchOptions() {
    busd::BusServerOptions options;
    options.CommandPort = 0;
    options.StatusPort = 0;
    options.NbOfBUSServer = 1;
    options.MaxFrameBytes = 1ll << 31;
    return options;
}

void BM_RequestAckRoundTrip(benchmark::State& state) {
    busd::BusServer server(BenchOptions());
    if (!server.Start()) {
        state.SkipWithError("cannot start the bus server");
        return;
    }
    EchoReceiver receiver(server.StatusPort());
    RawClient client(server.CommandPort());
    const std::string body(static_cast<size_t>(state.range(0)), 'x');
    for (auto _ : state) {
        const MessageHead send =
            Head(HeadType::Message, "client", "bench", 42, HeadFlag::AckRequested);
        if (!client.Send(FrameBuilder(send).Body(body).Build())) {
            state.SkipWithError("send failed");
            break;
        }
        const auto reply = client.Read();
        const auto ack = client.Read();
        if (!reply || !ack || ack->Head.Type != HeadType::Ack) {
            state.SkipWithError("no acknowledgement");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    client.Close();
    server.Stop();
}
BENCHMARK(BM_RequestAckRoundTrip)->Arg(16)->Arg(4096)->UseRealTime();

void BM_BlobThroughput(benchmark::State& state) {
    busd::BusServer server(BenchOptions());
    if (!server.Start()) {
        state.SkipWithError("cannot start the bus server");
        return;
    }
    EchoReceiver receiver(server.StatusPort());
    RawClient client(server.CommandPort());
    const auto size = static_cast<uint32_t>(state.range(0));
    const Bytes blob(size, 'b');
    for (auto _ : state) {
        MessageHead send = Head(HeadType::Message, "client", "bench", 43,
                                HeadFlag::AckRequested | HeadFlag::BLOB);
        send.cbBLOB = static_cast<int32_t>(size);
        // As the library writes a BLOB of known size: one data PDV for all of it.
        const bool sent = client.Send(Concat({HeadBytes(send), PDVBytes(size)})) &&
                          client.Send(blob) &&
                          client.Send(Concat({PDVBytes(0, true), TailBytes()}));
        const auto reply = client.Read(Millis(60000));
        const auto ack = client.Read(Millis(60000));
        if (!sent || !reply || !ack || ack->Head.Type != HeadType::Ack) {
            state.SkipWithError("BLOB not acknowledged");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
    client.Close();
    server.Stop();
}
BENCHMARK(BM_BlobThroughput)->Arg(1 << 20)->Arg(64 << 20)->Arg(512 << 20)->UseRealTime();

// A connected loopback pair with no bus server in between, for the baselines below: the
// ceiling that the relayed figures compare with on this machine.
struct LoopbackPair {
    LoopbackPair() {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(listener, 1) == 0 &&
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
            client.Connect(ntohs(address.sin_port))) {
            peer = ::accept(listener, nullptr, nullptr);
        }
    }
    ~LoopbackPair() {
        client.Close();
        if (peer >= 0) {
            ::close(peer);
        }
        ::close(listener);
    }
    LoopbackPair(const LoopbackPair&) = delete;
    LoopbackPair& operator=(const LoopbackPair&) = delete;

    int listener = -1;
    int peer = -1;
    RawClient client;
};

// Answers every count bytes received with one byte.
std::thread Responder(int fd, size_t count) {
    return std::thread([fd, count] {
        std::vector<char> scratch(1 << 20);
        size_t total = 0;
        for (ssize_t n; (n = ::recv(fd, scratch.data(), scratch.size(), 0)) > 0;) {
            total += static_cast<size_t>(n);
            for (; total >= count; total -= count) {
                ::send(fd, "a", 1, MSG_NOSIGNAL);
            }
        }
    });
}

void BM_LoopbackPingPong(benchmark::State& state) {
    LoopbackPair pair;
    if (pair.peer < 0) {
        state.SkipWithError("cannot connect");
        return;
    }
    const Bytes request =
        FrameBuilder(Head(HeadType::Message, "client", "bench", 42)).Body("x").Build();
    std::thread responder = Responder(pair.peer, request.size());
    for (auto _ : state) {
        char answer = 0;
        if (!pair.client.Send(request) || !pair.client.ReadExact(&answer, 1)) {
            state.SkipWithError("ping-pong failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    ::shutdown(pair.peer, SHUT_RDWR);
    responder.join();
}
BENCHMARK(BM_LoopbackPingPong)->UseRealTime();

void BM_LoopbackBaseline(benchmark::State& state) {
    LoopbackPair pair;
    if (pair.peer < 0) {
        state.SkipWithError("cannot connect");
        return;
    }
    const auto size = static_cast<size_t>(state.range(0));
    const Bytes blob(size, 'b');
    std::thread responder = Responder(pair.peer, size);
    for (auto _ : state) {
        char answer = 0;
        if (!pair.client.Send(blob) || !pair.client.ReadExact(&answer, 1, Millis(60000))) {
            state.SkipWithError("loopback failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
    ::shutdown(pair.peer, SHUT_RDWR);
    responder.join();
}
BENCHMARK(BM_LoopbackBaseline)->Arg(64 << 20)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
