#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tool {

// "1048576", "64k", "64KiB", "1M", "1MiB", "2G": binary multiples, case-insensitive; nothing
// for text that is not a non-negative size or that overflows 63 bits.
std::optional<int64_t> ParseByteSize(const std::string& text);

// 1536 -> "1.5 KiB", 67108864 -> "64.0 MiB", 12 -> "12 B".
std::string FormatBytes(int64_t bytes);
// Decimal megabytes per second, as network rates are quoted: "530.2 MB/s".
std::string FormatRate(double bytesPerSecond);
// 0.000042 -> "42 us", 0.0123 -> "12.3 ms", 2.5 -> "2.50 s".
std::string FormatSeconds(double seconds);
// 1234567.8 -> "1.23 M", 45678 -> "45.7 k", 12 -> "12".
std::string FormatCount(double count);

// One line of text for the terminal: control characters (a newline in a message) escaped, so
// that every report stays on one line.
std::string OneLine(const std::string& text);

// How many characters of a text a report shows when the whole text is not asked for.
inline constexpr size_t PreviewLength = 300;

// OneLine of the first PreviewLength bytes of text (never cutting a UTF-8 character), then
// "... (N bytes)" with the whole length when text is longer: a body of megabytes costs a line,
// not megabytes of escaped output.
std::string Preview(const std::string& text);

} // namespace tool
