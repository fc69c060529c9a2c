#pragma once

#include <cstdint>
#include <vector>

namespace tool {

// Latency figures of one run, in nanoseconds. Percentiles are nearest-rank: p99 of 100
// samples is the 99th smallest, so a reported figure is always one that was measured.
struct LatencySummary {
    uint64_t Count = 0;
    int64_t Min = 0;
    int64_t P50 = 0;
    int64_t P90 = 0;
    int64_t P99 = 0;
    int64_t Max = 0;
    double Mean = 0;
};

// The nearest-rank percentile p (0 < p <= 100) of sorted samples; 0 for no samples.
int64_t NearestRank(const std::vector<int64_t>& sorted, double p);

// Sorts samples in place and summarises them; all zero for no samples.
LatencySummary Summarise(std::vector<int64_t>& samples);

} // namespace tool
