#include "tessary/external/internal/LogCapture.h"
#include "tessary/foundation/internal/IStreamBuffer.h"
#include "tessary/foundation/internal/OStreamBuffer.h"
#include "testkit/FrameBytes.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>
#include <utility>

using ORVEX::Log::LogCapture;

namespace {

// An input stream whose source plays a script: a run of bytes (handed out as far as the
// asked capacity allows), 0 ("nothing yet") or -1 (failed). After the script it fails.
class ScriptedInput : public IStreamBuffer {
public:
    void Deliver(Bytes bytes) { m_Script.push_back({0, std::move(bytes)}); }
    void Nothing() { m_Script.push_back({1, {}}); }
    void Fail() { m_Script.push_back({-1, {}}); }

    int32_t ReadSource(void* destination, uint32_t capacity) override {
        if (m_Script.empty()) {
            return -1;
        }
        auto& [kind, bytes] = m_Script.front();
        if (kind != 0) {
            const int32_t result = kind > 0 ? 0 : -1;
            m_Script.pop_front();
            return result;
        }
        const uint32_t count = std::min<uint32_t>(capacity, static_cast<uint32_t>(bytes.size()));
        std::memcpy(destination, bytes.data(), count);
        bytes.erase(bytes.begin(), bytes.begin() + count);
        if (bytes.empty()) {
            m_Script.pop_front();
        }
        return static_cast<int32_t>(count);
    }

private:
    std::deque<std::pair<int, Bytes>> m_Script;
};

Bytes Slice(const Bytes& bytes, size_t from, size_t count) {
    return Bytes(bytes.begin() + static_cast<long>(from),
                 bytes.begin() + static_cast<long>(from + count));
}

} // namespace

// Source pieces of awkward sizes against reads of awkward sizes, small and above a chunk:
// every byte must come out once, in order, whether it went through blocks or straight from
// the source into the destination. "Nothing yet" is asked again; the source failing after
// the last piece cuts the last read short, and the next read gets nothing.
TEST(InBufferTest, MixedReadSizesDeliverTheStreamInOrder) {
    const Bytes data = PatternBytes(400000, 7);
    ScriptedInput in;
    const size_t pieces[] = {1, 5000, 70000, 32768, 13, 90000};
    for (size_t from = 0, k = 0; from < data.size(); ++k) {
        const size_t count = std::min(pieces[k % 6], data.size() - from);
        in.Deliver(Slice(data, from, count));
        from += count;
        if (k == 2) {
            in.Nothing();
        }
    }
    const uint32_t reads[] = {88, 100000, 24, 16, 40000, 3, 32768};
    Bytes out;
    for (size_t k = 0; out.size() < data.size(); ++k) {
        Bytes piece(reads[k % 7]);
        const int32_t count = in.ReadBytes(piece.data(), reads[k % 7]);
        ASSERT_TRUE(count == static_cast<int32_t>(piece.size()) ||
                    (count > 0 && out.size() + static_cast<size_t>(count) == data.size()))
            << "read " << k << ": " << count;
        piece.resize(static_cast<size_t>(count));
        Append(out, piece);
    }
    EXPECT_EQ(out, data);
    uint8_t extra = 0;
    EXPECT_EQ(in.ReadBytes(&extra, 1), 0);
}

// Runs in a child process whose address space is capped a little above what it already
// uses, so a 1 GiB write cannot get its block and falls back, step by step, until even the
// smallest block fails and the write ends with std::bad_alloc. Exits 0 when all of that held.
[[noreturn]] void WriteUnderAnAddressSpaceCap() {
    constexpr size_t size = 1u << 30;
    // Untouched private pages read as zeros and cost no memory.
    void* source = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    long pages = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (source == MAP_FAILED || statm == nullptr || std::fscanf(statm, "%ld", &pages) != 1) {
        std::_Exit(2);
    }
    std::fclose(statm);
    const rlim_t cap = static_cast<rlim_t>(pages) * 4096 + (48u << 20);
    const rlimit limit{cap, cap};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) {
        std::_Exit(3);
    }
    LogCapture capture;
    bool threw = false;
    {
        OStreamBuffer out;
        try {
            out.Write(source, static_cast<uint32_t>(size));
        } catch (const std::bad_alloc&) {
            threw = true;
        }
    }
    const auto lines = capture.Texts();
    bool stepped = false;
    for (const auto& line : lines) {
        std::fprintf(stderr, "%s\n", line.c_str());
        stepped |= line == "Bad alloc for 67108864 bytes, try 16777216 bytes";
    }
    const bool first = !lines.empty() && lines.front() == "Bad alloc for 1073741824 bytes";
    std::_Exit(threw && first && stepped ? 0 : 1);
}

TEST(OutBufferMemoryTest, FallsBackToSmallerBlocksAndEndsWithBadAlloc) {
#ifdef TESSARY_SANITIZED
    GTEST_SKIP() << "sanitizers reserve address space that a cap would break";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(WriteUnderAnAddressSpaceCap(), ::testing::ExitedWithCode(0),
                "Bad alloc for 1073741824 bytes");
}
