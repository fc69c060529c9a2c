#pragma once

#include "testkit/Eventually.h"
#include "testkit/FrameBytes.h"

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

using Millis = std::chrono::milliseconds;

// 127.0.0.1:port.
sockaddr_in Loopback(uint16_t port);

// Writes all of data to a blocking socket; false when the connection fails first.
bool SendAll(int fd, const void* data, size_t size);

// A blocking client that speaks frames byte by byte, for tests of the bus server and the
// daemon: it writes exactly the bytes a test builds (also broken ones) and reads frames back
// under a deadline, taken apart by the test codec.
class RawClient {
public:
    RawClient() = default;
    explicit RawClient(int port) { Connect(port); }
    RawClient(RawClient&& other) noexcept;
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;
    ~RawClient();

    bool Connect(int port);
    bool IsOpen() const { return m_Fd >= 0; }
    // Wakes a read blocked on another thread (it then fails); Close after that thread is done.
    void Shutdown();
    // "127.0.0.1:port" as the server names this client in its log.
    std::string PeerName() const;
    void Close();

    bool Send(const Bytes& bytes) { return Send(bytes.data(), bytes.size()); }
    bool Send(const void* data, size_t size);
    // Exactly size bytes, or false when the connection ends or the deadline passes.
    bool ReadExact(void* data, size_t size, Millis timeout = Bound);
    std::optional<Bytes> ReadRaw(size_t size, Millis timeout = Bound);
    // One whole frame.
    std::optional<PeerFrame> Read(Millis timeout = Bound);
    // True when the server ends the connection within the deadline; bytes before are dropped.
    bool WaitClosed(Millis timeout = Bound);
    // True once a byte is there to read (or the connection ended) within timeout.
    bool Readable(Millis timeout);

    // Registers id on a status port and reads the SYNC and on-line frames that follow.
    bool Listen(const char* id);

private:
    bool WaitReadable(std::chrono::steady_clock::time_point deadline);
    // Reads what the socket has behind the buffered bytes; false at the deadline, at the end
    // of the connection or when the buffer may not grow further.
    bool Fill(std::chrono::steady_clock::time_point deadline);

    int m_Fd = -1;
    // Reads go through this buffer, so a frame costs one read rather than one per part and is
    // taken apart by the test codec.
    Bytes m_In;
    size_t m_InAt = 0;
    size_t m_InEnd = 0;
};
