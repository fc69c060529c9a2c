#include "tools/Percentiles.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace tool {

int64_t NearestRank(const std::vector<int64_t>& sorted, double p) {
    if (sorted.empty()) {
        return 0;
    }
    const double rank = std::ceil(p / 100.0 * static_cast<double>(sorted.size()));
    const size_t index = rank < 1.0 ? 0 : static_cast<size_t>(rank) - 1;
    return sorted[std::min(index, sorted.size() - 1)];
}

LatencySummary Summarise(std::vector<int64_t>& samples) {
    LatencySummary summary;
    if (samples.empty()) {
        return summary;
    }
    std::sort(samples.begin(), samples.end());
    summary.Count = samples.size();
    summary.Min = samples.front();
    summary.P50 = NearestRank(samples, 50);
    summary.P90 = NearestRank(samples, 90);
    summary.P99 = NearestRank(samples, 99);
    summary.Max = samples.back();
    summary.Mean =
        std::accumulate(samples.begin(), samples.end(), 0.0) / static_cast<double>(samples.size());
    return summary;
}

} // namespace tool
