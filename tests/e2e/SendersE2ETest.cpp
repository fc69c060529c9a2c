#include "tessary/client/MessageClient.h"
#include "tessary/external/LogCapture.h"
#include "tests/support/BusClient.h"
#include "tests/support/EmbeddedBus.h"
#include "tests/support/Eventually.h"
#include "tests/support/RawFrameReceiver.h"
#include "tests/support/SeenErrors.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using ORVEX::Tessary::Controller::MessageClient;

namespace {

constexpr int BusCount = 2;

} // namespace

// Two bus servers in this process on free ports, a receiver "rx" registered on both as a
// receiver library would be, and a client spreading its connections over both.
class SendersE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        server = StartBus(BusOptions(BusCount));
        ASSERT_TRUE(server);
        for (int k = 0; k < BusCount; ++k) {
            receivers.push_back(std::make_unique<RawFrameReceiver>("rx", server->StatusPort(k)));
            ASSERT_TRUE(receivers.back()->Start()) << "registration on bus server " << k;
        }
        client.UseBus(server->CommandPort(), BusCount);
        client.SetSourceID("tx");
        Collect(client.BusError, busErrors);
        Collect(client.AckError, ackErrors);
    }
    void TearDown() override {
        receivers.clear();
        if (server) {
            server->Stop();
        }
    }

    std::vector<RawFrameReceiver::Frame> Received() const {
        std::vector<RawFrameReceiver::Frame> all;
        for (const auto& receiver : receivers) {
            auto some = receiver->Messages();
            all.insert(all.end(), some.begin(), some.end());
        }
        return all;
    }
    bool WaitForReceived(size_t count) const {
        return Eventually([&] { return Received().size() >= count; });
    }
    void ForEachReceiver(const std::function<void(RawFrameReceiver&)>& change) {
        for (auto& receiver : receivers) {
            change(*receiver);
        }
    }

    std::vector<SeenError> busErrors;
    std::vector<SeenError> ackErrors;
    std::unique_ptr<busd::BusServer> server;
    std::vector<std::unique_ptr<RawFrameReceiver>> receivers;
    BusClient<MessageClient> client;
};

TEST_F(SendersE2ETest, ASendWaitingForItsAckFailsWhenTheBusServerGoesAway) {
    ForEachReceiver([](RawFrameReceiver& r) { r.SetSilent(true); });
    auto send = std::async(std::launch::async, [this] {
        DString reply;
        const auto start = std::chrono::steady_clock::now();
        const bool result = client.Send("rx", 7008, DString("q"), reply, 30000);
        return std::make_pair(result, std::chrono::steady_clock::now() - start);
    });
    ASSERT_TRUE(WaitForReceived(1));
    server->Stop();
    ASSERT_EQ(send.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const auto [result, elapsed] = send.get();
    EXPECT_FALSE(result);
    EXPECT_LT(elapsed, std::chrono::seconds(10));
    ASSERT_FALSE(busErrors.empty());
    EXPECT_EQ(busErrors.back().Code, -1);
    ASSERT_EQ(ackErrors.size(), 1u);
    EXPECT_EQ(ackErrors[0].Code, 0);
}
