#pragma once

#include "tessary/foundation/internal/StreamBlock.h"

#include <cstdint>

// The input side of a connection: bytes pulled from a source (ReadSource) in reads of up to
// 32 KiB, each kept as a block, and handed out in any size across block borders. Multi-byte
// values are copied as they lie in memory (little-endian, the byte order of every frame field).
// A buffer belongs to the thread that owns its connection.
class InBuffer {
public:
    static constexpr uint32_t DefaultChunkSize = 32768;
    static constexpr uint32_t PrefetchSize = 65536;

    InBuffer() = default;
    InBuffer(const InBuffer&) = delete;
    InBuffer& operator=(const InBuffer&) = delete;
    virtual ~InBuffer() = default;

    // A value is taken only when all its bytes can be had; otherwise it is left unchanged and
    // nothing is consumed.
    virtual InBuffer& operator>>(uint32_t& value) = 0;
    virtual InBuffer& operator>>(uint16_t& value) = 0;
    virtual InBuffer& operator>>(uint8_t& value) = 0;
    // Drops every block, unread bytes included.
    virtual void Reset();
    virtual bool IsValid() const { return true; }
    // The raw read: > 0 bytes placed, 0 nothing there yet (asked again), -1 failed for good.
    virtual int32_t ReadSource(void* destination, uint32_t capacity) = 0;

    // Makes at least n bytes buffered if the source allows; n when they are there, otherwise
    // what is buffered.
    uint32_t Fill(uint32_t n);
    // Copies n bytes out, fewer only when the source failed first, 0 when nothing could be
    // had. n must not exceed INT32_MAX. Large reads go from the source straight into
    // destination once the buffered bytes are used up.
    int32_t ReadBytes(void* destination, uint32_t n);
    // Reads until 64 KiB more than at the call are buffered; false when the source failed.
    bool Prefetch();
    // Puts a block at the back; its unread bytes count as buffered. Used to read memory the
    // buffer does not own.
    void AppendBlock(std::unique_ptr<StreamBlock> block);

    uint32_t Buffered() const { return m_Buffered; }

protected:
    // Copies a value that lies wholly in the front block, else goes through ReadBytes.
    void ReadValue(void* value, uint32_t size);
    // One source read into a new block of chunk size, appended at the back. False when the
    // source failed.
    bool ReadOneBlock();
    void DropExhaustedFront();
    // Hands out count buffered bytes (count <= buffered), dropping the blocks used up.
    uint32_t CopyOut(unsigned char* out, uint32_t count);

    uint32_t m_ChunkSize = DefaultChunkSize;
    uint32_t m_Buffered = 0;
    StreamBlockList m_Blocks;
    // A chunk-sized block whose read was copied into a block of its own size, kept for the
    // next read.
    std::unique_ptr<StreamBlock> m_Spare;
};
