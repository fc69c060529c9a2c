#include "tessary/foundation/TmplBlockBuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

using Block = TmplBlockBuffer<unsigned char>;

TEST(TmplBlockBufferTest, CopiesShareUntilOneAllocatesAndEmptyRequestsTakeNothing) {
    Block a;
    EXPECT_EQ(a.Allocate(-5), nullptr);
    auto* memory = new unsigned char[4];
    a.Attach(memory, 0);
    EXPECT_TRUE(a.IsEmpty());
    delete[] memory; // not taken, so still ours
    a.Attach(new unsigned char[4], 4);
    std::memcpy(a.GetData(), "keep", 4);
    {
        Block b(a);
        Block c;
        c = a;
        c = b; // same data: nothing happens
        EXPECT_EQ(a.ShareCount(), 3);
        EXPECT_EQ(c.GetData(), a.GetData());
        b.Allocate(100);
        EXPECT_EQ(a.ShareCount(), 2);
    }
    EXPECT_EQ(a.ShareCount(), 1);
    EXPECT_EQ(std::memcmp(a.GetData(), "keep", 4), 0);
    // A block marked unshared is copied deep.
    a.MakeUnshared();
    Block copy(a);
    EXPECT_NE(copy.GetData(), a.GetData());
    EXPECT_EQ(std::memcmp(copy.GetData(), "keep", 4), 0);
    a = Block();
    EXPECT_TRUE(a.IsEmpty());
}

TEST(TmplBlockBufferTest, SharingAcrossThreadsFreesExactlyOnce) {
    // Run under ASan/TSan in CI: a double free or a racy count shows there.
    for (int round = 0; round < 50; ++round) {
        auto* source = new Block;
        source->Allocate(64)[0] = 1;
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([copy = *source] {
                std::vector<Block> more(100, copy);
                EXPECT_EQ(more.back().GetData()[0], 1);
            });
        }
        delete source;
        for (auto& thread : threads) {
            thread.join();
        }
    }
}

TEST(TmplBlockBufferTest, ReallocateKeepsTheBytesAcrossHeapAndMappedBlocks) {
    // Grows from a heap block into a mapped one, grows that in place or by a move, then
    // shrinks back below the mapping threshold; the bytes written first survive every step.
    constexpr int Small = 1000;
    constexpr int Large = static_cast<int>(Block::MappedThreshold) + 12345;
    Block block;
    std::memset(block.Allocate(Small), 'a', Small);
    for (int length : {Large, 3 * Large, Large + 1, Small}) {
        unsigned char* data = block.Reallocate(length);
        ASSERT_NE(data, nullptr);
        ASSERT_EQ(block.Length(), length);
        EXPECT_EQ(data[0], 'a');
        EXPECT_EQ(data[Small - 1], 'a');
        data[length - 1] = 'z'; // the whole new length is writable
    }
    // A shared mapped block is copied, not moved: the other holder keeps its bytes.
    std::memset(block.Reallocate(Large), 'm', Large);
    Block other(block);
    block.Reallocate(2 * Large);
    EXPECT_EQ(other.ShareCount(), 1);
    EXPECT_EQ(other.GetData()[Large - 1], 'm');
    EXPECT_EQ(block.GetData()[Large - 1], 'm');
    Block deep;
    deep.DeepCopy(other);
    EXPECT_EQ(deep.GetData()[Large - 1], 'm');
    EXPECT_EQ(block.Reallocate(0), nullptr);
    EXPECT_TRUE(block.IsEmpty());
}
