#include "server/internal/OutQueue.h"

#include <algorithm>
#include <cstring>

namespace busd {

void OutQueue::Append(const char* data, size_t size) {
    while (size > 0) {
        if (m_Slices.empty() || m_Slices.back().capacity == 0 ||
            (m_Slices.back().data - m_Slices.back().keep.get()) + m_Slices.back().size ==
                m_Slices.back().capacity) {
            const size_t capacity = std::max(BlockSize, size);
            std::shared_ptr<char[]> block(new char[capacity]);
            m_Slices.push_back({block, block.get(), 0, 0, capacity});
        }
        Slice& tail = m_Slices.back();
        // A write in flight may point at the bytes already in this block; appending behind
        // them never moves them.
        char* end = tail.keep.get() + (tail.data - tail.keep.get()) + tail.size;
        const size_t room = tail.capacity - static_cast<size_t>(end - tail.keep.get());
        const size_t take = std::min(room, size);
        std::memcpy(end, data, take);
        tail.size += take;
        tail.charge += take;
        m_Bytes += take;
        m_Charged += take;
        data += take;
        size -= take;
    }
}

void OutQueue::AppendShared(const std::shared_ptr<char[]>& keep, const char* data, size_t size,
                            size_t charge) {
    if (size == 0) {
        return;
    }
    if (Continues(keep.get(), data)) {
        m_Slices.back().size += size;
        m_Bytes += size;
        return;
    }
    m_Slices.push_back({keep, data, size, charge, 0});
    m_Bytes += size;
    m_Charged += charge;
}

bool OutQueue::Continues(const char* buffer, const char* data) const {
    if (m_Slices.empty()) {
        return false;
    }
    const Slice& last = m_Slices.back();
    return last.capacity == 0 && last.keep.get() == buffer && last.data + last.size == data;
}

size_t OutQueue::Gather(Piece* out, size_t max) const {
    size_t count = 0;
    for (const Slice& slice : m_Slices) {
        if (count == max) {
            break;
        }
        out[count++] = {slice.data, slice.size};
    }
    return count;
}

void OutQueue::Consume(size_t n) {
    while (n > 0 && !m_Slices.empty()) {
        Slice& front = m_Slices.front();
        const size_t take = std::min(n, front.size);
        front.data += take;
        front.size -= take;
        m_Bytes -= take;
        n -= take;
        if (front.size == 0) {
            m_Charged -= front.charge;
            m_Slices.pop_front();
        }
    }
}

void OutQueue::Clear() {
    m_Slices.clear();
    m_Bytes = 0;
    m_Charged = 0;
}

} // namespace busd
