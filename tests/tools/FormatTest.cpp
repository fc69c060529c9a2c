#include "tools/Format.h"

#include "tools/Percentiles.h"
#include "tools/Table.h"

#include <gtest/gtest.h>

#include <optional>
#include <utility>
#include <string>
#include <vector>

namespace {

// Bytes take the largest unit below 1024; rates, durations and counts their own steps; sizes
// read back in any of those units, and nothing that is not a whole size fits.
TEST(FormatTest, UnitsAndPrecisionFollowTheSizeAndSizesParse) {
    const std::pair<std::string, std::string> cases[] = {
        {tool::FormatBytes(12), "12 B"},
        {tool::FormatBytes(1023), "1023 B"},
        {tool::FormatBytes(1536), "1.5 KiB"},
        {tool::FormatBytes(64ll << 20), "64.0 MiB"},
        {tool::FormatBytes(3ll << 30), "3.0 GiB"},
        {tool::FormatRate(530.24e6), "530.2 MB/s"},
        {tool::FormatSeconds(42e-6), "42 us"},
        {tool::FormatSeconds(0.0123), "12.3 ms"},
        {tool::FormatSeconds(2.5), "2.50 s"},
        {tool::FormatCount(12), "12"},
        {tool::FormatCount(45678), "45.7 k"},
        {tool::FormatCount(1234567.8), "1.23 M"},
    };
    for (const auto& [got, expected] : cases) {
        EXPECT_EQ(got, expected);
    }
    const std::pair<const char*, std::optional<int64_t>> sizes[] = {
        {"0", 0}, {"1048576", 1048576}, {"64k", 65536}, {"64KiB", 65536}, {"1M", 1 << 20},
        {"1mib", 1 << 20}, {"2G", 2ll << 30}, {"12b", 12}, {"", std::nullopt}, {"k", std::nullopt},
        {"-1", std::nullopt}, {"1.5M", std::nullopt}, {"3 MiB", std::nullopt},
        {"1T", std::nullopt}, {"9223372036854775807", 9223372036854775807ll},
        {"9223372036854775808", std::nullopt}, {"9007199254740992G", std::nullopt}};
    for (const auto& [text, size] : sizes) {
        EXPECT_EQ(tool::ParseByteSize(text), size) << text;
    }
}

// Nearest rank in sets too small to interpolate: every percentile is a measured sample (the
// sampler's case has a larger set).
TEST(PercentilesTest, NearestRankReportsMeasuredSamples) {
    std::vector<int64_t> none;
    EXPECT_EQ(tool::Summarise(none).Count, 0u);
    EXPECT_EQ(tool::Summarise(none).P99, 0);
    std::vector<int64_t> one{7};
    EXPECT_EQ(tool::Summarise(one).P50, 7);
    EXPECT_EQ(tool::Summarise(one).P99, 7);
    // Two samples: p50 is the first, p90 already the second.
    std::vector<int64_t> two{20, 10};
    tool::Summarise(two);
    EXPECT_EQ(tool::NearestRank(two, 50), 10);
    EXPECT_EQ(tool::NearestRank(two, 90), 20);
}

TEST(TableTest, FixedColumnsAndAFreeLastOne) {
    tool::Table table({{"step", 6}, {"time", 0, tool::Table::Align::Right}, {"detail"}});
    EXPECT_EQ(table.Header(), "step    time  detail\n------  ----  ------\n");
    EXPECT_EQ(table.Row({"post", "1 ms", "a long detail that overflows"}),
              "post    1 ms  a long detail that overflows\n");
    // Multi-byte characters count as one column; a missing last cell leaves no blanks.
    EXPECT_EQ(table.Row({"Grüße", "2"}), "Grüße      2\n");
    EXPECT_EQ(tool::Table::DisplayWidth("Grüße"), 5);
}

TEST(PreviewTest, ShowsTheStartEscapedAndTheLengthOfALongText) {
    EXPECT_EQ(tool::Preview("a\nb"), "a\\nb");
    const std::string exact(tool::PreviewLength, 'x');
    EXPECT_EQ(tool::Preview(exact), exact);
    EXPECT_EQ(tool::Preview(exact + std::string(1, '\0')), exact + "... (301 bytes)");
    // A two-byte character across the cut is left out whole.
    const std::string straddling = std::string(tool::PreviewLength - 1, 'x') + "\u00e9" + "yz";
    EXPECT_EQ(tool::Preview(straddling),
              std::string(tool::PreviewLength - 1, 'x') + "... (303 bytes)");
}

} // namespace
