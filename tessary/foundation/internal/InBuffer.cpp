#include "tessary/foundation/internal/InBuffer.h"

#include <algorithm>
#include <cstring>
#include <thread>

void InBuffer::Reset() {
    m_Blocks.clear();
    m_Spare.reset();
    m_ChunkSize = DefaultChunkSize;
    m_Buffered = 0;
}

void InBuffer::AppendBlock(std::unique_ptr<StreamBlock> block) {
    if (!block) {
        return;
    }
    m_Buffered += block->Remaining();
    m_Blocks.push_back(std::move(block));
}

bool InBuffer::ReadOneBlock() {
    // A short read is copied out of the chunk-sized block below, so that block is kept for the
    // next read: a stream of small frames then costs no large allocation per read.
    std::unique_ptr<StreamBlock> block;
    if (m_Spare && m_ChunkSize == DefaultChunkSize) {
        block = std::move(m_Spare);
    } else {
        block = StreamBlock::Allocate(m_ChunkSize);
    }
    int32_t count = 0;
    // 0 means "nothing yet" (a socket polled with a time-out of 0): ask again, letting other
    // threads run in between. A torn-down socket answers -1 and ends the loop.
    while ((count = ReadSource(block->Data, m_ChunkSize)) == 0) {
        std::this_thread::yield();
    }
    if (count < 0) {
        return false;
    }
    const uint32_t got = std::min(static_cast<uint32_t>(count), m_ChunkSize);
    // Many small reads must not each keep a 32 KiB block alive.
    if (got < m_ChunkSize / 2) {
        auto exact = StreamBlock::Allocate(got);
        std::memcpy(exact->Data, block->Data, got);
        if (m_ChunkSize == DefaultChunkSize) {
            m_Spare = std::move(block);
        }
        block = std::move(exact);
    }
    block->Size = got;
    block->Position = 0;
    m_Buffered += got;
    m_Blocks.push_back(std::move(block));
    return true;
}

uint32_t InBuffer::Fill(uint32_t n) {
    while (m_Buffered < n) {
        if (!ReadOneBlock()) {
            return std::min(m_Buffered, n);
        }
    }
    return n;
}

void InBuffer::DropExhaustedFront() {
    while (!m_Blocks.empty() && m_Blocks.front()->Remaining() == 0) {
        m_Blocks.pop_front();
    }
}

int32_t InBuffer::ReadBytes(void* destination, uint32_t n) {
    auto* out = static_cast<unsigned char*>(destination);
    uint32_t copied = 0;
    // A body or BLOB chunk of a chunk size or more is read from the source straight into its
    // final storage once the buffered bytes are used up, instead of passing through blocks.
    // The last part below a chunk goes through Fill, which also reads ahead for what follows.
    if (n > m_Buffered && n - m_Buffered >= m_ChunkSize) {
        copied = CopyOut(out, m_Buffered);
        while (n - copied >= m_ChunkSize) {
            const int32_t count = ReadSource(out + copied, n - copied);
            if (count < 0) {
                return static_cast<int32_t>(copied);
            }
            if (count == 0) {
                std::this_thread::yield();
                continue;
            }
            copied += std::min(static_cast<uint32_t>(count), n - copied);
        }
    }
    const uint32_t wanted = Fill(n - copied);
    copied += CopyOut(out + copied, wanted);
    return static_cast<int32_t>(copied);
}

uint32_t InBuffer::CopyOut(unsigned char* out, uint32_t count) {
    uint32_t copied = 0;
    while (copied < count) {
        StreamBlock& front = *m_Blocks.front();
        const uint32_t take = std::min(front.Remaining(), count - copied);
        if (take > 0) {
            std::memcpy(out + copied, front.Data + front.Position, take);
        }
        front.Position += take;
        m_Buffered -= take;
        copied += take;
        if (front.Remaining() == 0) {
            m_Blocks.pop_front();
        }
    }
    return copied;
}

bool InBuffer::Prefetch() {
    const uint64_t target = static_cast<uint64_t>(m_Buffered) + PrefetchSize;
    if (target > UINT32_MAX) {
        m_ChunkSize = DefaultChunkSize;
        return true;
    }
    bool reached = true;
    while (m_Buffered < target) {
        m_ChunkSize = static_cast<uint32_t>(target) - m_Buffered;
        if (!ReadOneBlock()) {
            reached = false;
            break;
        }
    }
    m_ChunkSize = DefaultChunkSize;
    return reached;
}

void InBuffer::ReadValue(void* value, uint32_t size) {
    if (Fill(size) < size) {
        return;
    }
    DropExhaustedFront();
    StreamBlock& front = *m_Blocks.front();
    if (front.Remaining() >= size) {
        std::memcpy(value, front.Data + front.Position, size);
        front.Position += size;
        m_Buffered -= size;
        return;
    }
    ReadBytes(value, size);
}
