#include "tests/protocol/SessionFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using BUSNetPDUTest = SessionTest;

TEST_F(BUSNetPDUTest, SubscribeCarriesTheCommandAndTheSubscriptionCounter) {
    AnswerWith(HeadType::Reply);
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

// What the peer sends before it closes: the reply's head, then after, all cut to keep bytes.
struct ReplyFailure {
    const char* Name;
    Bytes After;
    size_t Keep;
    int Code;
    const char* Text;
    const char* Line;
};

class ReplyFailureTest : public SessionTest, public ::testing::WithParamInterface<ReplyFailure> {};

TEST_P(ReplyFailureTest, FailsWithItsLineAndCodeAndKeepsTheConnectionState) {
    const ReplyFailure failure = GetParam();
    peer.SetResponder([failure](LoopbackPeer& p, size_t connection, const PeerFrame& frame) {
        Bytes bytes = HeadBytes(AnswerHead(frame.Head, HeadType::Reply));
        Append(bytes, failure.After);
        bytes.resize(std::min(bytes.size(), failure.Keep));
        p.Send(bytes, connection);
        p.Close(connection);
    });
    EXPECT_FALSE(pdu.Enquiry("me", "you", 1));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].Code, failure.Code);
    EXPECT_EQ(errors[0].Text, failure.Text);
    EXPECT_EQ(errors[0].Origin, "BUSNetPDU");
    EXPECT_TRUE(log.Has(failure.Line)) << failure.Line;
    EXPECT_FALSE(log.HasFragment("--X--"));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ReplyFailureTest,
    ::testing::Values(
        ReplyFailure{"Nothing", {}, 0, -1, "Read.Reply",
                     "Leave ReadReply due to failed to Read.Reply"},
        ReplyFailure{"ShortHead", {}, 50, -7, "Invalid Reply",
                     "Leave ReadReply due to invalid Reply, 50 < 88"},
        ReplyFailure{"NoTail", {}, 88, -1, "Read.Tail",
                     "Leave ReadReply due to failed to Read.Tail"},
        ReplyFailure{"ShortTail", TailBytes(), 88 + 10, -7, "Invalid Tail",
                     "Leave ReadReply due to invalid Tail, 10 < 16"},
        ReplyFailure{"WrongTailMagic", PDVBytes(0, true), 200, -7, "Invalid Tail",
                     "Leave ReadReply due to invalid Tail."}),
    [](const auto& param) { return std::string(param.param.Name); });

TEST_F(BUSNetPDUTest, AnUnexpectedHeadTearsTheConnectionDown) {
    AnswerWith(HeadType::Ack);
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

TEST_F(BUSNetPDUTest, AReplyReadsExactlyHeadAndTailWhateverItsLengthsSay) {
    peer.SetResponder([](LoopbackPeer& p, size_t connection, const PeerFrame& frame) {
        MessageHead answer = AnswerHead(frame.Head, HeadType::Reply);
        Bytes bytes = HeadBytes(answer);
        // Lengths that would announce a body; the reader must not look for one.
        reinterpret_cast<MessageHead*>(bytes.data())->cbMessage = 5;
        Append(bytes, TailBytes());
        p.Send(bytes, connection);
        p.Send(FrameBuilder(AnswerHead(frame.Head, HeadType::Reply)).Build(), connection);
    });
    EXPECT_TRUE(pdu.Enquiry("me", "you", 1));
    EXPECT_TRUE(pdu.ReadReply());
}
