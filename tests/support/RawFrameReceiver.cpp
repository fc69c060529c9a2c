#include "tests/support/RawFrameReceiver.h"
#include "tests/support/FrameBytes.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>

namespace {

// Larger bodies than this are not expected from the tests; reading one means a broken stream.
constexpr int32_t MaxBody = 64 << 20;

} // namespace

RawFrameReceiver::RawFrameReceiver(std::string id, int statusPort, std::string host)
    : m_Id(std::move(id)), m_Host(std::move(host)), m_StatusPort(statusPort) {}

RawFrameReceiver::~RawFrameReceiver() { Stop(); }

bool RawFrameReceiver::Start() {
    m_Fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (m_Fd < 0) {
        return false;
    }
    const int one = 1;
    ::setsockopt(m_Fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const timeval slice{0, 100000};
    ::setsockopt(m_Fd, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(m_StatusPort));
    address.sin_addr.s_addr = inet_addr(m_Host.c_str());
    if (::connect(m_Fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(m_Fd);
        m_Fd = -1;
        return false;
    }
    MessageHead listen(HeadType::Listen);
    listen.SetSourceID(m_Id.c_str());
    // The registration head travels alone: no body, no tail.
    if (!WriteAll(&listen, sizeof listen)) {
        return false;
    }
    m_Connected = true;
    m_Thread = std::thread([this] { ReadLoop(); });
    std::unique_lock lock(m_Mutex);
    return m_Changed.wait_for(lock, std::chrono::seconds(2), [this] { return m_Synced; });
}

void RawFrameReceiver::Stop() {
    m_Stop = true;
    if (m_Fd >= 0) {
        ::shutdown(m_Fd, SHUT_RDWR);
    }
    if (m_Thread.joinable()) {
        m_Thread.join();
    }
    if (m_Fd >= 0) {
        ::close(m_Fd);
        m_Fd = -1;
    }
    m_Connected = false;
}

void RawFrameReceiver::SetReply(const std::string& text) {
    std::lock_guard lock(m_Mutex);
    m_Reply = text;
}

void RawFrameReceiver::SetRecording(bool on) {
    std::lock_guard lock(m_Mutex);
    m_Recording = on;
}

void RawFrameReceiver::SetSilent(bool silent) {
    std::lock_guard lock(m_Mutex);
    m_Silent = silent;
}

std::vector<RawFrameReceiver::Frame> RawFrameReceiver::Messages() const {
    std::lock_guard lock(m_Mutex);
    return m_Messages;
}

bool RawFrameReceiver::WaitForMessages(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_Mutex);
    return m_Changed.wait_for(lock, timeout, [&] { return m_Messages.size() >= count; });
}

bool RawFrameReceiver::FillBuffer() {
    m_InBegin = 0;
    m_InEnd = 0;
    while (!m_Stop) {
        const ssize_t got = ::recv(m_Fd, m_In.data(), m_In.size(), 0);
        if (got > 0) {
            m_InEnd = static_cast<size_t>(got);
            return true;
        }
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            return false;
        }
    }
    return false;
}

bool RawFrameReceiver::ReadExact(void* destination, size_t n) {
    auto* out = static_cast<unsigned char*>(destination);
    while (n > 0) {
        if (m_InBegin == m_InEnd && !FillBuffer()) {
            return false;
        }
        const size_t step = std::min(n, m_InEnd - m_InBegin);
        std::memcpy(out, m_In.data() + m_InBegin, step);
        m_InBegin += step;
        out += step;
        n -= step;
    }
    return true;
}

bool RawFrameReceiver::SkipBytes(uint64_t n) {
    char scratch[16384];
    while (n > 0) {
        const size_t step = n < sizeof scratch ? static_cast<size_t>(n) : sizeof scratch;
        if (!ReadExact(scratch, step)) {
            return false;
        }
        n -= step;
    }
    return true;
}

bool RawFrameReceiver::ReadBLOB(int32_t cbBLOB, uint32_t& total) {
    total = 0;
    if (cbBLOB <= 0) {
        return true;
    }
    for (;;) {
        MessagePDV pdv;
        if (!ReadExact(&pdv, sizeof pdv) || !pdv.Is()) {
            return false;
        }
        if (pdv.IsLast()) {
            return true;
        }
        if (!SkipBytes(pdv.cbData)) {
            return false;
        }
        total += pdv.cbData;
    }
}

bool RawFrameReceiver::WriteAll(const void* data, size_t n) {
    const auto* in = static_cast<const unsigned char*>(data);
    while (n > 0) {
        const ssize_t sent = ::send(m_Fd, in, n, MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        in += sent;
        n -= static_cast<size_t>(sent);
    }
    return true;
}

void RawFrameReceiver::Answer(const MessageHead& received) {
    std::unique_lock lock(m_Mutex);
    if (m_Silent) {
        return;
    }
    FrameBuilder answer(AnswerHead(received, HeadType::Ack));
    MessageHead& head = answer.Head();
    head.Command = 0;
    head.TickCount = TickCount32();
    head.SetSourceID(m_Id.c_str());
    std::memcpy(head.TargetID, received.SourceID, IdFieldSize);
    if (!m_Reply.empty()) {
        answer.Body(m_Reply);
    } else {
        answer.WideBody(u"");
    }
    const Bytes frame = answer.Build();
    lock.unlock();
    WriteAll(frame.data(), frame.size());
}

void RawFrameReceiver::ReadLoop() {
    while (!m_Stop) {
        Frame frame;
        if (!ReadExact(&frame.Head, sizeof frame.Head) || frame.Head.Magic != HeadMagic) {
            break;
        }
        const MessageHead& head = frame.Head;
        if (head.cbMessage > MaxBody) {
            break;
        }
        if (head.cbMessage > 0) {
            frame.Body.resize(static_cast<size_t>(head.cbMessage));
            if (!ReadExact(frame.Body.data(), frame.Body.size())) {
                break;
            }
        }
        if (!ReadBLOB(head.cbBLOB, frame.BLOBBytes)) {
            break;
        }
        Tail tail;
        // The Listen head is the only one without a tail, and it never comes from the server.
        if (!ReadExact(&tail, sizeof tail) || !tail.Is()) {
            break;
        }
        if (head.Type == HeadType::SYNC) {
            std::lock_guard lock(m_Mutex);
            m_Synced = true;
            m_Changed.notify_all();
            continue;
        }
        if (head.Type != HeadType::Message && head.Type != HeadType::MessageAlt) {
            continue;
        }
        const MessageHead received = head;
        if (received.Command != FixedCommand::ServerOnline) {
            std::lock_guard lock(m_Mutex);
            if (m_Recording) {
                m_Messages.push_back(std::move(frame));
            }
            m_Count.fetch_add(1);
            m_Changed.notify_all();
        }
        Answer(received);
    }
    m_Connected = false;
}
