#include "testkit/RawClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

namespace {

// No test sends a frame this large; a length above it means a broken stream.
constexpr size_t MaxBuffered = 512u << 20;

} // namespace

RawClient::RawClient(RawClient&& other) noexcept
    : m_Fd(std::exchange(other.m_Fd, -1)), m_In(std::move(other.m_In)),
      m_InAt(std::exchange(other.m_InAt, 0)), m_InEnd(std::exchange(other.m_InEnd, 0)) {}

RawClient::~RawClient() { Close(); }

bool RawClient::Connect(int port) {
    Close();
    m_Fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (m_Fd < 0) {
        return false;
    }
    sockaddr_in address = Loopback(static_cast<uint16_t>(port));
    if (::connect(m_Fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        Close();
        return false;
    }
    const int on = 1;
    ::setsockopt(m_Fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return true;
}

std::string RawClient::PeerName() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(m_Fd, reinterpret_cast<sockaddr*>(&address), &length);
    return "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
}

void RawClient::Close() {
    if (m_Fd >= 0) {
        ::close(m_Fd);
        m_Fd = -1;
    }
    m_InAt = m_InEnd = 0;
}

void RawClient::Shutdown() {
    if (m_Fd >= 0) {
        ::shutdown(m_Fd, SHUT_RDWR);
    }
}

bool RawClient::Send(const void* data, size_t size) { return SendAll(m_Fd, data, size); }

bool SendAll(int fd, const void* data, size_t size) {
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::send(fd, at, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        at += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool RawClient::WaitReadable(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) {
        return false;
    }
    pollfd fd{m_Fd, POLLIN, 0};
    return ::poll(&fd, 1, static_cast<int>(left.count())) > 0;
}

bool RawClient::Readable(Millis timeout) {
    return m_InAt < m_InEnd ||
           (m_Fd >= 0 && WaitReadable(std::chrono::steady_clock::now() + timeout));
}

bool RawClient::Fill(std::chrono::steady_clock::time_point deadline) {
    std::copy(m_In.begin() + static_cast<long>(m_InAt), m_In.begin() + static_cast<long>(m_InEnd),
              m_In.begin());
    m_InEnd -= m_InAt;
    m_InAt = 0;
    if (m_InEnd == m_In.size()) {
        if (m_In.size() >= MaxBuffered) {
            return false;
        }
        m_In.resize(std::max<size_t>(64 * 1024, 2 * m_In.size()));
    }
    for (;;) {
        if (m_Fd < 0 || !WaitReadable(deadline)) {
            return false;
        }
        const ssize_t n = ::recv(m_Fd, m_In.data() + m_InEnd, m_In.size() - m_InEnd, 0);
        if (n > 0) {
            m_InEnd += static_cast<size_t>(n);
            return true;
        }
        if (n == 0 || errno != EINTR) {
            return false;
        }
    }
}

bool RawClient::ReadExact(void* data, size_t size, Millis timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (m_InEnd - m_InAt < size) {
        if (!Fill(deadline)) {
            return false;
        }
    }
    if (size > 0) {
        std::memcpy(data, m_In.data() + m_InAt, size);
        m_InAt += size;
    }
    return true;
}

std::optional<Bytes> RawClient::ReadRaw(size_t size, Millis timeout) {
    Bytes bytes(size);
    if (!ReadExact(bytes.data(), size, timeout)) {
        return std::nullopt;
    }
    return bytes;
}

std::optional<PeerFrame> RawClient::Read(Millis timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const ParseResult parsed =
            m_InAt < m_InEnd ? ParseFrame(m_In.data() + m_InAt, m_InEnd - m_InAt) : ParseResult{};
        if (parsed.Status == ParseStatus::Complete) {
            m_InAt += parsed.Frame->Size;
            return parsed.Frame;
        }
        if (parsed.Status == ParseStatus::Malformed || !Fill(deadline)) {
            return std::nullopt;
        }
    }
}

bool RawClient::WaitClosed(Millis timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char sink[65536];
    m_InAt = m_InEnd = 0;
    while (m_Fd >= 0 && WaitReadable(deadline)) {
        const ssize_t n = ::recv(m_Fd, sink, sizeof sink, 0);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
            return true;
        }
    }
    return false;
}

bool RawClient::Listen(const char* id) {
    if (!Send(HeadBytes(Head(HeadType::Listen, id, "")))) {
        return false;
    }
    const auto sync = Read();
    const auto online = Read();
    return sync && sync->Head.Type == HeadType::SYNC && online &&
           online->Head.Type == HeadType::Message &&
           online->Head.Command == FixedCommand::ServerOnline;
}
