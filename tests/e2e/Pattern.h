#pragma once

#include "tessary/foundation/TmplBlockBuffer.h"
#include "testkit/FrameBytes.h"

#include <cstddef>
#include <cstdint>

namespace blobtest {

using Block = TmplBlockBuffer<unsigned char>;

// The testkit's byte pattern in blocks, as the library's BLOB calls take and give them.
inline Block Pattern(size_t n, uint64_t seed) {
    Block block;
    if (n > 0) {
        FillPattern(block.Allocate(static_cast<int>(n)), n, seed);
    }
    return block;
}
// The first position where the block differs from the pattern, or its length when they match.
inline size_t PatternMismatch(const Block& block, uint64_t seed) {
    const size_t n = static_cast<size_t>(block.Length());
    for (size_t i = 0; i < n; ++i) {
        if (block.GetData()[i] != PatternByte(seed, i)) {
            return i;
        }
    }
    return n;
}
inline bool MatchesPattern(const Block& block, size_t n, uint64_t seed) {
    return static_cast<size_t>(block.Length()) == n && PatternMismatch(block, seed) == n;
}

} // namespace blobtest
