#include "tessary/protocol/shared/MessageHead.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

// Runs first in this executable: no head has been built yet.
TEST(MessageHeadFirst, FirstHeadOfTheProcessGetsTwo) {
    MessageHead head(HeadType::Message);
    EXPECT_EQ(head.MessageID, 2u);
}

TEST(MessageHeadTest, ConstructorFillsTheFixedFields) {
    MessageHead head(HeadType::Enquiry);
    const auto* raw = reinterpret_cast<const unsigned char*>(&head);
    EXPECT_EQ(raw[0], 0xAA);
    EXPECT_EQ(raw[1], 0x55);
    EXPECT_EQ(head.Size, 88u);
    EXPECT_EQ(head.Version, 0x510u);
    EXPECT_EQ(head.CallerID, 66u);
    EXPECT_EQ(head.Type, HeadType::Enquiry);
    EXPECT_EQ(head.cbBLOB, 0);
    EXPECT_TRUE(std::all_of(raw + 52, raw + 88, [](unsigned char c) { return c == 0; }));
    MessagePDV pdv;
    Tail tail;
    const uint32_t expectedPdv[] = {0xA55A, 24, 88, 0, 44, 0};
    const uint32_t expectedTail[] = {0xAA55, 16, 77, 44};
    EXPECT_EQ(std::memcmp(&pdv, expectedPdv, 24), 0);
    EXPECT_EQ(std::memcmp(&tail, expectedTail, 16), 0);
    // Older versions are taken; newer ones are refused with a line (the readers' tables).
    head.Version = 0x200;
    EXPECT_TRUE(head.Is(HeadType::Enquiry));
    EXPECT_FALSE(head.Is(HeadType::Ack));
    head.Magic = 0x1234;
    EXPECT_FALSE(head.Is(HeadType::Enquiry));
}

TEST(MessageHeadTest, MessageNumbersAreUniqueAcrossThreads) {
    constexpr int threads = 4;
    constexpr int perThread = 5000;
    std::vector<std::vector<uint32_t>> seen(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&seen, t] {
            for (int i = 0; i < perThread; ++i) {
                seen[t].push_back(MessageHead().MessageID);
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    std::set<uint32_t> all;
    for (const auto& ids : seen) {
        EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
        all.insert(ids.begin(), ids.end());
    }
    EXPECT_EQ(all.size(), static_cast<size_t>(threads * perThread));
}

TEST(MessageHeadTest, IdFieldsAreBoundedToSixteenBytes) {
    MessageHead head;
    head.SetSourceID("ABCDEFGHIJKLMNOP");   // 16: no terminating zero
    head.SetTargetID("ABCDEFGHIJKLMNOPQ");  // 17: cut to 16
    EXPECT_EQ(head.GetSourceID(), "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(head.GetTargetID(), "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(head.Reserved, 0u); // the cut did not spill into the next field
    head.SetSourceID("short");
    EXPECT_EQ(head.GetSourceID(), "short");
    EXPECT_EQ(head.SourceID[15], 0);
    head.SetTargetID(nullptr);
    EXPECT_EQ(head.GetTargetID(), "");
}
