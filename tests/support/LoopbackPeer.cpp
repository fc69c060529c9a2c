#include "tests/support/LoopbackPeer.h"
#include "testkit/RawClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

LoopbackPeer::LoopbackPeer(uint16_t port) {
    m_Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(m_Listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = Loopback(port);
    socklen_t length = sizeof address;
    if (::bind(m_Listener, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
        ::listen(m_Listener, 64) < 0 ||
        ::getsockname(m_Listener, reinterpret_cast<sockaddr*>(&address), &length) < 0) {
        const std::string error = std::strerror(errno);
        ::close(m_Listener);
        throw std::runtime_error("LoopbackPeer: port " + std::to_string(port) + ": " + error);
    }
    m_Port = ntohs(address.sin_port);
    m_Acceptor = std::thread([this] { Accept(); });
}

LoopbackPeer::~LoopbackPeer() {
    {
        std::lock_guard lock(m_Mutex);
        m_Stop = true;
        ::shutdown(m_Listener, SHUT_RDWR);
        for (auto& connection : m_Connections) {
            if (connection->Fd >= 0 && !connection->Closing) {
                ::shutdown(connection->Fd, SHUT_RDWR);
            }
        }
    }
    m_Changed.notify_all();
    m_Acceptor.join();
    for (auto& connection : m_Connections) {
        connection->Writer.join();
        connection->Reader.join();
        if (connection->Fd >= 0) {
            ::close(connection->Fd);
        }
    }
    ::close(m_Listener);
}

std::vector<std::unique_ptr<LoopbackPeer>> LoopbackPeer::OpenSeries(int count, int step) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        std::vector<std::unique_ptr<LoopbackPeer>> peers;
        peers.push_back(std::make_unique<LoopbackPeer>(0));
        const int base = peers.front()->Port();
        if (base + step * (count - 1) > 65535) {
            continue;
        }
        try {
            for (int i = 1; i < count; ++i) {
                peers.push_back(std::make_unique<LoopbackPeer>(static_cast<uint16_t>(base + step * i)));
            }
            return peers;
        } catch (const std::runtime_error&) {
            // A port of the series is taken; try another base.
        }
    }
    throw std::runtime_error("LoopbackPeer: no free series of " + std::to_string(count) +
                             " ports");
}

void LoopbackPeer::SetResponder(Responder responder) {
    std::lock_guard lock(m_Mutex);
    m_Responder = std::move(responder);
}

void LoopbackPeer::StopListening() {
    // A listener shut down stops listening at once, keeps its port, and wakes the acceptor.
    ::shutdown(m_Listener, SHUT_RDWR);
}

template <typename Predicate>
bool LoopbackPeer::WaitOn(size_t connection, Duration wait, Predicate predicate) const {
    std::unique_lock lock(m_Mutex);
    return m_Changed.wait_for(lock, wait, [&] {
        return m_Connections.size() > connection && predicate(*m_Connections[connection]);
    });
}

size_t LoopbackPeer::ConnectionCount() const {
    std::lock_guard lock(m_Mutex);
    return m_Connections.size();
}

bool LoopbackPeer::WaitForConnections(size_t count, Duration wait) const {
    return count == 0 || WaitOn(count - 1, wait, [](const Connection&) { return true; });
}

Bytes LoopbackPeer::Received(size_t connection) const {
    std::lock_guard lock(m_Mutex);
    return m_Connections.at(connection)->Received;
}

std::vector<PeerFrame> LoopbackPeer::Frames(size_t connection) const {
    return ParseFrames(Received(connection));
}

bool LoopbackPeer::WaitForBytes(size_t count, size_t connection, Duration wait) const {
    return WaitOn(connection, wait, [&](const Connection& c) { return c.Received.size() >= count; });
}

bool LoopbackPeer::WaitForFrames(size_t count, size_t connection, Duration wait) const {
    return WaitOn(connection, wait, [&](const Connection& c) { return c.Ends.size() >= count; });
}

bool LoopbackPeer::WaitForClientClose(size_t connection, Duration wait) const {
    return WaitOn(connection, wait, [](const Connection& c) { return c.ClientClosed; });
}

void LoopbackPeer::Enqueue(size_t connection, Operation operation) {
    std::lock_guard lock(m_Mutex);
    // A connection not yet accepted throws std::out_of_range: wait for it first.
    Connection& target = *m_Connections.at(connection);
    if (!target.Closing) {
        target.Outgoing.push_back(std::move(operation));
        m_Changed.notify_all();
    }
}

void LoopbackPeer::Send(Bytes bytes, size_t connection) {
    Enqueue(connection, Operation{Kind::Data, std::move(bytes)});
}

void LoopbackPeer::Close(size_t connection) { Enqueue(connection, Operation{Kind::Close, {}}); }

void LoopbackPeer::Reset(size_t connection) { Enqueue(connection, Operation{Kind::Reset, {}}); }

void LoopbackPeer::Accept() {
    for (;;) {
        // Blocks until a client connects or the listener is shut down.
        const int fd = ::accept4(m_Listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0 && errno == EINVAL) {
            return;
        }
        std::lock_guard lock(m_Mutex);
        if (m_Stop && fd >= 0) {
            ::close(fd);
        } else if (fd >= 0) {
            auto& connection = *m_Connections.emplace_back(std::make_unique<Connection>());
            connection.Fd = fd;
            const size_t index = m_Connections.size() - 1;
            connection.Reader = std::thread([this, &connection, index] { Read(connection, index); });
            connection.Writer = std::thread([this, &connection] { Write(connection); });
            m_Changed.notify_all();
        }
    }
}

void LoopbackPeer::Read(Connection& connection, size_t index) {
    uint8_t buffer[65536];
    for (;;) {
        // Blocks until bytes come, the client closes, or a Close or the destructor shuts the
        // socket down. Only this thread closes it, so its number holds meanwhile.
        const ssize_t count = ::recv(connection.Fd, buffer, sizeof buffer, 0);
        std::unique_lock lock(m_Mutex);
        if (connection.Closing) {
            ::close(connection.Fd);
            connection.Fd = -1;
            m_Changed.notify_all();
            return;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            connection.ClientClosed = true;
            m_Changed.notify_all();
            return;
        }
        Bytes& received = connection.Received;
        received.insert(received.end(), buffer, buffer + count);
        const auto* data = reinterpret_cast<const char*>(received.data());
        for (size_t at = received.size() - static_cast<size_t>(count), used = 0;; at += used) {
            const auto step = connection.Codec.Next(data + at, received.size() - at, used);
            if (step.status != FrameCodec::Status::Segment) {
                break;
            }
            if (step.frameEnd) {
                connection.Ends.push_back(at + used);
            }
        }
        m_Changed.notify_all();
        for (size_t& done = connection.Delivered; m_Responder && done < connection.Ends.size();) {
            const size_t begin = done == 0 ? 0 : connection.Ends[done - 1];
            const ParseResult result = ParseFrame(received.data() + begin, received.size() - begin);
            ++done;
            const Responder responder = m_Responder;
            lock.unlock();
            {
                std::lock_guard responding(m_Responding);
                responder(*this, index, *result.Frame);
            }
            lock.lock();
        }
    }
}

void LoopbackPeer::Write(Connection& connection) {
    std::unique_lock lock(m_Mutex);
    for (;;) {
        m_Changed.wait(lock, [&] { return m_Stop || !connection.Outgoing.empty(); });
        if (m_Stop) {
            return;
        }
        Operation operation = std::move(connection.Outgoing.front());
        connection.Outgoing.pop_front();
        if (operation.What != Kind::Data) {
            if (operation.What == Kind::Reset) {
                const linger abortive{1, 0};
                ::setsockopt(connection.Fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
            }
            // The reading thread wakes and closes the socket.
            connection.Closing = true;
            connection.Outgoing.clear();
            ::shutdown(connection.Fd, SHUT_RD);
            return;
        }
        lock.unlock();
        const bool sent = SendAll(connection.Fd, operation.Data.data(), operation.Data.size());
        lock.lock();
        if (!sent) {
            // The client is gone: nothing queued can reach it any more.
            connection.Outgoing.clear();
            connection.ClientClosed = true;
            m_Changed.notify_all();
        }
    }
}
