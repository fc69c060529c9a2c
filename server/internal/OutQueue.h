#pragma once

#include <cstddef>
#include <deque>
#include <memory>

namespace busd {

// Bytes waiting to be written to one connection, in order. Small pieces are copied into
// blocks the queue owns, so a queue of many small frames does not pin a whole read buffer per
// frame; big pieces are kept by reference to the read buffer they arrived in (cut-through, no
// copy). Charged() is what the queue holds in memory, counting a referenced piece as the
// whole buffer it pins, and is what backpressure compares with the limit.
class OutQueue {
public:
    struct Piece {
        const char* data;
        size_t size;
    };

    // Copies size bytes at the end of the queue.
    void Append(const char* data, size_t size);
    // Queues size bytes that live in keep's buffer; charge is what that buffer costs. Bytes
    // that continue the last piece join it, and the buffer is charged once.
    void AppendShared(const std::shared_ptr<char[]>& keep, const char* data, size_t size,
                      size_t charge);
    // True when data follows right after the last piece, a reference into buffer.
    bool Continues(const char* buffer, const char* data) const;

    // Fills at most max pieces from the front for one gather write; returns how many.
    size_t Gather(Piece* out, size_t max) const;
    // Drops n written bytes from the front.
    void Consume(size_t n);
    void Clear();

    bool Empty() const { return m_Bytes == 0; }
    size_t Bytes() const { return m_Bytes; }
    size_t Charged() const { return m_Charged; }

private:
    struct Slice {
        std::shared_ptr<char[]> keep;
        const char* data;
        size_t size;
        size_t charge;
        // Capacity when the queue owns the block and may still append to it, else 0.
        size_t capacity;
    };

    static constexpr size_t BlockSize = 16 * 1024;

    std::deque<Slice> m_Slices;
    size_t m_Bytes = 0;
    size_t m_Charged = 0;
};

} // namespace busd
