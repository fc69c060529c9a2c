#pragma once

#include <csignal>

#include <chrono>

namespace tool {

// SIGINT and SIGTERM, blocked in every thread (threads started later inherit the mask) and
// taken only by the command's own bounded waits, for as long as this lives.
class StopSignals {
public:
    StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    ~StopSignals();

    // Waits up to timeout for a stop signal; true once one came.
    bool Wait(std::chrono::milliseconds timeout);

private:
    sigset_t m_Set{};
    sigset_t m_Old{};
    bool m_Received = false;
};

} // namespace tool
