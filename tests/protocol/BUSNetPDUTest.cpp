#include "tests/protocol/SessionFixture.h"

#include <gtest/gtest.h>

#include <string>

using BUSNetPDUTest = SessionTest;

TEST_F(BUSNetPDUTest, SubscribeCarriesTheCommandAndTheSubscriptionCounter) {
    peer.SetResponder(Answering(HeadType::Reply));
    const uint32_t counter = RaiseSubscriptionCounter();
    EXPECT_TRUE(pdu.Subscribe("rx", 4242, 3000));
    const PeerFrame frame = OnlyFrame();
    EXPECT_EQ(frame.Head.Type, HeadType::Subscribe);
    EXPECT_EQ(frame.Head.CallerID, counter);
    EXPECT_EQ(frame.Head.Command, 4242);
    EXPECT_EQ(IdFieldText(frame.Head.TargetID), "__BUSServer");
    EXPECT_TRUE(log.Has("<-A-- [" + std::to_string(frame.Head.MessageID) + " : " +
                        std::to_string(counter) + "] Sending Subscribe to <__BUSServer>"));
}

TEST_F(BUSNetPDUTest, AnUnexpectedHeadTearsTheConnectionDown) {
    peer.SetResponder(Answering(HeadType::Ack));
    EXPECT_FALSE(pdu.Enquiry("me", "you", 1));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].Code, -7);
    EXPECT_EQ(errors[0].Text, "Invalid MessageHead");
    const PeerFrame frame = OnlyFrame();
    EXPECT_TRUE(log.Has("--X-- [" + std::to_string(frame.Head.MessageID) +
                        "] Leave ReadReply, get an invalid MessageHead : 0x6000"));
    EXPECT_TRUE(log.Has("The Socket will be teardown now !!!"));
    EXPECT_FALSE(pdu.IsConnected());
    EXPECT_TRUE(peer.WaitForClientClose());
}

TEST_F(BUSNetPDUTest, ANewerVersionIsCheckedAsReplyAndAsFailedThenTornDown) {
    peer.SetResponder([](LoopbackPeer& p, size_t connection, const PeerFrame& frame) {
        MessageHead answer = AnswerHead(frame.Head, HeadType::Reply);
        answer.Version = 0x511;
        answer.SetSourceID("srv");
        answer.Command = 9;
        p.Send(FrameBuilder(answer).Build(), connection);
    });
    EXPECT_FALSE(pdu.Enquiry("me", "you", 1));
    EXPECT_EQ(log.Count("Version mismatched from srv of CMD : 9 of version 0x511 (Server "
                        "version : 0x510)"),
              2);
    EXPECT_TRUE(log.HasFragment("] Leave ReadReply, get an invalid MessageHead : 0xf000"));
    EXPECT_FALSE(pdu.IsConnected());
}
