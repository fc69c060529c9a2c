#include "tessary/setup/Version.h"

#include "tessary/external/DString.h"
#include "tessary/external/Log.h"

#include <cstdarg>

int TessaryGetVersion() {
    return (TESSARY_VERSION_MAJOR << 16) | TESSARY_VERSION_MINOR;
}

const char* TessaryGetVersionString() {
    return "Tessary.Client\r\n" __DATE__ " " __TIME__ "\r\n";
}

void LogToBUS(const char* format, ...) {
    va_list args;
    va_start(args, format);
    try {
        DString line;
        line.AppendFormatV(format, args);
        _fdebug(line.c_str());
    } catch (...) {
        // A line that cannot be built is not written; the caller's work goes on.
    }
    va_end(args);
}
