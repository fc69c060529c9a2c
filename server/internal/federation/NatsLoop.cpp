#include "server/internal/federation/NatsLoop.h"

#include "tessary/external/Log.h"

#include <nats/nats.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace busd {

namespace {

constexpr auto RetryPeriod = std::chrono::milliseconds(100);

} // namespace

struct NatsLoop::Callbacks {
    static natsStatus Attach(void** userData, void* loop, natsConnection* nc, natsSock socket) {
        auto* self = static_cast<NatsLoop*>(loop);
        *userData = self;
        self->Update([&](Wish& wish) {
            wish.Connection = nc;
            wish.Socket = socket;
            ++wish.Generation;
            wish.Read = true;
            // One write attempt on every new socket: should nats.c hold something already, it
            // goes out without waiting for nats.c to ask.
            wish.Write = true;
        });
        return NATS_OK;
    }
    static natsStatus Read(void* userData, bool add) {
        static_cast<NatsLoop*>(userData)->Update([&](Wish& wish) { wish.Read = add; });
        return NATS_OK;
    }
    static natsStatus Write(void* userData, bool add) {
        static_cast<NatsLoop*>(userData)->Update([&](Wish& wish) { wish.Write = add; });
        return NATS_OK;
    }
    static natsStatus Detach(void* userData) {
        static_cast<NatsLoop*>(userData)->Update([&](Wish& wish) {
            wish.Socket = -1;
            ++wish.Generation;
            wish.Read = false;
            wish.Write = false;
        });
        return NATS_OK;
    }
};

NatsLoop::NatsLoop(asio::io_context& io, std::function<void()> afterRead)
    : m_Io(io), m_AfterRead(std::move(afterRead)), m_Socket(io), m_DrainTimer(io),
      m_RetryTimer(io) {}

NatsLoop::~NatsLoop() { Release(); }

bool NatsLoop::Install(natsOptions* opts) {
    return natsOptions_SetEventLoop(opts, this, &Callbacks::Attach, &Callbacks::Read,
                                    &Callbacks::Write, &Callbacks::Detach) == NATS_OK;
}

template <typename Change>
void NatsLoop::Update(Change change) {
    const std::lock_guard<std::mutex> lock(m_Mutex);
    change(m_Wish);
    // One alignment per batch of wishes: what nats.c asks for while one is queued joins it.
    if (!m_AlignPosted && !m_Stopped) {
        m_AlignPosted = true;
        asio::post(m_Io, [this] { Align(); });
    }
}

void NatsLoop::Align() {
    Wish wish;
    {
        const std::lock_guard<std::mutex> lock(m_Mutex);
        m_AlignPosted = false;
        if (m_Stopped) {
            return;
        }
        wish = m_Wish;
    }
    if (wish.Generation != m_Generation) {
        Release();
        m_Generation = wish.Generation;
        m_Connection = wish.Connection;
        if (wish.Socket >= 0 && !m_Draining) {
            const int copy = fcntl(wish.Socket, F_DUPFD_CLOEXEC, 0);
            std::error_code error;
            if (copy >= 0) {
                m_Socket.assign(copy, error);
            }
            if (copy < 0 || error) {
                _error("busd: cluster: cannot watch the NATS socket: %s",
                       copy < 0 ? std::strerror(errno) : error.message().c_str());
                if (copy >= 0) {
                    ::close(copy);
                }
                return;
            }
        }
    }
    if (!m_Socket.is_open()) {
        return;
    }
    if (wish.Read && !m_Draining) {
        WaitRead();
    }
    if (wish.Write) {
        WriteNow();
    } else if (m_Draining) {
        // Everything nats.c held is out.
        Release();
    }
}

void NatsLoop::WaitRead() {
    if (m_ReadWaiting) {
        return;
    }
    m_ReadWaiting = true;
    m_Socket.async_wait(
        asio::posix::descriptor_base::wait_read,
        [this, generation = m_Generation](const std::error_code& error) {
            if (generation != m_Generation) {
                return;
            }
            m_ReadWaiting = false;
            if (error || m_Draining) {
                return;
            }
            natsConnection_ProcessReadEvent(m_Connection);
            // Every message of the batch is handled before the loop sleeps again.
            m_AfterRead();
            bool read = false;
            {
                const std::lock_guard<std::mutex> lock(m_Mutex);
                read = m_Wish.Read && m_Wish.Generation == generation;
            }
            if (!read || !m_Socket.is_open()) {
                return;
            }
            if (natsConnection_Status(m_Connection) == NATS_CONN_STATUS_CONNECTED) {
                WaitRead();
                return;
            }
            // A socket nats.c has given up reads as closed at once, so watching it would spin
            // until the next attach replaces it; it is looked at again a little later instead.
            m_RetryTimer.expires_after(RetryPeriod);
            m_RetryTimer.async_wait([this, generation](const std::error_code& timer) {
                if (!timer && generation == m_Generation && m_Socket.is_open() && !m_Draining) {
                    WaitRead();
                }
            });
        });
}

void NatsLoop::WriteNow() {
    if (m_WriteWaiting) {
        return;
    }
    // Most writes go through at once; only a full socket buffer is waited for.
    natsConnection_ProcessWriteEvent(m_Connection);
    bool write = false;
    {
        const std::lock_guard<std::mutex> lock(m_Mutex);
        write = m_Wish.Write && m_Wish.Generation == m_Generation;
    }
    if (write) {
        WaitWrite();
    } else if (m_Draining) {
        Release();
    }
}

void NatsLoop::WaitWrite() {
    if (m_WriteWaiting || !m_Socket.is_open()) {
        return;
    }
    m_WriteWaiting = true;
    m_Socket.async_wait(asio::posix::descriptor_base::wait_write,
                        [this, generation = m_Generation](const std::error_code& error) {
                            if (generation != m_Generation) {
                                return;
                            }
                            m_WriteWaiting = false;
                            if (!error) {
                                WriteNow();
                            }
                        });
}

void NatsLoop::Drain(std::chrono::milliseconds bound) {
    m_Draining = true;
    bool write = false;
    {
        const std::lock_guard<std::mutex> lock(m_Mutex);
        write = m_Wish.Write && m_Wish.Generation == m_Generation;
    }
    if (!write || !m_Socket.is_open()) {
        Release();
        return;
    }
    m_DrainTimer.expires_after(bound);
    m_DrainTimer.async_wait([this](const std::error_code& error) {
        if (!error) {
            Release();
        }
    });
    WriteNow();
}

void NatsLoop::Stop() {
    {
        const std::lock_guard<std::mutex> lock(m_Mutex);
        m_Stopped = true;
    }
    Release();
}

void NatsLoop::Release() {
    m_DrainTimer.cancel();
    m_RetryTimer.cancel();
    std::error_code ignored;
    m_Socket.cancel(ignored);
    m_Socket.close(ignored);
    m_ReadWaiting = false;
    m_WriteWaiting = false;
}

} // namespace busd
