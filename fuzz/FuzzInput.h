#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

// An input read the way a socket hands it out: its first PlanBytes bytes give the sizes of the
// reads that cut the rest, in turn (0: all that is left), so the fuzzer explores records split
// across reads as well as the bytes themselves. A read is never empty before the end.
class ChunkedInput {
public:
    static constexpr size_t PlanBytes = 4;

    ChunkedInput(const uint8_t* data, size_t size) {
        const size_t plan = std::min(size, PlanBytes);
        std::copy(data, data + plan, m_Plan.begin());
        m_Rest = std::span<const uint8_t>(data + plan, size - plan);
    }

    // The next read of at most capacity bytes; empty once everything was handed out.
    std::span<const uint8_t> Next(size_t capacity) {
        const size_t planned = m_Plan[m_Step++ % PlanBytes];
        const size_t n = std::min({planned == 0 ? m_Rest.size() : planned, m_Rest.size(),
                                   capacity});
        const auto chunk = m_Rest.first(n);
        m_Rest = m_Rest.subspan(n);
        return chunk;
    }

private:
    std::array<uint8_t, PlanBytes> m_Plan{};
    std::span<const uint8_t> m_Rest;
    size_t m_Step = 0;
};

// One input as a file in memory, for readers that only take a path; gone with the object.
class MemoryFile {
public:
    MemoryFile(const uint8_t* data, size_t size) : m_Fd(memfd_create("tessary-fuzz", 0)) {
        if (m_Fd < 0 || ::write(m_Fd, data, size) != static_cast<ssize_t>(size)) {
            __builtin_trap();
        }
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    ~MemoryFile() { ::close(m_Fd); }

    // Opened anew, the file reads from its start.
    std::string Path() const { return "/proc/self/fd/" + std::to_string(m_Fd); }

private:
    int m_Fd;
};
