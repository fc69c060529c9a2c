#include "tessary/protocol/internal/XDWHolder.h"
#include "tests/protocol/SessionFixture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Counted {
    explicit Counted(int& deletions) : Deletions(deletions) {}
    ~Counted() { ++Deletions; }
    int& Deletions;
};

} // namespace

TEST(XDWHolderTest, LastHolderDeletesOnce) {
    int deletions = 0;
    {
        XDWHolder<Counted> first(new Counted(deletions));
        XDWHolder<Counted> second = first;
        XDWHolder<Counted> third;
        third = second;
        EXPECT_EQ(first.ShareCount(), 3);
        EXPECT_EQ(third.Get(), first.Get());
        second.LetGo();
        EXPECT_EQ(first.ShareCount(), 2);
        EXPECT_EQ(first.Clone(), nullptr);
        // Attaching anew lets go of the shared object without deleting it under the others.
        first.Attach(new Counted(deletions));
        EXPECT_EQ(deletions, 0);
        EXPECT_EQ(third.ShareCount(), 1);
    }
    EXPECT_EQ(deletions, 2);
}

using NetBufferTest = StreamTest;

TEST_F(NetBufferTest, ResetAndANewConnectionDropWhatWasLeft) {
    peer.Send(ToBytes("unread"));
    ASSERT_EQ(stream.Fill(6), 6u);
    stream.Write("unsent", 6);
    stream.Reset();
    EXPECT_TRUE(stream.IsEmpty());
    EXPECT_EQ(stream.Pending(), 0u);
    stream.Write("sent", 4);
    stream.Flush();
    ASSERT_TRUE(peer.WaitForBytes(4));
    EXPECT_EQ(peer.Received(), ToBytes("sent"));

    LoopbackPeer second;
    peer.Send(ToBytes("stale bytes"));
    ASSERT_EQ(stream.Fill(11), 11u);
    ASSERT_TRUE(stream.Connect(LoopbackPeer::Host, second.Port()));
    ASSERT_TRUE(second.WaitForConnections(1));
    second.Send(ToBytes("new"));
    char read[3] = {};
    ASSERT_EQ(stream.ReadBytes(read, 3), 3);
    EXPECT_EQ(std::string(read, 3), "new");
}

TEST_F(NetBufferTest, HeldOutputLeavesBeforeTheNextRead) {
    stream.HoldOutput(true);
    stream.Write("ack1", 4);
    stream.Flush();
    stream.HoldOutput(false);
    stream.Write("ack2", 4);
    EXPECT_EQ(stream.Pending(), 8u);
    // A reader that waits for its peer with answers unsent would wait for ever.
    peer.Send(ToBytes("next"));
    ASSERT_EQ(stream.Fill(4), 4u);
    ASSERT_TRUE(peer.WaitForBytes(8));
    EXPECT_EQ(peer.Received(), ToBytes("ack1ack2"));
}
