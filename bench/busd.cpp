// Brokered traffic through an embedded bus server, with raw-frame clients on both ends: the
// daemon's own cost without any library on top.

#include "tessary/protocol/shared/FrameCodec.h"
#include "testkit/EmbeddedBus.h"
#include "testkit/Eventually.h"
#include "testkit/RawClient.h"

#include <benchmark/benchmark.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

// A receiver on its own thread that acknowledges every message with a short reply. The frames
// are split by the library's codec, fed just what it still wants of the current part, so a
// BLOB passes through a 1 MiB scratch buffer and is never held whole.
class EchoReceiver {
public:
    explicit EchoReceiver(int statusPort) : m_Client(statusPort) {
        m_Client.Listen("bench");
        m_Thread = std::thread([this] { Run(); });
    }
    ~EchoReceiver() {
        m_Client.Shutdown();
        m_Thread.join();
    }
    uint64_t Messages() const { return m_Messages.load(); }

private:
    void Run() {
        std::vector<char> scratch(1 << 20);
        FrameCodec codec(INT64_MAX);
        for (;;) {
            const size_t wanted = std::min(codec.Wanted(), scratch.size());
            if (wanted == 0 || !m_Client.ReadExact(scratch.data(), wanted, Millis(60000))) {
                return;
            }
            size_t used = 0;
            const FrameCodec::Step step = codec.Next(scratch.data(), wanted, used);
            // Fed no more than it wants, the codec takes all of it.
            if (step.status == FrameCodec::Status::Error || used != wanted) {
                return;
            }
            if (!step.frameEnd || codec.Head().Type != HeadType::Message) {
                continue;
            }
            ++m_Messages;
            MessageHead ack = Head(HeadType::Ack, "bench", "client");
            ack.MessageID = codec.Head().MessageID;
            ack.CallerID = codec.Head().CallerID;
            if (!m_Client.Send(FrameBuilder(ack).Body("ok").Build())) {
                return;
            }
        }
    }

    RawClient m_Client;
    std::atomic<uint64_t> m_Messages{0};
    std::thread m_Thread;
};

// One bus server that relays frames of up to 2 GiB, the echo receiver registered on it and a
// raw client on its command port.
struct EchoBus {
    EchoBus() {
        busd::BusServerOptions options = BusOptions(1);
        options.MaxFrameBytes = 1ll << 31;
        server = StartBus(options);
        if (server) {
            receiver = std::make_unique<EchoReceiver>(server->StatusPort());
            client.Connect(server->CommandPort());
        }
    }

    std::unique_ptr<busd::BusServer> server;
    std::unique_ptr<EchoReceiver> receiver;
    RawClient client;
};

void BM_RequestAckRoundTrip(benchmark::State& state) {
    EchoBus bus;
    if (!bus.server) {
        state.SkipWithError("cannot start the bus server");
        return;
    }
    RawClient& client = bus.client;
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
}
BENCHMARK(BM_RequestAckRoundTrip)->Arg(16)->Arg(4096)->UseRealTime();

// Posts: the bus server replies to each at once and relays it to the receiver, which the relay
// reaches in bursts while the sender goes on posting.
void BM_PostRelay(benchmark::State& state) {
    EchoBus bus;
    if (!bus.server) {
        state.SkipWithError("cannot start the bus server");
        return;
    }
    RawClient& client = bus.client;
    const Bytes post = FrameBuilder(Head(HeadType::Message, "client", "bench", 42))
                           .Body(std::string(16, 'x'))
                           .Build();
    const uint64_t before = bus.receiver->Messages();
    for (auto _ : state) {
        if (!client.Send(post)) {
            state.SkipWithError("post failed");
            break;
        }
        const auto reply = client.Read();
        if (!reply || reply->Head.Type != HeadType::Reply) {
            state.SkipWithError("no reply");
            break;
        }
    }
    // A relay that lost posts would only look fast.
    const uint64_t posted = static_cast<uint64_t>(state.iterations());
    if (!Eventually([&] { return bus.receiver->Messages() >= before + posted; })) {
        state.SkipWithError("posts never reached the receiver");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PostRelay)->UseRealTime();

void BM_BlobThroughput(benchmark::State& state) {
    EchoBus bus;
    if (!bus.server) {
        state.SkipWithError("cannot start the bus server");
        return;
    }
    RawClient& client = bus.client;
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
}
BENCHMARK(BM_BlobThroughput)->Arg(1 << 20)->Arg(64 << 20)->Arg(512 << 20)->UseRealTime();

// A connected loopback pair with no bus server in between, for the baselines below: the
// ceiling that the relayed figures compare with on this machine.
struct LoopbackPair {
    LoopbackPair() {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = Loopback(0);
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
