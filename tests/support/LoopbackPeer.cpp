#include "tests/support/LoopbackPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

std::runtime_error SystemError(const std::string& what) {
    return std::runtime_error("LoopbackPeer: " + what + ": " + std::strerror(errno));
}

} // namespace

LoopbackPeer::LoopbackPeer(uint16_t port) {
    m_Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_Listener < 0) {
        throw SystemError("socket");
    }
    const int on = 1;
    ::setsockopt(m_Listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(m_Listener, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
        ::listen(m_Listener, 64) < 0) {
        const auto error = SystemError("bind/listen on port " + std::to_string(port));
        ::close(m_Listener);
        throw error;
    }
    socklen_t length = sizeof address;
    ::getsockname(m_Listener, reinterpret_cast<sockaddr*>(&address), &length);
    m_Port = ntohs(address.sin_port);
    m_WakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_WakeFd < 0) {
        const auto error = SystemError("eventfd");
        ::close(m_Listener);
        throw error;
    }
    m_Thread = std::thread([this] { Run(); });
}

LoopbackPeer::~LoopbackPeer() {
    {
        std::lock_guard lock(m_Mutex);
        m_Stop = true;
    }
    Wake();
    m_Thread.join();
    for (auto& connection : m_Connections) {
        if (connection->Fd >= 0) {
            ::close(connection->Fd);
        }
    }
    if (m_Listener >= 0) {
        ::close(m_Listener);
    }
    ::close(m_WakeFd);
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
    {
        std::lock_guard lock(m_Mutex);
        m_StopListening = true;
    }
    Wake();
    // The peer thread closes the listener (it may be polling it); wait so that a connect made
    // right after this call is refused.
    std::unique_lock lock(m_Mutex);
    m_Changed.wait_for(lock, DefaultWait, [this] { return m_Listener < 0; });
}

void LoopbackPeer::Wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_WakeFd, &one, sizeof one);
}

template <typename Predicate> bool LoopbackPeer::WaitUntil(Duration wait, Predicate predicate) const {
    std::unique_lock lock(m_Mutex);
    return m_Changed.wait_for(lock, wait, predicate);
}

size_t LoopbackPeer::ConnectionCount() const {
    std::lock_guard lock(m_Mutex);
    return m_Connections.size();
}

bool LoopbackPeer::WaitForConnections(size_t count, Duration wait) const {
    return WaitUntil(wait, [&] { return m_Connections.size() >= count; });
}

Bytes LoopbackPeer::Received(size_t connection) const {
    std::lock_guard lock(m_Mutex);
    return m_Connections.at(connection)->Received;
}

std::vector<PeerFrame> LoopbackPeer::Frames(size_t connection) const {
    return ParseFrames(Received(connection));
}

bool LoopbackPeer::WaitForBytes(size_t count, size_t connection, Duration wait) const {
    return WaitUntil(wait, [&] {
        return m_Connections.size() > connection &&
               m_Connections[connection]->Received.size() >= count;
    });
}

bool LoopbackPeer::WaitForFrames(size_t count, size_t connection, Duration wait) const {
    return WaitUntil(wait, [&] {
        return m_Connections.size() > connection &&
               ParseFrames(m_Connections[connection]->Received).size() >= count;
    });
}

bool LoopbackPeer::WaitForClientClose(size_t connection, Duration wait) const {
    return WaitUntil(wait, [&] {
        return m_Connections.size() > connection && m_Connections[connection]->ClientClosed;
    });
}

void LoopbackPeer::Enqueue(size_t connection, Operation operation) {
    {
        std::lock_guard lock(m_Mutex);
        // A connection not yet accepted throws std::out_of_range: wait for it first.
        Connection& target = *m_Connections.at(connection);
        if (target.Fd < 0) {
            return;
        }
        target.Outgoing.push_back(std::move(operation));
    }
    Wake();
}

void LoopbackPeer::Send(Bytes bytes, size_t connection) {
    Enqueue(connection, Operation{Operation::Kind::Data, std::move(bytes), 0});
}

void LoopbackPeer::Close(size_t connection) {
    Enqueue(connection, Operation{Operation::Kind::Close, {}, 0});
}

void LoopbackPeer::Reset(size_t connection) {
    Enqueue(connection, Operation{Operation::Kind::Reset, {}, 0});
}


void LoopbackPeer::Run() {
    std::vector<pollfd> fds;
    std::vector<size_t> owners;
    for (;;) {
        fds.clear();
        owners.clear();
        {
            std::lock_guard lock(m_Mutex);
            if (m_Stop) {
                return;
            }
            if (m_StopListening && m_Listener >= 0) {
                ::close(m_Listener);
                m_Listener = -1;
                m_Changed.notify_all();
            }
            fds.push_back({m_WakeFd, POLLIN, 0});
            if (m_Listener >= 0) {
                fds.push_back({m_Listener, POLLIN, 0});
                owners.push_back(SIZE_MAX);
            }
            for (size_t i = 0; i < m_Connections.size(); ++i) {
                const Connection& connection = *m_Connections[i];
                short events = 0;
                if (!connection.ClientClosed) {
                    events |= POLLIN;
                }
                if (!connection.Outgoing.empty()) {
                    events |= POLLOUT;
                }
                // A connection with nothing to watch is left out: a closed-by-client socket
                // would otherwise report hang-up for ever.
                if (connection.Fd >= 0 && events != 0) {
                    fds.push_back({connection.Fd, events, 0});
                    owners.push_back(i);
                }
            }
        }
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            continue;
        }
        if (fds[0].revents != 0) {
            uint64_t value = 0;
            [[maybe_unused]] const ssize_t got = ::read(m_WakeFd, &value, sizeof value);
        }
        for (size_t k = 1; k < fds.size(); ++k) {
            const short revents = fds[k].revents;
            if (revents == 0) {
                continue;
            }
            const size_t owner = owners[k - 1];
            if (owner == SIZE_MAX) {
                AcceptAll();
                continue;
            }
            if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0 && (fds[k].events & POLLIN) != 0) {
                ReadFrom(owner);
            }
            if ((revents & (POLLOUT | POLLHUP | POLLERR)) != 0 &&
                (fds[k].events & POLLOUT) != 0) {
                WriteTo(owner);
            }
        }
    }
}

void LoopbackPeer::AcceptAll() {
    for (;;) {
        const int fd = ::accept4(m_Listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        {
            std::lock_guard lock(m_Mutex);
            auto connection = std::make_unique<Connection>();
            connection->Fd = fd;
            m_Connections.push_back(std::move(connection));
        }
        m_Changed.notify_all();
    }
}

void LoopbackPeer::ReadFrom(size_t index) {
    uint8_t buffer[65536];
    for (;;) {
        int fd = -1;
        {
            std::lock_guard lock(m_Mutex);
            fd = m_Connections[index]->Fd;
        }
        const ssize_t count = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
            break;
        }
        {
            std::lock_guard lock(m_Mutex);
            Connection& connection = *m_Connections[index];
            if (count > 0) {
                connection.Received.insert(connection.Received.end(), buffer, buffer + count);
            } else {
                connection.ClientClosed = true;
            }
        }
        m_Changed.notify_all();
        if (count <= 0) {
            break;
        }
    }
    DeliverFrames(index);
}

void LoopbackPeer::DeliverFrames(size_t index) {
    for (;;) {
        Responder responder;
        ParseResult result;
        {
            std::lock_guard lock(m_Mutex);
            if (!m_Responder) {
                return;
            }
            Connection& connection = *m_Connections[index];
            const size_t offset = connection.ResponderOffset;
            result = ParseFrame(connection.Received.data() + offset,
                                connection.Received.size() - offset);
            if (result.Status != ParseStatus::Complete) {
                return;
            }
            connection.ResponderOffset += result.Frame->Size;
            responder = m_Responder;
        }
        responder(*this, index, *result.Frame);
    }
}

void LoopbackPeer::WriteTo(size_t index) {
    {
        std::lock_guard lock(m_Mutex);
        Connection& connection = *m_Connections[index];
        while (!connection.Outgoing.empty() && connection.Fd >= 0) {
            Operation& operation = connection.Outgoing.front();
            if (operation.What == Operation::Kind::Data) {
                const size_t left = operation.Data.size() - operation.Sent;
                const ssize_t count =
                    left == 0 ? 0
                              : ::send(connection.Fd, operation.Data.data() + operation.Sent, left,
                                       MSG_NOSIGNAL | MSG_DONTWAIT);
                if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
                    break;
                }
                if (count < 0) {
                    // The client is gone: nothing queued can reach it any more.
                    connection.Outgoing.clear();
                    connection.ClientClosed = true;
                    break;
                }
                operation.Sent += static_cast<size_t>(count);
                if (operation.Sent == operation.Data.size()) {
                    connection.Outgoing.pop_front();
                }
                continue;
            }
            if (operation.What == Operation::Kind::Reset) {
                const linger abortive{1, 0};
                ::setsockopt(connection.Fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
            }
            ::close(connection.Fd);
            connection.Fd = -1;
            connection.Outgoing.clear();
        }
    }
    m_Changed.notify_all();
}
