#include "tools/StopSignals.h"

#include <pthread.h>

#include <ctime>

namespace tool {

StopSignals::StopSignals() {
    sigemptyset(&m_Set);
    sigaddset(&m_Set, SIGINT);
    sigaddset(&m_Set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &m_Set, &m_Old);
}

StopSignals::~StopSignals() { pthread_sigmask(SIG_SETMASK, &m_Old, nullptr); }

bool StopSignals::Wait(std::chrono::milliseconds timeout) {
    if (m_Received) {
        return true;
    }
    const timespec span{static_cast<time_t>(timeout.count() / 1000),
                        static_cast<long>(timeout.count() % 1000) * 1000000L};
    m_Received = sigtimedwait(&m_Set, nullptr, &span) > 0;
    return m_Received;
}

} // namespace tool
