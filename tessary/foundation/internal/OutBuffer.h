#pragma once

#include "tessary/foundation/internal/StreamBlock.h"

#include <cstdint>

// The output side of a connection: written bytes collect in 32 KiB blocks (a large write gets
// one block of its own) and go to the sink block by block on Flush, one sink call per non-empty
// block. A buffer belongs to the thread that owns its connection.
class OutBuffer {
public:
    static constexpr uint32_t DefaultChunkSize = 32768;

    OutBuffer() = default;
    OutBuffer(const OutBuffer&) = delete;
    OutBuffer& operator=(const OutBuffer&) = delete;
    virtual ~OutBuffer() = default;

    virtual OutBuffer& operator<<(uint32_t value) = 0;
    virtual OutBuffer& operator<<(uint16_t value) = 0;
    virtual OutBuffer& operator<<(uint8_t value) = 0;
    // Drops every block, unflushed bytes included.
    virtual void Reset();
    // Always true: a failed send is reported by the sink itself (the socket logs, raises its
    // error hook and closes).
    virtual bool Flush();
    // Takes all n bytes and returns n. When memory runs short it falls back to smaller blocks
    // and, when not even 1 KiB can be had, throws std::bad_alloc.
    virtual uint32_t Write(const void* data, uint32_t n);
    virtual bool IsValid() const { return true; }
    // The raw write of one block.
    virtual bool WriteSink(const void* data, uint32_t n) = 0;

    // Copies every filled byte, front to back, into one area the caller sized (Pending bytes
    // plus those of appended blocks) and drops the blocks.
    void TakeAll(void* destination);
    // Puts a filled block at the back (pending unchanged). A borrowed block lets a caller's
    // memory be sent without copying it; it must outlive the next Flush.
    void AppendBlock(std::unique_ptr<StreamBlock> block);

    uint32_t Pending() const { return m_Pending; }

protected:
    // Stores a value in the back block when it fits, else writes it through Write.
    void WriteValue(const void* value, uint32_t size);
    // An owning block of size bytes, or null when memory is short.
    static std::unique_ptr<StreamBlock> TryAllocate(uint32_t size);

    uint32_t m_ChunkSize = DefaultChunkSize;
    uint32_t m_Pending = 0;
    StreamBlockList m_Blocks;
};
