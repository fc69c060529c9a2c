#pragma once

#include "tessary/foundation/internal/IStreamBuffer.h"
#include "tessary/foundation/internal/OStreamBuffer.h"
#include "tessary/foundation/internal/Socket.h"
#include "tessary/protocol/internal/XDWHolder.h"

#include <cstdint>

// One bus connection as the frame reader and writer see it: a buffered input stream and a
// buffered output stream over one socket. Used by the thread that owns the connection; another
// thread may only call Teardown to break a blocked read.
class NetBuffer : public IStreamBuffer, public OStreamBuffer {
public:
    NetBuffer();
    ~NetBuffer() override;

    // Drops unread input and unflushed output alike.
    void Reset() override;
    bool IsValid() const override { return true; }
    int32_t ReadSource(void* destination, uint32_t capacity) override;
    bool Flush() override;
    virtual bool Close();
    virtual bool Teardown();
    virtual bool Connect(const char* host, uint32_t port);
    bool WriteSink(const void* data, uint32_t n) override;

    // The command session replaces the plain socket by its own kind through this holder.
    XDWHolder<Socket>& SocketHolder() { return m_Socket; }
    bool IsConnected() const { return m_Socket && m_Socket->IsConnected(); }

    // Holds back partial segments while one frame is written, so the frame leaves whole when
    // released (see FrameWriter).
    void Cork(bool on);

    // While held, Flush keeps the output back; it leaves with the first Flush after the hold
    // ends, or before the next read from the socket, whichever comes first. A reader answering
    // frames it has already read thus answers a burst of them with one send, and never waits
    // for its peer with answers still unsent.
    void HoldOutput(bool on) { m_Hold = on; }

private:
    XDWHolder<Socket> m_Socket;
    bool m_Hold = false;
};
