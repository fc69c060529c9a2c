#pragma once

#include <asio.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>

typedef struct __natsConnection natsConnection;
typedef struct __natsOptions natsOptions;

namespace busd {

// Drives nats.c's socket from the event loop: nats.c reads and writes only when the loop finds
// its socket ready, and on the loop's own thread. So a routed message reaches the loop without
// passing through nats.c's reader and delivery threads (two thread wake-ups each way), and a
// publish only appends to nats.c's buffer: the loop never waits for a slow server.
//
// nats.c announces a new socket (after each (re)connect) and whether it wants to read or write
// from whichever thread it is on; the wishes are kept under a lock and the loop brings its own
// waits in line with them.
class NatsLoop {
public:
    // afterRead runs on the loop after each batch nats.c has read, to take its messages.
    NatsLoop(asio::io_context& io, std::function<void()> afterRead);
    NatsLoop(const NatsLoop&) = delete;
    NatsLoop& operator=(const NatsLoop&) = delete;
    ~NatsLoop();

    bool Install(natsOptions* opts);
    // On the loop: reads no more, writes out what nats.c holds (for at most bound), then lets
    // go of the socket so that the loop can end.
    void Drain(std::chrono::milliseconds bound);
    // No more work is posted to the loop; after the loop has ended (or on it).
    void Stop();

private:
    struct Wish {
        natsConnection* Connection = nullptr;
        int Socket = -1;
        // Counts the sockets nats.c has handed over; a wait begun on an older one is void.
        uint64_t Generation = 0;
        bool Read = false;
        bool Write = false;
    };

    // nats.c's callbacks, on its threads or the loop's.
    struct Callbacks;
    friend struct Callbacks;
    template <typename Change>
    void Update(Change change);

    // On the loop.
    void Align();
    void WaitRead();
    void WaitWrite();
    void WriteNow();
    void Release();

    asio::io_context& m_Io;
    std::function<void()> m_AfterRead;

    std::mutex m_Mutex;
    Wish m_Wish;
    bool m_AlignPosted = false;
    bool m_Stopped = false;

    // The loop's side: a duplicate of nats.c's socket, so that nats.c closing its own never
    // leaves the loop watching a number the kernel has given to another socket.
    asio::posix::stream_descriptor m_Socket;
    natsConnection* m_Connection = nullptr;
    uint64_t m_Generation = 0;
    bool m_ReadWaiting = false;
    bool m_WriteWaiting = false;
    bool m_Draining = false;
    asio::steady_timer m_DrainTimer;
    asio::steady_timer m_RetryTimer;
};

} // namespace busd
