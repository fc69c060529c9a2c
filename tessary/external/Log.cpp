#include "tessary/external/Log.h"

#include "tessary/external/internal/LogCapture.h"

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace ORVEX::Log {
namespace {

class LogState {
public:
    // Never destroyed: a receiver destroyed from one of its own handlers leaves that handler's
    // thread to finish on its own, and it may still log while the process exits.
    static LogState& Instance() {
        static LogState* state = new LogState;
        return *state;
    }

    bool Enabled(Level level) const {
        if (level == Level::Traffic) {
            return m_Traffic.load(std::memory_order_relaxed);
        }
        return static_cast<int>(level) >= m_Threshold.load(std::memory_order_relaxed);
    }

    void Write(Level level, const std::string& text) {
        if (m_CaptureActive.load(std::memory_order_acquire)) {
            std::lock_guard lock(m_CaptureMutex);
            if (m_Capture) {
                m_Capture->Record(level, text);
            }
        }
        std::shared_ptr<spdlog::logger> logger = std::atomic_load(&m_Logger);
        if (logger && static_cast<int>(level) >= m_SinkThreshold.load(std::memory_order_relaxed)) {
            logger->log(ToSpd(level), text);
        } else if (logger && level == Level::Traffic && m_TrafficToSink) {
            logger->log(spdlog::level::info, text);
        }
    }

    void Prepare(const char* name) {
        if (!name || !*name) {
            return;
        }
        try {
            auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(name, false);
            auto logger = std::make_shared<spdlog::logger>("tessary", sink);
            logger->set_pattern("%Y-%m-%d %H:%M:%S.%e [%t] %-7l %v");
            logger->set_level(spdlog::level::trace);
            logger->flush_on(spdlog::level::warn);
            {
                std::lock_guard lock(m_CaptureMutex);
                m_FilePath = name;
                m_HasFile = true;
            }
            std::atomic_store(&m_Logger, logger);
            Recompute();
        } catch (const std::exception& e) {
            Write(Level::Error, std::string("PrepareLog failed for ") + name + " : " + e.what());
        }
    }

    std::string FilePath() {
        std::lock_guard lock(m_CaptureMutex);
        return m_FilePath;
    }

    void Install(LogCapture* capture) {
        {
            std::lock_guard lock(m_CaptureMutex);
            m_Capture = capture;
        }
        m_CaptureActive.store(capture != nullptr, std::memory_order_release);
        Recompute();
    }

private:
    LogState() {
        if (const char* level = std::getenv("TESSARY_LOG_LEVEL")) {
            m_EnvLevel = ParseLevel(level);
        }
        const char* traffic = std::getenv("TESSARY_LOG_TRAFFIC");
        m_TrafficToSink = traffic && std::strcmp(traffic, "1") == 0;
        auto logger = std::make_shared<spdlog::logger>(
            "tessary", std::make_shared<spdlog::sinks::stderr_sink_mt>());
        logger->set_pattern("%H:%M:%S.%e [%t] %-7l %v");
        logger->set_level(spdlog::level::trace);
        m_Logger = logger;
        Recompute();
    }

    static int ParseLevel(const char* text) {
        const std::string level(text);
        if (level == "debug") {
            return static_cast<int>(Level::Debug);
        }
        if (level == "info") {
            return static_cast<int>(Level::Info);
        }
        if (level == "error") {
            return static_cast<int>(Level::Error);
        }
        return static_cast<int>(Level::Warning);
    }

    static spdlog::level::level_enum ToSpd(Level level) {
        switch (level) {
        case Level::Traffic:
        case Level::Info:
            return spdlog::level::info;
        case Level::Debug:
            return spdlog::level::debug;
        case Level::Warning:
            return spdlog::level::warn;
        case Level::Error:
            return spdlog::level::err;
        case Level::Fatal:
            return spdlog::level::critical;
        }
        return spdlog::level::info;
    }

    void Recompute() {
        bool hasFile = false;
        {
            std::lock_guard lock(m_CaptureMutex);
            hasFile = m_HasFile;
        }
        int sink = m_EnvLevel >= 0 ? m_EnvLevel
                                   : static_cast<int>(hasFile ? Level::Info : Level::Warning);
        m_SinkThreshold.store(sink);
        const bool capture = m_CaptureActive.load();
        m_Threshold.store(capture ? static_cast<int>(Level::Debug) : sink);
        m_Traffic.store(capture || m_TrafficToSink);
    }

    std::atomic<int> m_Threshold{static_cast<int>(Level::Warning)};
    std::atomic<int> m_SinkThreshold{static_cast<int>(Level::Warning)};
    std::atomic<bool> m_Traffic{false};
    std::atomic<bool> m_CaptureActive{false};
    bool m_TrafficToSink = false;
    int m_EnvLevel = -1;
    std::shared_ptr<spdlog::logger> m_Logger;
    std::mutex m_CaptureMutex;
    LogCapture* m_Capture = nullptr;
    std::string m_FilePath;
    bool m_HasFile = false;
};

std::string FormatV(const char* format, va_list args) {
    DString text;
    text.AppendFormatV(format, args);
    return text.str();
}

} // namespace

bool IsEnabled(Level level) { return LogState::Instance().Enabled(level); }

void Write(Level level, const std::string& text) { LogState::Instance().Write(level, text); }

std::string LogFilePath() { return LogState::Instance().FilePath(); }

CSystemLog& CSystemLog::operator<<(char c) {
    m_Line.push_back(c);
    return *this;
}

CSystemLog& CSystemLog::operator<<(int value) {
    m_Line.append(std::to_string(value));
    return *this;
}

CSystemLog& CSystemLog::operator<<(const char* text) {
    if (text) {
        m_Line.append(text);
    }
    return *this;
}

CSystemLog& CSystemLog::operator<<(const DString& text) {
    m_Line.append(text.str());
    return *this;
}

CSystemLog& CSystemLog::Brace(int value) {
    m_Line.append("[").append(std::to_string(value)).append("]");
    return *this;
}

CSystemLog& CSystemLog::Brace(const char* text) {
    m_Line.append("[").append(text ? text : "").append("]");
    return *this;
}

CSystemLog& CSystemLog::NewLine() {
    m_Line.push_back('\n');
    return *this;
}

_XDWLog::~_XDWLog() {
    Level level = Level::Info;
    if (m_Line.find_first_not_of('\n') == std::string::npos) {
        level = Level::Traffic;
    } else if (m_Severity < SeverityError) {
        level = Level::Fatal;
    } else if (m_Severity == SeverityError) {
        level = Level::Error;
    } else if (m_Severity == SeverityWarning) {
        level = Level::Warning;
    } else if (m_Severity >= SeverityDebug) {
        level = Level::Debug;
    }
    if (!IsEnabled(level)) {
        return;
    }
    // A trailing break is the line's own end, not part of its text.
    while (!m_Line.empty() && m_Line.back() == '\n') {
        m_Line.pop_back();
    }
    Write(level, m_Line);
}

LogCapture::LogCapture() { LogState::Instance().Install(this); }

LogCapture::~LogCapture() { LogState::Instance().Install(nullptr); }

void LogCapture::Record(Level level, const std::string& text) {
    std::lock_guard lock(m_Mutex);
    m_Lines.push_back({level, text});
}

std::vector<LogCapture::Line> LogCapture::Lines() const {
    std::lock_guard lock(m_Mutex);
    return m_Lines;
}

std::vector<std::string> LogCapture::Texts() const {
    std::vector<std::string> texts;
    for (const auto& line : Lines()) {
        texts.push_back(line.text);
    }
    return texts;
}

bool LogCapture::Has(const std::string& exact) const { return Count(exact) > 0; }

int LogCapture::Count(const std::string& exact) const {
    std::lock_guard lock(m_Mutex);
    int count = 0;
    for (const auto& line : m_Lines) {
        count += line.text == exact ? 1 : 0;
    }
    return count;
}

bool LogCapture::HasFragment(const std::string& fragment) const {
    std::lock_guard lock(m_Mutex);
    for (const auto& line : m_Lines) {
        if (line.text.find(fragment) != std::string::npos) {
            return true;
        }
    }
    return false;
}

bool LogCapture::WaitFor(const std::string& exact, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!Has(exact)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void LogCapture::Clear() {
    std::lock_guard lock(m_Mutex);
    m_Lines.clear();
}

} // namespace ORVEX::Log

using ORVEX::Log::Level;

#define TESSARY_LOG_FUNCTION(name, level)                                                        \
    void name(const char* format, ...) {                                                         \
        if (!ORVEX::Log::IsEnabled(level)) {                                                     \
            return;                                                                              \
        }                                                                                        \
        va_list args;                                                                            \
        va_start(args, format);                                                                  \
        std::string text = ORVEX::Log::FormatV(format, args);                                    \
        va_end(args);                                                                            \
        ORVEX::Log::Write(level, text);                                                          \
    }

TESSARY_LOG_FUNCTION(_debug, Level::Debug)
TESSARY_LOG_FUNCTION(_info, Level::Info)
TESSARY_LOG_FUNCTION(_tinfo, Level::Traffic)
TESSARY_LOG_FUNCTION(_warning, Level::Warning)
TESSARY_LOG_FUNCTION(_error, Level::Error)
TESSARY_LOG_FUNCTION(_fatal, Level::Fatal)

void _syserror(int code, const char* format, ...) {
    if (!ORVEX::Log::IsEnabled(Level::Error)) {
        return;
    }
    DString text;
    va_list args;
    va_start(args, format);
    text.AppendFormatV(format, args);
    va_end(args);
    char buffer[256];
    const char* system = strerror_r(code, buffer, sizeof buffer);
    text.AppendFormat(" : %s (%d)", system ? system : "Unknown error", code);
    ORVEX::Log::Write(Level::Error, text.str());
}

void _fdebug(const char* text) {
    if (ORVEX::Log::IsEnabled(Level::Debug)) {
        ORVEX::Log::Write(Level::Debug, text ? text : "");
    }
}

void PrepareLog(const char* name) { ORVEX::Log::LogState::Instance().Prepare(name); }
