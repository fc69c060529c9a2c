#include "tessary/protocol/FrameWriter.h"
#include "tests/support/LoopbackPeer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

bool ReadHeadFrame(NetBuffer& stream, MessageHead& head) {
    Tail tail;
    return stream.ReadBytes(&head, sizeof head) == static_cast<int32_t>(sizeof head) &&
           stream.ReadBytes(&tail, sizeof tail) == static_cast<int32_t>(sizeof tail) && tail.Is();
}

} // namespace

TEST(LoopbackPeerTest, ResponderAnswersEveryFrameInOrder) {
    LoopbackPeer peer;
    peer.SetResponder([](LoopbackPeer& self, size_t connection, const PeerFrame& frame) {
        const bool known = frame.Head.GetTargetID() == "B";
        self.Send(FrameBuilder(AnswerHead(frame.Head, known ? HeadType::Reply : HeadType::Failed))
                      .Build(),
                  connection);
    });
    NetBuffer stream;
    ASSERT_TRUE(stream.Connect(LoopbackPeer::Host, peer.Port()));
    for (const char* target : {"B", "C"}) {
        MessageHead request(HeadType::Enquiry);
        request.SetTargetID(target);
        WriteHead(stream, request);
        MessageHead answer(0);
        ASSERT_TRUE(ReadHeadFrame(stream, answer)) << target;
        EXPECT_EQ(answer.MessageID, request.MessageID);
        EXPECT_EQ(answer.Type, std::string(target) == "B" ? HeadType::Reply : HeadType::Failed);
    }
    ASSERT_TRUE(peer.WaitForFrames(2));
    EXPECT_EQ(peer.Frames()[1].Head.GetTargetID(), "C");
}

TEST(LoopbackPeerTest, AcceptsConnectionsInTurnAndScriptsEachOnAccept) {
    LoopbackPeer peer;
    peer.SetOnAccept([](LoopbackPeer& self, size_t connection) {
        MessageHead sync(HeadType::SYNC);
        sync.Value = static_cast<int32_t>(connection);
        self.Send(FrameBuilder(sync).Build(), connection);
        if (connection == 0) {
            self.Close(connection);
        }
    });
    for (int round = 0; round < 2; ++round) {
        NetBuffer stream;
        ASSERT_TRUE(stream.Connect(LoopbackPeer::Host, peer.Port()));
        MessageHead sync(0);
        ASSERT_TRUE(ReadHeadFrame(stream, sync));
        EXPECT_EQ(sync.Value, round);
        if (round == 0) {
            // Closed after its greeting.
            uint8_t more = 0;
            EXPECT_EQ(stream.ReadBytes(&more, 1), 0);
            EXPECT_FALSE(stream.IsConnected());
        } else {
            EXPECT_FALSE(peer.ClientClosed(1));
        }
    }
    EXPECT_EQ(peer.ConnectionCount(), 2u);
}

TEST(LoopbackPeerTest, OpenSeriesFollowsTheBusServerPortPattern) {
    const auto peers = LoopbackPeer::OpenSeries(3);
    ASSERT_EQ(peers.size(), 3u);
    EXPECT_EQ(peers[1]->Port(), peers[0]->Port() + 2);
    EXPECT_EQ(peers[2]->Port(), peers[0]->Port() + 4);
}

TEST(FrameBytesTest, ParserStopsAtAMalformedFrameAndKeepsTheOnesBefore) {
    MessageHead listen(HeadType::Listen);
    Bytes stream = FrameBuilder(listen).NoTail().Build();
    Append(stream, FrameBuilder(MessageHead(HeadType::Message)).Body("ok").Build());
    Bytes broken = FrameBuilder(MessageHead(HeadType::Message)).Blob(PatternBytes(4)).Build();
    broken[88] = 0;
    Append(stream, broken);
    std::string error;
    const auto frames = ParseFrames(stream, &error);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].Size, 88u);
    EXPECT_FALSE(frames[0].HasTail);
    EXPECT_EQ(frames[1].BodyText(), "ok");
    EXPECT_EQ(frames[1].Offset, 88u);
    EXPECT_NE(error.find("PDV magic"), std::string::npos) << error;
}
