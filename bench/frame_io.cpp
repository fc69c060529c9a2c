// Frame writer and reader over a loopback connection: BLOB throughput, and the round trip of a
// request frame answered by a small frame with default socket options (Nagle on), which shows
// whether a frame's end waits for the peer's delayed acknowledgement.

#include "tessary/protocol/shared/FrameReader.h"
#include "tessary/protocol/shared/FrameWriter.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

// The accepting side's socket: the library only ever connects, the bench plays both ends.
class AcceptedSocket : public Socket {
public:
    explicit AcceptedSocket(SocketHandle handle) { AdoptHandle(handle); }
};

// One loopback connection with a NetBuffer on each end.
struct Connection {
    NetBuffer Client;
    NetBuffer Server;

    Connection() {
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) < 0 ||
            ::listen(listener, 1) < 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) < 0 ||
            !Client.Connect("127.0.0.1", ntohs(address.sin_port))) {
            throw std::runtime_error("loopback connection failed");
        }
        const int accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        ::close(listener);
        if (accepted < 0) {
            throw std::runtime_error("accept failed");
        }
        Server.SocketHolder().Attach(new AcceptedSocket(accepted));
    }
};

bool ReadFrame(NetBuffer& stream, TmplBlockBuffer<unsigned char>& blob) {
    MessageHead head(0);
    if (stream.ReadBytes(&head, sizeof head) != static_cast<int32_t>(sizeof head)) {
        return false;
    }
    DString text8;
    WString text16;
    return NetRead(stream, head, text8, text16, blob);
}

bool ReadReply(NetBuffer& stream) {
    MessageHead reply(0);
    return stream.ReadBytes(&reply, sizeof reply) == static_cast<int32_t>(sizeof reply) &&
           ReadTail(stream);
}

bool BlobRoundTrip(Connection& connection, const TmplBlockBuffer<unsigned char>& blob) {
    std::thread writer([&] {
        MessageHead head(HeadType::Message);
        head.Flags |= HeadFlag::BLOB;
        WriteBLOB(connection.Client, head, "blob", 4, blob);
    });
    TmplBlockBuffer<unsigned char> received;
    const bool read = ReadFrame(connection.Server, received);
    writer.join();
    return read && received.Length() == blob.Length();
}

void RunBlobRoundTrips(benchmark::State& state) {
    const int size = static_cast<int>(state.range(0));
    Connection connection;
    TmplBlockBuffer<unsigned char> blob;
    std::memset(blob.Allocate(size), 0x5A, static_cast<size_t>(size));
    if (!BlobRoundTrip(connection, blob)) {
        state.SkipWithError("the BLOB did not come back whole");
        return;
    }
    for (auto _ : state) {
        if (!BlobRoundTrip(connection, blob)) {
            state.SkipWithError("the BLOB did not come back whole");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * size);
}

// Every received BLOB lands in a block of fresh pages, as it does for an application that
// receives one now and then: the first touch of each page is part of the cost.
void BM_BlobThroughLoopback(benchmark::State& state) { RunBlobRoundTrips(state); }
BENCHMARK(BM_BlobThroughLoopback)
    ->Arg(256 << 20)
    ->Iterations(4)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The same with the allocator told to keep large blocks in its heap, so each received BLOB
// reuses the pages of the one before: the cost of the connection path alone.
void BM_BlobThroughLoopbackWarmPages(benchmark::State& state) {
    mallopt(M_MMAP_THRESHOLD, 512 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    RunBlobRoundTrips(state);
}
BENCHMARK(BM_BlobThroughLoopbackWarmPages)
    ->Arg(256 << 20)
    ->Iterations(4)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The server side answers every frame with a head-only Reply until the connection ends.
void Answer(NetBuffer& server) {
    TmplBlockBuffer<unsigned char> blob;
    while (ReadFrame(server, blob)) {
        MessageHead reply(HeadType::Reply);
        WriteHead(server, reply);
    }
}

void BM_RequestAnsweredBySmallFrame(benchmark::State& state) {
    const bool withBlob = state.range(0) != 0;
    Connection connection;
    std::thread server([&] { Answer(connection.Server); });
    const std::vector<char> body(withBlob ? 16 : 40 * 1024, 'm');
    TmplBlockBuffer<unsigned char> blob;
    if (withBlob) {
        std::memset(blob.Allocate(1 << 20), 0x42, 1 << 20);
    }
    for (auto _ : state) {
        MessageHead head(HeadType::Message);
        const auto n = static_cast<int32_t>(body.size());
        if (withBlob) {
            WriteBLOB(connection.Client, head, body.data(), n, blob);
        } else {
            WriteMessage(connection.Client, head, body.data(), n);
        }
        if (!ReadReply(connection.Client)) {
            state.SkipWithError("no reply");
            break;
        }
    }
    state.SetLabel(withBlob ? "1 MiB BLOB" : "40 KiB body");
    connection.Client.Close();
    server.join();
}
BENCHMARK(BM_RequestAnsweredBySmallFrame)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// For comparison: the same 40 KiB request sent as two plain sends (a block, then the rest)
// without corking, the way a buffered writer without corking puts it out. Its end waits for
// the peer's delayed acknowledgement.
void BM_RequestSentUncorkedForComparison(benchmark::State& state) {
    Connection connection;
    std::thread server([&] { Answer(connection.Server); });
    const std::vector<char> body(40 * 1024, 'm');
    Socket& socket = *connection.Client.SocketHolder();
    for (auto _ : state) {
        MessageHead head(HeadType::Message);
        head.cbMessage = static_cast<int32_t>(body.size());
        std::vector<char> frame(sizeof head + body.size() + sizeof(Tail));
        std::memcpy(frame.data(), &head, sizeof head);
        std::memcpy(frame.data() + sizeof head, body.data(), body.size());
        const Tail tail;
        std::memcpy(frame.data() + sizeof head + body.size(), &tail, sizeof tail);
        socket.SendBinary(frame.data(), 32768);
        socket.SendBinary(frame.data() + 32768, static_cast<uint32_t>(frame.size() - 32768));
        if (!ReadReply(connection.Client)) {
            state.SkipWithError("no reply");
            break;
        }
    }
    connection.Client.Close();
    server.join();
}
BENCHMARK(BM_RequestSentUncorkedForComparison)
    ->Iterations(20)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
