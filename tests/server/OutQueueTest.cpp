#include "server/internal/OutQueue.h"

#include <gtest/gtest.h>

#include <string>

using busd::OutQueue;

namespace {

std::string Drain(OutQueue& queue, size_t step) {
    std::string out;
    while (!queue.Empty()) {
        OutQueue::Piece pieces[4];
        const size_t count = queue.Gather(pieces, 4);
        size_t taken = 0;
        for (size_t i = 0; i < count && taken < step; ++i) {
            const size_t n = std::min(step - taken, pieces[i].size);
            out.append(pieces[i].data, n);
            taken += n;
        }
        queue.Consume(taken);
    }
    return out;
}

} // namespace

TEST(OutQueueTest, KeepsOrderAcrossCopiedAndSharedPieces) {
    std::shared_ptr<char[]> buffer(new char[100]);
    for (int i = 0; i < 100; ++i) {
        buffer[i] = static_cast<char>('A' + i % 26);
    }
    OutQueue queue;
    queue.Append("head", 4);
    queue.AppendShared(buffer, buffer.get() + 10, 50, 100);
    queue.Append("tail", 4);
    EXPECT_EQ(queue.Bytes(), 58u);
    // A shared piece costs the whole buffer it keeps alive.
    EXPECT_EQ(queue.Charged(), 108u);
    EXPECT_EQ(buffer.use_count(), 2);
    const std::string expected = "head" + std::string(buffer.get() + 10, 50) + "tail";
    // Partial writes of every size leave the stream intact.
    EXPECT_EQ(Drain(queue, 7), expected);
    EXPECT_EQ(queue.Charged(), 0u);
    EXPECT_EQ(buffer.use_count(), 1);
}

TEST(OutQueueTest, AppendingBehindAPartlyWrittenBlockKeepsItsBytes) {
    OutQueue queue;
    queue.Append("abcdef", 6);
    OutQueue::Piece piece[1];
    ASSERT_EQ(queue.Gather(piece, 1), 1u);
    const char* inFlight = piece[0].data;
    queue.Consume(2);
    queue.Append(std::string(40000, 'x').data(), 40000);
    // Bytes handed to a write are never moved by later appends.
    EXPECT_EQ(std::string(inFlight + 2, 4), "cdef");
    EXPECT_EQ(Drain(queue, 1000), "cdef" + std::string(40000, 'x'));
}
