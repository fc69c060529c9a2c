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

// Partial writes of every size leave the stream intact across copied and shared pieces; bytes
// handed to a write are never moved by later appends.
TEST(OutQueueTest, KeepsOrderAcrossCopiedAndSharedPiecesAndBytesInFlight) {
    std::shared_ptr<char[]> buffer(new char[100]);
    for (int i = 0; i < 100; ++i) {
        buffer[i] = static_cast<char>('A' + i % 26);
    }
    OutQueue queue;
    queue.Append("head", 4);
    queue.AppendShared(buffer, buffer.get() + 10, 50, 100);
    // Bytes right behind it in the same buffer join it.
    queue.AppendShared(buffer, buffer.get() + 60, 20, 100);
    queue.Append("tail", 4);
    EXPECT_EQ(queue.Bytes(), 78u);
    // A shared piece costs the whole buffer it keeps alive, once.
    EXPECT_EQ(queue.Charged(), 108u);
    EXPECT_EQ(buffer.use_count(), 2);
    EXPECT_EQ(Drain(queue, 7), "head" + std::string(buffer.get() + 10, 70) + "tail");
    EXPECT_EQ(queue.Charged(), 0u);
    EXPECT_EQ(buffer.use_count(), 1);

    OutQueue fresh;
    fresh.Append("abcdef", 6);
    OutQueue::Piece piece[1];
    ASSERT_EQ(fresh.Gather(piece, 1), 1u);
    const char* inFlight = piece[0].data;
    fresh.Consume(2);
    fresh.Append(std::string(40000, 'x').data(), 40000);
    EXPECT_EQ(std::string(inFlight + 2, 4), "cdef");
    EXPECT_EQ(Drain(fresh, 1000), "cdef" + std::string(40000, 'x'));
}
