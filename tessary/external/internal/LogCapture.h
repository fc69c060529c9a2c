#pragma once

#include "tessary/external/Log.h"

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

namespace ORVEX::Log {

// For tests: while an instance lives, every level (traffic included) is enabled and each line's
// text, without prefix, is recorded so tests can assert on exact texts. One at a time.
class LogCapture {
public:
    struct Line {
        Level level;
        std::string text;
    };

    LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    ~LogCapture();

    std::vector<Line> Lines() const;
    std::vector<std::string> Texts() const;
    bool Has(const std::string& exact) const;
    int Count(const std::string& exact) const;
    // True when some line contains fragment.
    bool HasFragment(const std::string& fragment) const;
    // Waits up to timeout for a line equal to exact.
    bool WaitFor(const std::string& exact,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) const;
    void Clear();

    // Called by the log for every line while a capture is installed.
    void Record(Level level, const std::string& text);

private:
    mutable std::mutex m_Mutex;
    std::vector<Line> m_Lines;
};

} // namespace ORVEX::Log
