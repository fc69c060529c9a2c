#pragma once

#include "tools/Percentiles.h"

#include <cstdint>
#include <random>
#include <vector>

namespace tool {

// The latencies of one sender thread in bounded memory: every sample is kept until Capacity,
// after that a uniform random choice of them (reservoir sampling), so a run of hours costs no
// more than a run of seconds. Count, minimum, maximum and mean stay exact. One thread adds.
class LatencySampler {
public:
    static constexpr size_t DefaultCapacity = 1 << 18;

    explicit LatencySampler(size_t capacity = DefaultCapacity, uint32_t seed = 1);

    void Add(int64_t nanoseconds);

    uint64_t Count() const { return m_Count; }
    const std::vector<int64_t>& Samples() const { return m_Samples; }

    // The figures of several samplers together. The percentiles come from the kept samples
    // alone, each sampler's share weighed as kept rather than as measured: senders that ran
    // side by side for the same time took about as many samples each.
    static LatencySummary Merge(const std::vector<LatencySampler>& parts);

private:
    size_t m_Capacity;
    std::vector<int64_t> m_Samples;
    uint64_t m_Count = 0;
    int64_t m_Min = 0;
    int64_t m_Max = 0;
    double m_Sum = 0;
    std::minstd_rand m_Random;
};

} // namespace tool
