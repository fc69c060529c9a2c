#include "tests/client/ClientFixture.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

using ORVEX::Tessary::Controller::Client;

using ClientTest = ClientTestBase<Client>;

TEST_F(ClientTest, IsOnlineConnectsOnceAndAsksTheBusServerOnlyForATarget) {
    EXPECT_FALSE(client.IsOnline(nullptr));
    EXPECT_FALSE(client.IsOnline(""));
    EXPECT_TRUE(log.Has(Tag() + "Enter IsOnline, TargetID : "));
    EXPECT_FALSE(client.Session().IsConnected());
    // Every client has a number of its own, for its lines.
    EXPECT_EQ(BusClient<Client>().Instance(), client.Instance() + 1);
    EXPECT_TRUE(client.IsOnline("you"));
    EXPECT_TRUE(client.IsOnline("you"));
    ASSERT_TRUE(peer.WaitForFrames(2));
    EXPECT_EQ(peer.ConnectionCount(), 1u);
    // A head-only frame.
    const PeerFrame frame = peer.Frames()[0];
    EXPECT_EQ(frame.Size, 88u + 16u);
    EXPECT_EQ(frame.Head.Type, HeadType::Enquiry);
    EXPECT_EQ(frame.Head.CallerID, client.Instance());
    EXPECT_EQ(std::string(frame.Head.SourceID, IdFieldSize), std::string("me").append(14, '\0'));
    EXPECT_EQ(std::string(frame.Head.TargetID, IdFieldSize), std::string("you").append(13, '\0'));
    const std::string id = "[" + std::to_string(frame.Head.MessageID) + " : " +
                           std::to_string(client.Instance()) + "] ";
    for (const std::string& line : std::vector<std::string>{
             Tag() + "Enter IsOnline, TargetID : you", "<-A-- " + id + "Sending Enquiry to <you>",
             "--R-> " + id + "Leave ReadReply, get reply <you> -> <me>",
             Tag() + "Leave IsOnline, <you> is online"}) {
        EXPECT_TRUE(log.Has(line)) << line;
    }
    // The bus server's refusal reaches BusError; the connection stays.
    peer.SetResponder(BusWithTarget("", HeadType::Failed));
    EXPECT_FALSE(client.IsOnline("you"));
    ASSERT_EQ(busErrors.size(), 1u);
    EXPECT_EQ(busErrors[0].Code, -20);
    EXPECT_EQ(busErrors[0].Text, "Failed when ReadReply (from BUS Server)");
    EXPECT_TRUE(log.HasFragment("--F-> ["));
    EXPECT_TRUE(log.Has(Tag() + "Leave IsOnline, <you> is offline"));
    EXPECT_TRUE(client.Session().IsConnected());
}

// Nothing listens on the second loopback address, so connections there are refused.
TEST_F(ClientTest, ConnectToMovesTheNextConnectionAndARefusedOneFailsAfterFourAttempts) {
    ASSERT_TRUE(client.IsOnline("you"));
    client.ConnectTo("127.0.0.2");
    EXPECT_EQ(client.GetConnectIPAddress(), DString("127.0.0.2"));
    EXPECT_TRUE(client.IsOnline("you"));
    client.Disconnect();
    EXPECT_FALSE(client.IsOnline("you"));
    EXPECT_EQ(busErrors.size(), 4u);
    EXPECT_EQ(client.SetSocketOption(SOL_SOCKET, SO_KEEPALIVE, "\1\0\0\0", 4), 0);
    EXPECT_FALSE(client.BUSSetting(6001, "k", "v"));
    EXPECT_FALSE(log.HasFragment("Enter BUSSetting"));
    // Without a bus server the asked id is the unique one.
    EXPECT_EQ(client.SetUniqueSourceID("asked"), DString("asked"));
    EXPECT_EQ(client.GetSourceID(), DString("asked"));
}

// The answer's target, cut to the id field, is the unique id.
TEST_F(ClientTest, UniqueSourceIDIsTheBusServersAnswer) {
    peer.SetResponder([](LoopbackPeer& p, size_t connection, const PeerFrame& frame) {
        MessageHead answer = AnswerHead(frame.Head, HeadType::Reply);
        answer.SetTargetID("me_0123456789abcd");
        p.Send(FrameBuilder(answer).Build(), connection);
    });
    EXPECT_EQ(client.SetUniqueSourceID("me"), DString("me_0123456789abc"));
    EXPECT_EQ(client.GetSourceID(), DString("me_0123456789abc"));
    ASSERT_TRUE(peer.WaitForFrames(1));
    const MessageHead head = peer.Frames()[0].Head;
    EXPECT_EQ(head.Type, HeadType::UniqueSourceID);
    EXPECT_EQ(head.CallerID, client.Instance());
    EXPECT_EQ(std::string(head.SourceID, IdFieldSize), std::string("me").append(14, '\0'));
    EXPECT_EQ(std::string(head.TargetID, IdFieldSize), std::string("me").append(14, '\0'));
    for (const std::string& line : std::vector<std::string>{
             Tag() + "Enter SetUniqueSourceID, connecting to <127.0.0.1>",
             "Enter SetUniqueSourceID for <me>",
             "<-A-- [" + std::to_string(head.MessageID) + " : " +
                 std::to_string(client.Instance()) + "] Sending UniqueSourceID from <me>",
             "Leave PDU.SetUniqueSourceID, get <me_0123456789abc>",
             Tag() + "Leave SetUniqueSourceID, get <me_0123456789abc>"}) {
        EXPECT_TRUE(log.Has(line)) << line;
    }
}

// Other socket options are set at once, on a connection made for them if need be.
TEST_F(ClientTest, TcpNoDelayTakesEffectAtTheNextConnectionAndOtherOptionsAtOnce) {
    ASSERT_TRUE(client.IsOnline("you"));
    EXPECT_FALSE(client.SetTcpNoDelay(true));
    EXPECT_TRUE(client.SetTcpNoDelay(true));
    ASSERT_TRUE(client.IsOnline("you"));
    ASSERT_TRUE(peer.WaitForFrames(2));
    EXPECT_EQ(peer.Frames()[1].Head.Type, HeadType::Enquiry);

    client.Disconnect();
    EXPECT_TRUE(log.Has(Tag() + "Enter Client::Disconnect"));
    ASSERT_TRUE(client.IsOnline("you"));
    ASSERT_TRUE(peer.WaitForFrames(2, 1));
    const auto frames = peer.Frames(1);
    EXPECT_EQ(frames[0].Head.Type, HeadType::Setting);
    EXPECT_EQ(frames[0].Head.CallerID, client.Instance());
    EXPECT_EQ(frames[1].Head.Type, HeadType::Enquiry);
    client.Disconnect();
    EXPECT_EQ(client.SetSocketOption(SOL_SOCKET, SO_KEEPALIVE, "\1\0\0\0", 4), 0);
    EXPECT_EQ(client.SetSocketOption(SOL_SOCKET, -12345, "\1\0\0\0", 4), -1);
    const auto option = [&](int level, int name) {
        int value = 0;
        socklen_t length = sizeof value;
        getsockopt(client.Session().GetSocket().Handle(), level, name, &value, &length);
        return value;
    };
    EXPECT_NE(option(IPPROTO_TCP, TCP_NODELAY), 0);
    EXPECT_NE(option(SOL_SOCKET, SO_KEEPALIVE), 0);
}

TEST_F(ClientTest, BUSSettingSendsOneEscapedPairToTheBusServer) {
    EXPECT_TRUE(client.BUSSetting(6001, "k\"ey", "a\"b/c\\d\te\r\nf"));
    // Null texts are empty ones.
    EXPECT_TRUE(client.BUSSetting(6002, nullptr, nullptr));
    ASSERT_TRUE(peer.WaitForFrames(2));
    const auto frames = peer.Frames();
    EXPECT_EQ(frames[0].Head.Type, HeadType::Setting);
    EXPECT_EQ(frames[0].Head.Command, 6001);
    EXPECT_EQ(frames[0].Head.CallerID, client.Instance());
    EXPECT_EQ(frames[0].BodyText(),
              std::string("{\r\n  \"k\"ey\" : \"a\\\"b\\/c\\\\d\\te\\r\\nf\"\r\n}"));
    EXPECT_EQ(frames[1].BodyText(), std::string("{\r\n  \"\" : \"\"\r\n}"));
    EXPECT_TRUE(log.Has(Tag() + "Enter BUSSetting, <6001, k\"ey --> a\"b/c\\d\te\r\nf>"));
    EXPECT_TRUE(log.Has(Tag() + "Leave BUSSetting"));
}
