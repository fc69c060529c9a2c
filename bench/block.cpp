// Filling BLOB blocks the way the frame reader does: a block of a known size allocated and
// written once (as a received BLOB is), and a block grown chunk by chunk (as a streamed BLOB
// is). Large blocks are mapped for huge pages, so the first touch of their pages is what these
// measure; a regression to 4 KiB pages shows as a drop in bytes per second.
#include "tessary/foundation/TmplBlockBuffer.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr int64_t MiB = 1 << 20;

void BM_AllocateAndFill(benchmark::State& state) {
    const int length = static_cast<int>(state.range(0));
    for (auto _ : state) {
        TmplBlockBuffer<unsigned char> block;
        std::memset(block.Allocate(length), 0x5A, static_cast<size_t>(length));
        benchmark::DoNotOptimize(block.GetData());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_AllocateAndFill)->Arg(64 << 10)->Arg(MiB)->Arg(64 * MiB)->Arg(256 * MiB);

// Grows to twice its length whenever a 1 MiB chunk does not fit, then is cut to the total.
void BM_GrowByChunks(benchmark::State& state) {
    const int64_t total = state.range(0);
    for (auto _ : state) {
        TmplBlockBuffer<unsigned char> block;
        int64_t filled = 0;
        while (filled < total) {
            if (filled + MiB > block.Length()) {
                block.Reallocate(static_cast<int>(std::max(filled + MiB, 2 * int64_t{block.Length()})));
            }
            std::memset(block.GetData() + filled, 0x5A, MiB);
            filled += MiB;
        }
        block.Reallocate(static_cast<int>(total));
        benchmark::DoNotOptimize(block.GetData());
    }
    state.SetBytesProcessed(state.iterations() * total);
}
BENCHMARK(BM_GrowByChunks)->Arg(64 * MiB)->Arg(256 * MiB);

} // namespace

BENCHMARK_MAIN();
