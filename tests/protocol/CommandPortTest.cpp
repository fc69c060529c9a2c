#include "tessary/external/internal/LogCapture.h"
#include "tessary/protocol/internal/BUSNetPDUProxy.h"
#include "tests/protocol/SessionFixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// Which peer of the series took each of count connections made through one proxy.
std::vector<int> ConnectAndSee(std::vector<std::unique_ptr<LoopbackPeer>>& peers, int count) {
    std::vector<int> seen;
    BUSNetPDUProxy proxy(new BUSSendPDU());
    std::vector<size_t> before;
    for (const auto& peer : peers) {
        before.push_back(peer->ConnectionCount());
    }
    for (int i = 0; i < count; ++i) {
        EXPECT_TRUE(proxy.Connect(LoopbackPeer::Host, peers[0]->Port(), 3));
        // The peers accept on their own threads; wait (bounded) until one of them has.
        int which = -1;
        Eventually([&] {
            for (size_t p = 0; p < peers.size() && which < 0; ++p) {
                if (peers[p]->ConnectionCount() > before[p]) {
                    which = static_cast<int>(p);
                    ++before[p];
                }
            }
            return which >= 0;
        });
        seen.push_back(which);
    }
    return seen;
}

} // namespace

// Registered first in this executable, so the process-wide port counter is still untouched.
TEST(CommandPortFirst, SuccessiveConnectionsTakeThePortsInTurnUnlessThereIsOnlyOne) {
    ORVEX::Log::LogCapture log;
    auto peers = LoopbackPeer::OpenSeries(3, 2);
    ASSERT_EQ(PortCounter(), 0u);
    EXPECT_EQ(ConnectAndSee(peers, 4), (std::vector<int>{1, 2, 0, 1}));
    EXPECT_EQ(PortCounter(), 4u);
    EXPECT_EQ(log.Count("Enter BUSNetPDUProxy::Connect, NbOfPort : 3, will connect to <127.0.0.1 : " +
                        std::to_string(peers[0]->Port() + 2) + "> "),
              2);
    // One port or none leaves the counter alone.
    BUSNetPDUProxy proxy(new BUSSendPDU());
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

TEST(CommandPortTest, RefusedConnectsAreTriedFourTimesEachRaisingTheSocketError) {
    ORVEX::Log::LogCapture log;
    std::vector<SeenError> errors;
    const uint16_t port = LoopbackPeer::ClosedPort();
    BUSNetPDUProxy proxy(new BUSSendPDU());
    Collect(proxy.PDU->PDUError, errors);
    EXPECT_FALSE(proxy.Connect(LoopbackPeer::Host, port, 1));
    EXPECT_EQ(log.Count("Connecting to <127.0.0.1 : " + std::to_string(port) + ">"), 4);
    ASSERT_EQ(errors.size(), 4u);
    for (const auto& error : errors) {
        EXPECT_EQ(error.Code, -1);
        EXPECT_EQ(error.SysCode, 10061);
        EXPECT_EQ(error.Text, "Connection Refused");
        EXPECT_EQ(error.Origin, "Socket");
    }
}
