#pragma once

#include "tools/Progress.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace tool {

// Feeds a TransferProgress while the library sends a BLOB of known size in one call: a thread
// of its own reads every 100 ms how many bytes the peer has acknowledged on the connection's
// socket (TCP_INFO), counted from the watch's start. Nothing runs when the progress draws
// nothing or there is no socket. The socket is only queried, never read or written; should
// the library replace the connection meanwhile, the figures merely stop growing.
class TransferWatch {
public:
    TransferWatch(int socket, TransferProgress& progress);
    TransferWatch(const TransferWatch&) = delete;
    TransferWatch& operator=(const TransferWatch&) = delete;
    // Stops the thread; the progress is then the caller's again.
    ~TransferWatch();

    // Bytes acknowledged on socket so far; -1 when the kernel does not tell.
    static int64_t AckedBytes(int socket);

private:
    void Run(int socket, int64_t start);

    TransferProgress& m_Progress;
    std::mutex m_Mutex;
    std::condition_variable m_Stop;
    bool m_Stopping = false;
    std::thread m_Thread;
};

} // namespace tool
