#include "tools/Format.h"

#include <fmt/format.h>

#include <cctype>
#include <limits>

namespace tool {

std::optional<int64_t> ParseByteSize(const std::string& text) {
    size_t i = 0;
    int64_t value = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
        const int digit = text[i] - '0';
        if (value > (std::numeric_limits<int64_t>::max() - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
        ++i;
    }
    if (i == 0) {
        return std::nullopt;
    }
    std::string unit;
    for (; i < text.size(); ++i) {
        unit += static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
    }
    int shift = 0;
    if (unit.empty() || unit == "b") {
        shift = 0;
    } else if (unit == "k" || unit == "kib" || unit == "kb") {
        shift = 10;
    } else if (unit == "m" || unit == "mib" || unit == "mb") {
        shift = 20;
    } else if (unit == "g" || unit == "gib" || unit == "gb") {
        shift = 30;
    } else {
        return std::nullopt;
    }
    if (value > (std::numeric_limits<int64_t>::max() >> shift)) {
        return std::nullopt;
    }
    return value << shift;
}

std::string FormatBytes(int64_t bytes) {
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024) {
        return fmt::format("{} B", bytes);
    }
    double value = static_cast<double>(bytes) / 1024.0;
    int unit = 0;
    while (value >= 1024.0 && unit < 3) {
        value /= 1024.0;
        ++unit;
    }
    return fmt::format("{:.1f} {}", value, units[unit]);
}

std::string FormatRate(double bytesPerSecond) {
    return fmt::format("{:.1f} MB/s", bytesPerSecond / 1e6);
}

std::string FormatSeconds(double seconds) {
    if (seconds < 1e-3) {
        return fmt::format("{:.0f} us", seconds * 1e6);
    }
    if (seconds < 1.0) {
        return fmt::format("{:.1f} ms", seconds * 1e3);
    }
    return fmt::format("{:.2f} s", seconds);
}

std::string FormatCount(double count) {
    if (count >= 1e6) {
        return fmt::format("{:.2f} M", count / 1e6);
    }
    if (count >= 1e4) {
        return fmt::format("{:.1f} k", count / 1e3);
    }
    return fmt::format("{:.0f}", count);
}

std::string OneLine(const std::string& text) {
    std::string line;
    line.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '\n':
            line += "\\n";
            break;
        case '\r':
            line += "\\r";
            break;
        case '\t':
            line += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                line += fmt::format("\\x{:02x}", static_cast<unsigned char>(c));
            } else {
                line += c;
            }
        }
    }
    return line;
}

std::string Preview(const std::string& text) {
    if (text.size() <= PreviewLength) {
        return OneLine(text);
    }
    size_t cut = PreviewLength;
    // Back to the first byte of a character: continuation bytes are 10xxxxxx.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return OneLine(text.substr(0, cut)) + fmt::format("... ({} bytes)", text.size());
}

} // namespace tool
