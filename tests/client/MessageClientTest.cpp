#include "tests/client/ClientFixture.h"

#include <chrono>

using ORVEX::Tessary::Controller::MessageClient;

class MessageClientTest : public ClientTestBase<MessageClient> {
protected:
    void SetUp() override {
        ClientTestBase<MessageClient>::SetUp();
        Collect(client.AckError, ackErrors);
    }
    std::vector<SeenError> ackErrors;
};

TEST_F(MessageClientTest, PostLogsItsEntryAndCutsALongTarget) {
    EXPECT_TRUE(client.Post("0123456789abcdefXYZ", 12, DString("x")));
    ASSERT_TRUE(peer.WaitForFrames(1));
    EXPECT_EQ(std::string(peer.Frames()[0].Head.TargetID, IdFieldSize), "0123456789abcdef");
    EXPECT_TRUE(log.Has(Tag() + "Enter Post, 12 ---> <0123456789abcdefXYZ>"));
    EXPECT_TRUE(client.Forward("you", 13, DString("x")));
    EXPECT_TRUE(log.Has(Tag() + "Enter Forward, 13 ---> <you>"));
}

TEST_F(MessageClientTest, AnErrorAcknowledgementRaisesAckErrorAndEmptiesTheReply) {
    peer.SetResponder([](LoopbackPeer& p, size_t connection, const PeerFrame& frame) {
        Answering(HeadType::Reply)(p, connection, frame);
        MessageHead error = AnswerHead(frame.Head, HeadType::Error);
        error.Value = 5;
        error.SetSourceID("you");
        error.SetTargetID("me");
        p.Send(FrameBuilder(error).Body("abc").Build(), connection);
    });
    DString reply("before");
    EXPECT_FALSE(client.Send("you", 321, DString("q"), reply, 2000));
    EXPECT_TRUE(reply.IsEmpty());
    ASSERT_TRUE(peer.WaitForFrames(1));
    const auto id = std::to_string(peer.Frames()[0].Head.MessageID);
    EXPECT_TRUE(log.Has("-DE-> [" + id + "] Leave DoReadAck, get error <you> -> <me> of 5"));
    // A 16-bit send gets the error text as the wide text.
    WString wide(u"before");
    EXPECT_FALSE(client.Send("you", 322, WString(u"q"), wide, 2000));
    EXPECT_TRUE(wide.IsEmpty());
    ASSERT_EQ(ackErrors.size(), 2u);
    EXPECT_EQ(ackErrors[0].Code, 5);
    EXPECT_EQ(ackErrors[0].SourceID, "you");
    EXPECT_EQ(ackErrors[0].TargetID, "me");
    EXPECT_EQ(ackErrors[1].WText, u"abc");
    EXPECT_TRUE(busErrors.empty());
}

// A target that never answers costs the whole time-out; a bus server that hangs up meanwhile
// ends the wait at once.
TEST_F(MessageClientTest, ATargetThatNeverAnswersFailsAfterItsTimeOutOrAtAHangUp) {
    peer.SetResponder(Answering(HeadType::Reply));
    DString reply("xyz");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.Send("you", 1, DString("q"), reply, 1000));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(900));
    EXPECT_LT(elapsed, std::chrono::milliseconds(4000));
    EXPECT_TRUE(reply.IsEmpty());
    ASSERT_EQ(busErrors.size(), 1u);
    EXPECT_EQ(busErrors[0].Code, -1);
    EXPECT_EQ(busErrors[0].Text, "ReadAck");
    ASSERT_EQ(ackErrors.size(), 1u);
    EXPECT_EQ(ackErrors[0].Code, 0);
    EXPECT_EQ(ackErrors[0].Text, "xyz");
    EXPECT_TRUE(log.HasFragment("] Leave DoReadAck, get unknown <> -> <> of 0"));
    EXPECT_TRUE(log.HasFragment("-D?-> ["));

    peer.SetResponder([](LoopbackPeer& p, size_t connection, const PeerFrame& frame) {
        Answering(HeadType::Reply)(p, connection, frame);
        p.Close(connection);
    });
    const auto hangUp = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.Send("you", 2, DString("q"), reply, 30000));
    EXPECT_LT(std::chrono::steady_clock::now() - hangUp, std::chrono::seconds(10));
    EXPECT_EQ(busErrors.back().Code, -1);
    ASSERT_EQ(ackErrors.size(), 2u);
    EXPECT_EQ(ackErrors[1].Code, 0);
}

TEST_F(MessageClientTest, ARefusedSendOnAnOpenConnectionClosesIt) {
    peer.SetResponder(BusWithTarget("", HeadType::Failed));
    EXPECT_FALSE(client.Send("you", 1, DString("q"), 2000));
    EXPECT_TRUE(log.Has(Tag() + "MessageClient::DoSend, socket reconnecting ..."));
    EXPECT_TRUE(log.Has(Tag() + "Leave MessageClient::DoSend, Target <you> is offline ? Skip ReadAck"));
    EXPECT_FALSE(client.Session().IsConnected());
    EXPECT_EQ(busErrors.size(), 2u);
    EXPECT_TRUE(ackErrors.empty());
}

// A post fails at once on a bus server that hangs up; a send tries one more connection, with
// the same message, and takes the answer when that one gives it.
TEST_F(MessageClientTest, APostFailsAtOnceOnAHangUpAndASendRetriesOnceWithTheSameMessage) {
    peer.SetResponder([](LoopbackPeer& p, size_t connection, const PeerFrame& frame) {
        if (connection < 4) {
            p.Close(connection);
            return;
        }
        BusWithTarget("second")(p, connection, frame);
    });
    EXPECT_FALSE(client.Post("you", 1, DString("q")));
    const std::string connecting = "Connecting to <127.0.0.1 : " + std::to_string(peer.Port()) + ">";
    EXPECT_EQ(log.Count(connecting), 1);
    EXPECT_FALSE(log.HasFragment("reconnecting"));
    EXPECT_FALSE(client.Send("you", 1, DString("q"), 2000));
    EXPECT_EQ(log.Count(connecting), 3);
    EXPECT_TRUE(log.Has(Tag() + "MessageClient::DoSend, socket reconnecting ..."));
    EXPECT_TRUE(log.Has(Tag() + "Leave MessageClient::DoSend, socket is closed ? Skip ReadAck"));
    DString reply;
    EXPECT_TRUE(client.Send("you", 1, DString("q"), reply, 2000));
    EXPECT_EQ(reply, DString("second"));
    ASSERT_TRUE(peer.WaitForFrames(1, 4));
    EXPECT_EQ(peer.Frames(3)[0].Head.MessageID, peer.Frames(4)[0].Head.MessageID);
    EXPECT_EQ(peer.Frames(3)[0].Body, peer.Frames(4)[0].Body);
    EXPECT_EQ(busErrors.back().Text, "Read.Reply");
    EXPECT_TRUE(ackErrors.empty());
}

// Close replaces the session and keeps everything else: the ids, the address, the wiring to
// BusError and the no-delay switch (the setting and the enquiry are both refused).
TEST_F(MessageClientTest, CloseReplacesTheSessionAndKeepsEverythingElse) {
    client.SetTcpNoDelay(true);
    ASSERT_TRUE(client.IsOnline("you"));
    client.Close();
    EXPECT_TRUE(log.Has(Tag() + "Leave BUS::Client::Close ()"));
    EXPECT_TRUE(log.Has(Tag() + "Leave BUS::MessageClient::Close ()"));
    EXPECT_FALSE(client.Session().IsConnected());
    EXPECT_EQ(client.GetSourceID(), DString("me"));
    EXPECT_EQ(client.GetConnectIPAddress(), DString("127.0.0.1"));
    EXPECT_TRUE(peer.WaitForClientClose(0));
    peer.SetResponder(BusWithTarget("", HeadType::Failed));
    EXPECT_FALSE(client.IsOnline("you"));
    EXPECT_EQ(busErrors.size(), 2u);
    peer.SetResponder(BusWithTarget("again"));
    DString reply;
    EXPECT_TRUE(client.Send("you", 1, DString("q"), reply, 2000));
    EXPECT_EQ(reply, DString("again"));
    EXPECT_TRUE(log.Has(Tag() + "Enter MessageClient::DoSend, 1 ---> <you>, TimeOut : 2000 MS"));
}

