#pragma once

#include "tessary/foundation/TmplBlockBuffer.h"

#include <cstddef>
#include <cstdint>

namespace blobtest {

using Block = TmplBlockBuffer<unsigned char>;

// Byte i of the pattern of seed: every position differs from its neighbours, so a lost, doubled
// or shifted chunk shows. Any range can be produced on its own (the streamed writers need that).
inline unsigned char PatternByte(uint64_t seed, uint64_t i) {
    return static_cast<unsigned char>(((i + seed) * 0x9E3779B97F4A7C15ull) >> 56);
}
inline void FillPattern(unsigned char* data, size_t n, uint64_t seed, uint64_t offset = 0) {
    for (size_t i = 0; i < n; ++i) {
        data[i] = PatternByte(seed, offset + i);
    }
}
inline Block Pattern(size_t n, uint64_t seed) {
    Block block;
    if (n > 0) {
        FillPattern(block.Allocate(static_cast<int>(n)), n, seed);
    }
    return block;
}
// The first position where the n bytes at data differ from the pattern, or n when they match.
inline size_t PatternMismatch(const unsigned char* data, size_t n, uint64_t seed) {
    for (size_t i = 0; i < n; ++i) {
        if (data[i] != PatternByte(seed, i)) {
            return i;
        }
    }
    return n;
}
inline size_t PatternMismatch(const Block& block, uint64_t seed) {
    return PatternMismatch(block.GetData(), static_cast<size_t>(block.Length()), seed);
}
inline bool MatchesPattern(const Block& block, size_t n, uint64_t seed) {
    return static_cast<size_t>(block.Length()) == n && PatternMismatch(block, seed) == n;
}

} // namespace blobtest
