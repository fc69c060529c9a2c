#pragma once

#include <cstdint>
#include <deque>
#include <memory>

// One chunk of a stream buffer's bytes. Input blocks count Position up to Size as bytes are
// handed out; output blocks count Position up to Size (their capacity) as bytes are written.
struct StreamBlock {
    uint32_t Position = 0;
    uint32_t Size = 0;
    unsigned char* Data = nullptr;
    // False for memory wrapped without copying (a caller's BLOB); the caller keeps it alive
    // while the block exists.
    bool OwnsData = true;

    StreamBlock() = default;
    StreamBlock(const StreamBlock&) = delete;
    StreamBlock& operator=(const StreamBlock&) = delete;
    ~StreamBlock() {
        if (OwnsData) {
            delete[] Data;
        }
    }

    // Input: bytes not yet handed out. Output: room left.
    uint32_t Remaining() const { return Size - Position; }

    // An owning block of capacity bytes; throws std::bad_alloc.
    static std::unique_ptr<StreamBlock> Allocate(uint32_t capacity) {
        auto block = std::make_unique<StreamBlock>();
        block->Data = new unsigned char[capacity];
        block->Size = capacity;
        return block;
    }

    // A block over memory the stream does not own. For input the whole range is unread; for
    // output it counts as filled.
    static std::unique_ptr<StreamBlock> Borrow(const void* data, uint32_t size, bool filled) {
        auto block = std::make_unique<StreamBlock>();
        // Borrowed memory is only ever read by the stream.
        block->Data = static_cast<unsigned char*>(const_cast<void*>(data));
        block->Size = size;
        block->Position = filled ? size : 0;
        block->OwnsData = false;
        return block;
    }
};

// Input takes from the front; new blocks go to the back; output fills the back block.
using StreamBlockList = std::deque<std::unique_ptr<StreamBlock>>;
