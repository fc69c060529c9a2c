#pragma once

#include "testkit/Eventually.h"
#include "tessary/protocol/shared/FrameCodec.h"
#include "testkit/FrameBytes.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// An in-process stand-in for a bus server in byte-level tests: a listening socket on
// 127.0.0.1 that accepts every connection in turn, records what each one sends, and plays
// scripted bytes back.
//
//   LoopbackPeer peer;                                   // listens on a port the OS picks
//   client.Connect(LoopbackPeer::Host, peer.Port());
//   ASSERT_TRUE(peer.WaitForFrames(1));                  // bounded wait (Bound by default)
//   PeerFrame request = peer.Frames()[0];
//   peer.Send(FrameBuilder(AnswerHead(request.Head, HeadType::Reply)).Build());
//   peer.Close();                                        // after everything queued is sent
//
// Connections are numbered 0, 1, 2, ... in the order they were accepted; every operation
// takes the number (default 0), and a connection's record stays readable after it is closed.
// Sends are queued and written by the connection's own writing thread as the client reads, so
// a test can script megabytes before the library starts reading. Close and Reset run in queue
// order, after the bytes queued before them.
//
// Threads: one accepts; each connection has one that reads and one that writes. The Responder
// runs on the reading thread, one call at a time across connections, without the peer's lock
// held, and may call any operation of the peer.
class LoopbackPeer {
public:
    using Duration = std::chrono::milliseconds;
    // Called for each complete frame a connection sends, in order.
    using Responder =
        std::function<void(LoopbackPeer& peer, size_t connection, const PeerFrame& frame)>;

    static constexpr const char* Host = "127.0.0.1";

    // Listens on port (0: one the OS picks). Throws std::runtime_error when it cannot.
    explicit LoopbackPeer(uint16_t port = 0);
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;
    // Closes every connection and the listener.
    ~LoopbackPeer();

    // count peers on ports base, base + step, base + 2 step, ... (the bus servers' port
    // pattern), for a free base the OS helps choose. Throws std::runtime_error when no base
    // works after a bounded number of tries.
    static std::vector<std::unique_ptr<LoopbackPeer>> OpenSeries(int count, int step = 2);

    uint16_t Port() const { return m_Port; }

    // Set before clients connect; a responder set later sees only later frames.
    void SetResponder(Responder responder);

    // Further connects are refused (a bus server that went away); accepted connections carry
    // on.
    void StopListening();

    size_t ConnectionCount() const;
    bool WaitForConnections(size_t count, Duration wait = Bound) const;

    // What a connection has sent so far.
    Bytes Received(size_t connection = 0) const;
    // The complete frames among the received bytes.
    std::vector<PeerFrame> Frames(size_t connection = 0) const;
    bool WaitForBytes(size_t count, size_t connection = 0, Duration wait = Bound) const;
    bool WaitForFrames(size_t count, size_t connection = 0, Duration wait = Bound) const;
    // True once the client closed its side (end of stream or reset) within wait.
    bool WaitForClientClose(size_t connection = 0, Duration wait = Bound) const;

    // Queues bytes for the client.
    void Send(Bytes bytes, size_t connection = 0);
    // Closes after the queued bytes are out (the client reads them, then end of stream).
    void Close(size_t connection = 0);
    // Closes with a reset (SO_LINGER 0): the client's next send fails with a reset.
    void Reset(size_t connection = 0);

    // A port on which nothing listens: one the OS just handed out and took back.
    static uint16_t ClosedPort() { return LoopbackPeer().Port(); }

private:
    enum class Kind { Data, Close, Reset };
    struct Operation {
        Kind What = Kind::Data;
        Bytes Data;
    };
    struct Connection {
        int Fd = -1;
        Bytes Received;
        bool ClientClosed = false;
        // Set by a Close or Reset; the reading thread then closes the socket.
        bool Closing = false;
        std::deque<Operation> Outgoing;
        // Splits the received bytes as they come: where each complete frame ends.
        FrameCodec Codec{INT64_MAX};
        std::vector<size_t> Ends;
        // Frames handed to the responder.
        size_t Delivered = 0;
        std::thread Reader;
        std::thread Writer;
    };

    void Accept();
    void Read(Connection& connection, size_t index);
    void Write(Connection& connection);
    void Enqueue(size_t connection, Operation operation);
    // Waits until the connection is there and predicate holds for it.
    template <typename Predicate>
    bool WaitOn(size_t connection, Duration wait, Predicate predicate) const;

    int m_Listener = -1;
    uint16_t m_Port = 0;
    bool m_Stop = false;
    Responder m_Responder;
    std::vector<std::unique_ptr<Connection>> m_Connections;
    mutable std::mutex m_Mutex;
    mutable std::condition_variable m_Changed;
    std::mutex m_Responding;
    std::thread m_Acceptor;
};

// Answers every frame with a head of type (and a tail), as the frame's target would.
inline LoopbackPeer::Responder Answering(uint32_t type) {
    return [type](LoopbackPeer& peer, size_t connection, const PeerFrame& frame) {
        peer.Send(FrameBuilder(AnswerHead(frame.Head, type)).Build(), connection);
    };
}
