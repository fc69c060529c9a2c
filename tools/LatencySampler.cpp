#include "tools/LatencySampler.h"

#include <algorithm>

namespace tool {

LatencySampler::LatencySampler(size_t capacity, uint32_t seed)
    : m_Capacity(std::max<size_t>(capacity, 1)), m_Random(seed) {
    m_Samples.reserve(std::min<size_t>(m_Capacity, 4096));
}

void LatencySampler::Add(int64_t nanoseconds) {
    m_Min = m_Count == 0 ? nanoseconds : std::min(m_Min, nanoseconds);
    m_Max = m_Count == 0 ? nanoseconds : std::max(m_Max, nanoseconds);
    m_Sum += static_cast<double>(nanoseconds);
    ++m_Count;
    if (m_Samples.size() < m_Capacity) {
        m_Samples.push_back(nanoseconds);
        return;
    }
    // Sample n replaces a kept one with probability Capacity / n, which keeps every sample
    // seen so far equally likely to be among the kept ones.
    const uint64_t slot = std::uniform_int_distribution<uint64_t>(0, m_Count - 1)(m_Random);
    if (slot < m_Capacity) {
        m_Samples[static_cast<size_t>(slot)] = nanoseconds;
    }
}

LatencySummary LatencySampler::Merge(const std::vector<LatencySampler>& parts) {
    std::vector<int64_t> all;
    size_t kept = 0;
    for (const LatencySampler& part : parts) {
        kept += part.m_Samples.size();
    }
    all.reserve(kept);
    for (const LatencySampler& part : parts) {
        all.insert(all.end(), part.m_Samples.begin(), part.m_Samples.end());
    }
    LatencySummary summary = Summarise(all);
    summary.Count = 0;
    double sum = 0;
    for (const LatencySampler& part : parts) {
        if (part.m_Count == 0) {
            continue;
        }
        summary.Min = summary.Count == 0 ? part.m_Min : std::min(summary.Min, part.m_Min);
        summary.Max = summary.Count == 0 ? part.m_Max : std::max(summary.Max, part.m_Max);
        summary.Count += part.m_Count;
        sum += part.m_Sum;
    }
    summary.Mean = summary.Count == 0 ? 0.0 : sum / static_cast<double>(summary.Count);
    return summary;
}

} // namespace tool
