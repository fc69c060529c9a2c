#include "tessary/foundation/internal/Socket.h"

#include "tessary/external/Log.h"
#include "tessary/foundation/shared/SocketErrorText.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <mutex>

namespace {

// Network start-up is tied to the lifetime of the sockets: the first one starts it, the last
// one cleans it up. POSIX needs neither step, but the count is kept so the bracket stays where
// a platform that needs it would put it. Creation and destruction happen on any thread, so the
// count and the two steps are guarded together.
std::mutex gInstanceMutex;
uint16_t gInstanceCount = 0;

bool StartNetwork() { return true; }
void CleanupNetwork() {}

void CloseHandle(SocketHandle handle) {
    if (handle != NoSocket) {
        ::close(handle);
    }
}

// Puts a receive time-out of whole seconds on handle; 0 for "block without limit" is never
// asked for here (a time-out of 0 polls instead).
bool ApplyReceiveTimeOut(SocketHandle handle, int seconds) {
    timeval limit{};
    limit.tv_sec = seconds;
    return ::setsockopt(handle, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0;
}

// A connect interrupted by a signal goes on in the background; wait for its outcome.
int FinishInterruptedConnect(SocketHandle handle) {
    pollfd entry{handle, POLLOUT, 0};
    while (::poll(&entry, 1, -1) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(handle, SOL_SOCKET, SO_ERROR, &error, &length) < 0) {
        return -1;
    }
    if (error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}

} // namespace

Socket::Socket() {
    std::lock_guard lock(gInstanceMutex);
    if (gInstanceCount == 0 && !StartNetwork()) {
        return;
    }
    ++gInstanceCount;
    m_bStarted = true;
}

Socket::~Socket() {
    CloseHandle(m_hSocket.exchange(NoSocket));
    CloseHandle(m_hTornDown.exchange(NoSocket));
    std::lock_guard lock(gInstanceMutex);
    if (!m_bStarted || gInstanceCount == 0) {
        return;
    }
    if (--gInstanceCount == 0) {
        CleanupNetwork();
    }
}

uint16_t Socket::InstanceCount() {
    std::lock_guard lock(gInstanceMutex);
    return gInstanceCount;
}

int32_t Socket::ReportError() {
    const int32_t code = ToWinsockError(errno);
    OnError(code);
    return code;
}

bool Socket::Open(const char* address, uint32_t port) {
    CloseHandle(m_hSocket.exchange(NoSocket));
    CloseHandle(m_hTornDown.exchange(NoSocket));
    m_bConnected.store(false, std::memory_order_release);

    const SocketHandle handle = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (handle < 0) {
        const int32_t code = ReportError();
        _error("Invoke Socket::Open failed, %s", ErrorText(code).c_str());
        return false;
    }
    m_hSocket.store(handle, std::memory_order_release);
    m_AppliedTimeOut.store(NoTimeOut, std::memory_order_relaxed);

    m_PeerAddress = sockaddr_in{};
    m_PeerAddress.sin_family = AF_INET;
    // Dotted decimal only, no name lookup; anything else becomes the all-ones address and
    // the connect fails.
    m_PeerAddress.sin_addr.s_addr = address ? ::inet_addr(address) : INADDR_NONE;
    m_PeerAddress.sin_port = htons(static_cast<uint16_t>(port));

    int result = ::connect(handle, reinterpret_cast<const sockaddr*>(&m_PeerAddress),
                           sizeof m_PeerAddress);
    if (result < 0 && errno == EINTR) {
        result = FinishInterruptedConnect(handle);
    }
    if (result == 0 && ConnectedToItself(handle)) {
        // A connect to a free port of the ephemeral range can meet itself (TCP's simultaneous
        // open): nobody listens there, and holding the port would keep the server that
        // belongs on it from starting.
        errno = ECONNREFUSED;
        result = -1;
    }
    if (result == 0) {
        m_bConnected.store(true, std::memory_order_release);
        return true;
    }
    const int32_t code = ReportError();
    _warning("Cannot make TCP/IP connection, IP = %s, Port = %d", address ? address : "",
             static_cast<int>(port));
    _error("Invoke Socket.connect failed, %s", ErrorText(code).c_str());
    CloseHandle(m_hSocket.exchange(NoSocket));
    return false;
}

bool Socket::SendBinary(const char* data, uint32_t length) {
    if (!IsConnected()) {
        return false;
    }
    const SocketHandle handle = Handle();
    // A blocking send hands over the whole range unless a signal cuts it short, which Winsock
    // never does; go on with the rest so a frame is never sent with a hole in it.
    uint32_t sent = 0;
    do {
        const ssize_t result = ::send(handle, data + sent, length - sent, MSG_NOSIGNAL);
        if (result > 0) {
            sent += static_cast<uint32_t>(result);
            continue;
        }
        if (result == 0) {
            break;
        }
        if (errno == EINTR) {
            continue;
        }
        const int32_t code = ReportError();
        _error("Invoke Socket::SendBinary failed, close it now, error : %s",
               ErrorText(code).c_str());
        // Only a connection that is gone for good is closed; any other failure leaves the
        // socket to its owner.
        if (code == WinsockError::ConnectionAborted || code == WinsockError::ConnectionReset ||
            code == WinsockError::Shutdown) {
            Close();
        }
        return false;
    } while (sent < length);
    return true;
}

int32_t Socket::Receive(char* buffer, uint32_t capacity) {
    if (!IsConnected()) {
        return -1;
    }
    const SocketHandle handle = Handle();
    if (handle == NoSocket) {
        return -1;
    }
    const int timeOut = ReceiveTimeOut();
    if (timeOut < 0) {
        Close();
        return -1;
    }
    // The time-out lives in the kernel (SO_RCVTIMEO), so a read is one system call instead of
    // a wait followed by a read. The kernel keeps the shortest time-out asked for so far: a
    // longer one is served by reading again each time the shorter one runs out, which saves
    // setting the option back and forth when replies and acknowledgements alternate their
    // time-outs. A time-out of 0 polls.
    int flags = 0;
    int applied = m_AppliedTimeOut.load(std::memory_order_relaxed);
    if (timeOut == 0) {
        flags = MSG_DONTWAIT;
    } else if (applied == NoTimeOut || timeOut < applied) {
        if (!ApplyReceiveTimeOut(handle, timeOut)) {
            Close();
            return -1;
        }
        applied = timeOut;
        m_AppliedTimeOut.store(applied, std::memory_order_relaxed);
    }
    int64_t waited = 0;
    for (;;) {
        const ssize_t count = ::recv(handle, buffer, capacity, flags);
        if (count > 0) {
            return static_cast<int32_t>(count);
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (timeOut == 0) {
                return 0;
            }
            waited += applied;
            if (waited < timeOut) {
                continue;
            }
        }
        // Timed out, closed by the peer (0) or failed.
        Close();
        return -1;
    }
}

bool Socket::ConnectedToItself(SocketHandle handle) {
    sockaddr_in local{};
    sockaddr_in peer{};
    socklen_t localLength = sizeof local;
    socklen_t peerLength = sizeof peer;
    return ::getsockname(handle, reinterpret_cast<sockaddr*>(&local), &localLength) == 0 &&
           ::getpeername(handle, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0 &&
           local.sin_port == peer.sin_port && local.sin_addr.s_addr == peer.sin_addr.s_addr;
}

bool Socket::Close() {
    CloseHandle(m_hSocket.exchange(NoSocket));
    CloseHandle(m_hTornDown.exchange(NoSocket));
    m_bConnected.store(false, std::memory_order_release);
    return true;
}

bool Socket::Teardown() {
    // Another thread may be blocked in Receive: it must find the socket closed when its wait
    // or read fails, so the state goes first. shutdown wakes that thread (close alone would
    // leave it asleep until its time-out) and ends the connection for the peer at once. The
    // descriptor itself is closed by the owning thread's next Close, Open or destruction:
    // closing it here, under a read still running on it, could hand its number to a new
    // connection that the old read would then consume.
    m_bConnected.store(false, std::memory_order_release);
    const SocketHandle handle = m_hSocket.exchange(NoSocket);
    if (handle != NoSocket) {
        ::shutdown(handle, SHUT_RDWR);
        CloseHandle(m_hTornDown.exchange(handle));
    }
    return true;
}

SocketHandle Socket::Attach(Socket& other) {
    const SocketHandle handle = other.m_hSocket.exchange(NoSocket);
    other.m_bConnected.store(false, std::memory_order_release);
    CloseHandle(m_hSocket.exchange(handle));
    m_AppliedTimeOut.store(NoTimeOut, std::memory_order_relaxed);
    m_bConnected.store(true, std::memory_order_release);
    return handle;
}

void Socket::AdoptHandle(SocketHandle handle) {
    CloseHandle(m_hSocket.exchange(handle));
    m_AppliedTimeOut.store(NoTimeOut, std::memory_order_relaxed);
    m_bConnected.store(handle != NoSocket, std::memory_order_release);
}

void Socket::OnError(int32_t) {}

int Socket::SetOption(int level, int option, const char* value, int length) {
    const SocketHandle handle = Handle();
    if (handle == NoSocket) {
        return 0;
    }
    const int result =
        ::setsockopt(handle, level, option, value, static_cast<socklen_t>(length < 0 ? 0 : length));
    if (result == -1) {
        const int32_t code = ReportError();
        _error("failed to set option timeout: %s", ErrorText(code).c_str());
    }
    const int firstByte = (value != nullptr && length > 0) ? static_cast<signed char>(*value) : 0;
    _debug("Leave Socket::SetOption <%d, %d  --> %d>", level, option, firstByte);
    return result;
}

int Socket::SetTcpNoDelay(bool on) {
    const int32_t flag = on ? 1 : 0;
    return SetOption(IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&flag),
                     sizeof flag);
}

void Socket::SetCork(bool on) {
    const SocketHandle handle = Handle();
    if (handle == NoSocket) {
        return;
    }
    const int flag = on ? 1 : 0;
    ::setsockopt(handle, IPPROTO_TCP, TCP_CORK, &flag, sizeof flag);
}
