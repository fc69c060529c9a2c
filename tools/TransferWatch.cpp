#include "tools/TransferWatch.h"

// The kernel's own header: the C library's struct tcp_info lacks the byte counters.
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstddef>

namespace tool {

TransferWatch::TransferWatch(int socket, TransferProgress& progress) : m_Progress(progress) {
    const int64_t start = socket >= 0 ? AckedBytes(socket) : -1;
    if (progress.Enabled() && start >= 0) {
        m_Thread = std::thread([this, socket, start] { Run(socket, start); });
    }
}

TransferWatch::~TransferWatch() {
    {
        std::lock_guard lock(m_Mutex);
        m_Stopping = true;
    }
    m_Stop.notify_all();
    if (m_Thread.joinable()) {
        m_Thread.join();
    }
}

int64_t TransferWatch::AckedBytes(int socket) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
        length < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked) {
        return -1;
    }
    return static_cast<int64_t>(info.tcpi_bytes_acked);
}

void TransferWatch::Run(int socket, int64_t start) {
    std::unique_lock lock(m_Mutex);
    while (!m_Stop.wait_for(lock, std::chrono::milliseconds(100), [this] { return m_Stopping; })) {
        const int64_t acked = AckedBytes(socket);
        if (acked >= start) {
            m_Progress.Update(acked - start);
        }
    }
}

} // namespace tool
