#pragma once

#include "tessary/Export.h"
#include "tessary/external/DString.h"

#include <string>

// The log functions every part of the library writes through. A line below the active level
// costs one atomic load and no formatting, since every frame writes traffic lines.
TESSARY_EXPORT void _debug(const char* format, ...) __attribute__((format(printf, 1, 2)));
TESSARY_EXPORT void _info(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Traffic lines (the arrow notation); off unless TESSARY_LOG_TRAFFIC=1 or a capture is active.
TESSARY_EXPORT void _tinfo(const char* format, ...) __attribute__((format(printf, 1, 2)));
TESSARY_EXPORT void _warning(const char* format, ...) __attribute__((format(printf, 1, 2)));
TESSARY_EXPORT void _error(const char* format, ...) __attribute__((format(printf, 1, 2)));
TESSARY_EXPORT void _fatal(const char* format, ...) __attribute__((format(printf, 1, 2)));
// code is the system's last-error value; its text is appended to the line.
TESSARY_EXPORT void _syserror(int code, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
TESSARY_EXPORT void _fdebug(const char* text);
// Names the log file; lines at info and above go there from now on.
TESSARY_EXPORT void PrepareLog(const char* name);

namespace ORVEX::Log {

// Levels in increasing severity; the numbers are ours, not the builder's severities.
enum class Level { Traffic, Debug, Info, Warning, Error, Fatal };

TESSARY_EXPORT bool IsEnabled(Level level);
TESSARY_EXPORT void Write(Level level, const std::string& text);
// The file PrepareLog opened, empty before.
TESSARY_EXPORT std::string LogFilePath();

// Builds a line from pieces. Severity numbers follow syslog: 3 error, 4 warning, 6 info,
// 7 debug (connection chatter); a line made only of line breaks is the blank separator before
// a traffic line and goes wherever traffic goes.
class TESSARY_EXPORT CSystemLog {
public:
    static constexpr int SeverityError = 3;
    static constexpr int SeverityWarning = 4;
    static constexpr int SeverityInfo = 6;
    static constexpr int SeverityDebug = 7;

    CSystemLog() = default;
    CSystemLog(const CSystemLog&) = delete;
    CSystemLog& operator=(const CSystemLog&) = delete;
    virtual ~CSystemLog() = default;

    CSystemLog& operator<<(char c);
    CSystemLog& operator<<(int value);
    CSystemLog& operator<<(const char* text);
    CSystemLog& operator<<(const DString& text);
    CSystemLog& Brace(int value);
    CSystemLog& Brace(const char* text);
    CSystemLog& NewLine();

    void SetSeverity(int severity) { m_Severity = severity; }
    int Severity() const { return m_Severity; }

protected:
    std::string m_Line;
    int m_Severity = SeverityInfo;
};

// One object per line, on the stack; the line is written whole when it is destroyed, so lines
// from many threads never interleave.
class TESSARY_EXPORT _XDWLog : public CSystemLog {
public:
    _XDWLog() = default;
    explicit _XDWLog(int severity) { m_Severity = severity; }
    ~_XDWLog() override;
};

} // namespace ORVEX::Log
