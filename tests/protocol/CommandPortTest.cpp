#include "tessary/external/internal/LogCapture.h"
#include "tessary/protocol/internal/BUSNetPDUProxy.h"
#include "tests/protocol/SessionFixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Registered first in this executable, so the process-wide port counter is still untouched.
TEST(CommandPortFirst, SuccessiveConnectionsTakeThePortsInTurnUnlessThereIsOnlyOne) {
    ORVEX::Log::LogCapture log;
    auto peers = LoopbackPeer::OpenSeries(3, 2);
    ASSERT_EQ(PortCounter(), 0u);
    BUSNetPDUProxy proxy(new BUSSendPDU());
    std::vector<std::string> expected;
    for (const int turn : {1, 2, 0, 1}) {
        EXPECT_TRUE(proxy.Connect(LoopbackPeer::Host, peers[0]->Port(), 3));
        expected.push_back("Enter BUSNetPDUProxy::Connect, NbOfPort : 3, will connect to "
                           "<127.0.0.1 : " + std::to_string(peers[turn]->Port()) + "> ");
    }
    std::vector<std::string> connects;
    for (const std::string& text : log.Texts()) {
        if (text.rfind("Enter BUSNetPDUProxy::Connect", 0) == 0) {
            connects.push_back(text);
        }
    }
    EXPECT_EQ(connects, expected);
    EXPECT_EQ(PortCounter(), 4u);
    // One port or none leaves the counter alone.
    EXPECT_TRUE(proxy.Connect(LoopbackPeer::Host, peers[0]->Port(), 1));
    EXPECT_TRUE(proxy.Connect(LoopbackPeer::Host, peers[0]->Port(), 0));
    EXPECT_EQ(PortCounter(), 4u);
}

TEST(CommandPortTest, OffsetFollowsTheCounterModulo256KeptInEightBits) {
    for (int i = 0; i < 300; ++i) {
        const uint32_t k = (PortCounter() + 1) % 256;
        const int expected = 10000 + static_cast<uint8_t>(2 * (k % 200));
        ASSERT_EQ(ChooseCommandPort(10000, 200), expected) << "k = " << k;
    }
}

// Each attempt logs the socket's warning and error and raises its error.
TEST(CommandPortTest, RefusedConnectsAreTriedFourTimesEachRaisingTheSocketError) {
    ORVEX::Log::LogCapture log;
    std::vector<SeenError> errors;
    const uint16_t closed = LoopbackPeer::ClosedPort();
    const std::string port = std::to_string(closed);
    BUSNetPDUProxy proxy(new BUSSendPDU());
    Collect(proxy.PDU->PDUError, errors);
    EXPECT_FALSE(proxy.Connect(LoopbackPeer::Host, closed, 1));
    EXPECT_EQ(log.Count("Connecting to <127.0.0.1 : " + port + ">"), 4);
    EXPECT_EQ(log.Count("Cannot make TCP/IP connection, IP = 127.0.0.1, Port = " + port), 4);
    EXPECT_EQ(log.Count("Invoke Socket.connect failed, 10061 -- Connection Refused (强行拒绝连接)"), 4);
    ASSERT_EQ(errors.size(), 4u);
    EXPECT_EQ(errors[3].Code, -1);
    EXPECT_EQ(errors[3].SysCode, 10061);
    EXPECT_EQ(errors[3].Text, "Connection Refused");
    EXPECT_EQ(errors[3].Origin, "Socket");
}
