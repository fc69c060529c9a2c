#include "tessary/foundation/internal/OutBuffer.h"

#include "tessary/external/Log.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t DefaultStep = 32768;
// A failed exact block for a write of 64 MiB or more falls back to 64 MiB blocks, a smaller one
// to quarter-size blocks.
constexpr uint32_t LargeFallbackStep = 64u * 1024 * 1024;
constexpr uint32_t SmallestStep = 1024;

// Borrowed memory belongs to a caller and is only ever sent, never written into.
bool HasRoom(const StreamBlock& block) { return block.OwnsData && block.Remaining() > 0; }

} // namespace

std::unique_ptr<StreamBlock> OutBuffer::TryAllocate(uint32_t size) {
    auto block = std::make_unique<StreamBlock>();
    block->Data = new (std::nothrow) unsigned char[size];
    if (block->Data == nullptr) {
        return nullptr;
    }
    block->Size = size;
    return block;
}

void OutBuffer::Reset() {
    m_Blocks.clear();
    m_ChunkSize = DefaultChunkSize;
    m_Pending = 0;
}

uint32_t OutBuffer::Write(const void* data, uint32_t n) {
    if (m_Blocks.empty()) {
        m_Blocks.push_back(StreamBlock::Allocate(m_ChunkSize));
    }
    uint32_t step = DefaultStep;
    // A large write gets a block of exactly its size, so a BLOB of many megabytes is copied
    // once and sent with one send.
    if (n >= m_ChunkSize && (!HasRoom(*m_Blocks.back()) || n > m_Blocks.back()->Remaining())) {
        if (auto block = TryAllocate(n)) {
            m_Blocks.push_back(std::move(block));
        } else {
            _error("Bad alloc for %d bytes", static_cast<int>(n));
            step = n >= LargeFallbackStep ? LargeFallbackStep : n / 4;
        }
    }
    const auto* in = static_cast<const unsigned char*>(data);
    uint32_t left = n;
    while (left > 0) {
        if (!HasRoom(*m_Blocks.back())) {
            std::unique_ptr<StreamBlock> block;
            while (!(block = TryAllocate(step))) {
                // Retrying the smallest step for ever would hang the writer; let the
                // out-of-memory condition reach the caller instead.
                if (step <= SmallestStep) {
                    _error("Bad alloc for %d bytes", static_cast<int>(step));
                    throw std::bad_alloc();
                }
                const uint32_t next = std::max(step / 4, SmallestStep);
                _error("Bad alloc for %d bytes, try %d bytes", static_cast<int>(step),
                       static_cast<int>(next));
                step = next;
            }
            m_Blocks.push_back(std::move(block));
        }
        StreamBlock& back = *m_Blocks.back();
        const uint32_t take = std::min(left, back.Remaining());
        std::memcpy(back.Data + back.Position, in, take);
        back.Position += take;
        m_Pending += take;
        in += take;
        left -= take;
    }
    return n;
}

void OutBuffer::WriteValue(const void* value, uint32_t size) {
    if (m_Blocks.empty()) {
        m_Blocks.push_back(StreamBlock::Allocate(m_ChunkSize));
    }
    StreamBlock& back = *m_Blocks.back();
    if (HasRoom(back) && back.Remaining() >= size) {
        std::memcpy(back.Data + back.Position, value, size);
        back.Position += size;
        m_Pending += size;
        return;
    }
    Write(value, size);
}

bool OutBuffer::Flush() {
    while (!m_Blocks.empty()) {
        const StreamBlock& front = *m_Blocks.front();
        if (front.Position > 0) {
            WriteSink(front.Data, front.Position);
        }
        m_Blocks.pop_front();
    }
    m_Pending = 0;
    return true;
}

void OutBuffer::TakeAll(void* destination) {
    auto* out = static_cast<unsigned char*>(destination);
    while (!m_Blocks.empty()) {
        const StreamBlock& front = *m_Blocks.front();
        if (front.Position > 0) {
            std::memcpy(out, front.Data, front.Position);
            out += front.Position;
        }
        m_Blocks.pop_front();
    }
    m_Pending = 0;
}

void OutBuffer::AppendBlock(std::unique_ptr<StreamBlock> block) {
    if (block) {
        m_Blocks.push_back(std::move(block));
    }
}
