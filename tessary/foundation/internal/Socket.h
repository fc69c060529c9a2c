#pragma once

#include "tessary/external/DString.h"

#include <netinet/in.h>

#include <atomic>
#include <cstdint>

// A POSIX descriptor; NoSocket marks "no handle" (descriptor 0 is a valid socket here, so the
// Winsock convention of 0 cannot be kept).
using SocketHandle = int;
constexpr SocketHandle NoSocket = -1;

// One blocking IPv4 TCP client connection. Errors are reported with Winsock numbers (errno is
// mapped onto them) so texts and events read the same on every platform.
//
// Threads: the owning thread connects, sends and receives. Another thread may call Teardown or
// lower the receive time-out to break a read blocked on the owning thread, so the handle, the
// connected flag and the time-out are atomics.
class Socket {
public:
    static constexpr int DefaultReceiveTimeOut = 300;

    Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    virtual ~Socket();

    // Sends the whole range; false on a closed socket or a failed send. Only an aborted, reset
    // or shut-down connection (10053, 10054, 10058) is closed by a failure.
    virtual bool SendBinary(const char* data, uint32_t length);
    // Bytes read (> 0), 0 when the time-out is 0 and nothing is waiting, -1 when the connection
    // ended (closed, timed out, peer closed, error); every -1 leaves the socket closed.
    virtual int32_t Receive(char* buffer, uint32_t capacity);
    // Blocking connect to a dotted IPv4 address; an open connection is closed first.
    virtual bool Open(const char* address, uint32_t port);
    virtual bool Close();
    // Callable from another thread to break a Receive blocked on the owning thread: clears the
    // state, then shuts the connection down so that the read wakes at once (close alone does
    // not wake it on Linux). The descriptor is released by the owner's next Close or Open, or
    // by the destructor.
    virtual bool Teardown();
    // Takes over other's connection; other is left closed. Our own handle is closed first
    // rather than leaked.
    virtual SocketHandle Attach(Socket& other);
    // Called with the Winsock code of each failed socket, connect, send and setsockopt, before
    // the log line. Subclasses raise their error events here.
    virtual void OnError(int32_t code);

    int SetOption(int level, int option, const char* value, int length);
    int SetTcpNoDelay(bool on);
    // Holds partial segments while a frame is being written and pushes them when released, so
    // a frame's end never waits for the peer's delayed acknowledgement. Silent: failures only
    // cost latency.
    void SetCork(bool on);

    bool IsConnected() const { return m_bConnected.load(std::memory_order_acquire); }
    SocketHandle Handle() const { return m_hSocket.load(std::memory_order_acquire); }
    int ReceiveTimeOut() const { return m_ReceiveTimeOut.load(std::memory_order_relaxed); }
    void SetReceiveTimeOut(int seconds) {
        m_ReceiveTimeOut.store(seconds, std::memory_order_relaxed);
    }

    // True when handle's connection has the same address at both ends.
    static bool ConnectedToItself(SocketHandle handle);

    // Number of live sockets that took part in network start-up.
    static uint16_t InstanceCount();

    // "<code> -- <English> (<Chinese>)"; the Chinese texts are UTF-8.
    static DString ErrorText(int code);
    static DString EnglishErrorText(int code);
    static DString ChineseErrorText(int code);

protected:
    // Takes an accepted connection (the listening side of tests, tools and benchmarks, which
    // the library itself never is).
    void AdoptHandle(SocketHandle handle);

private:
    // Reads errno, maps it, calls OnError and returns the Winsock code.
    int32_t ReportError();

    sockaddr_in m_PeerAddress{};
    std::atomic<SocketHandle> m_hSocket{NoSocket};
    std::atomic<bool> m_bConnected{false};
    std::atomic<int> m_ReceiveTimeOut{DefaultReceiveTimeOut};
    // A descriptor shut down by Teardown, possibly still in use by a read on the owning thread.
    std::atomic<SocketHandle> m_hTornDown{NoSocket};
    // False when network start-up failed in the constructor; the destructor then leaves the
    // instance count alone.
    bool m_bStarted = false;
    // The receive time-out last put on the present handle in the kernel; NoTimeOut for a new
    // handle, which has none yet.
    static constexpr int NoTimeOut = -1;
    std::atomic<int> m_AppliedTimeOut{NoTimeOut};
};
