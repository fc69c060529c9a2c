#include "tools/LatencySampler.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using tool::LatencySampler;

// Below capacity every sample is kept, and the percentiles are samples by nearest rank. Over it
// the kept samples stay a fair picture of all of them, while count, extremes and mean stay
// exact: a rising ramp would show any bias towards the first or the last samples.
TEST(LatencySamplerTest, KeepsEverySampleBelowCapacityAndAFairShareAbove) {
    LatencySampler few(100);
    for (int64_t i = 50; i >= 1; --i) {
        few.Add(i * 10);
    }
    const tool::LatencySummary kept = LatencySampler::Merge({few});
    EXPECT_EQ(kept.Count, 50u);
    EXPECT_EQ(kept.Min, 10);
    EXPECT_EQ(kept.P50, 250);
    EXPECT_EQ(kept.P90, 450);
    EXPECT_EQ(kept.P99, 500);
    EXPECT_EQ(kept.Max, 500);
    EXPECT_DOUBLE_EQ(kept.Mean, 255.0);

    std::vector<LatencySampler> parts;
    parts.emplace_back(1000, 1);
    parts.emplace_back(1000, 2);
    for (int64_t i = 1; i <= 100000; ++i) {
        parts[0].Add(i);
        parts[1].Add(i + 100000);
    }
    EXPECT_EQ(parts[0].Samples().size(), 1000u);
    EXPECT_EQ(parts[1].Samples().size(), 1000u);
    const tool::LatencySummary summary = LatencySampler::Merge(parts);
    EXPECT_EQ(summary.Count, 200000u);
    EXPECT_EQ(summary.Min, 1);
    EXPECT_EQ(summary.Max, 200000);
    EXPECT_DOUBLE_EQ(summary.Mean, 100000.5);
    EXPECT_NEAR(summary.P50, 100000, 10000);
    EXPECT_NEAR(summary.P90, 180000, 10000);
    EXPECT_LE(summary.P99, summary.Max);
}

} // namespace
