#include "server/metrics/MetricsEndpoint.h"
#include "testkit/RawClient.h"
#include "tests/tools/ToolBus.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <string>
#include <thread>

using namespace rawframes;

namespace {

TEST_F(ToolTest, StatsShowsARunningBusFiguresRatesAndConnections) {
    busd::MetricsEndpoint endpoint(*m_Bus);
    std::string error;
    ASSERT_TRUE(endpoint.Start("127.0.0.1", 0, error)) << error;
    const std::string url = "http://127.0.0.1:" + std::to_string(endpoint.Port());
    RawClient receiver(m_Bus->StatusPort(1));
    ASSERT_TRUE(receiver.Listen("stats-rx"));

    // Posts flow through bus server 1 while the tool samples.
    std::atomic<bool> stop{false};
    std::thread traffic([&] {
        RawClient sender(m_Bus->CommandPort(1));
        const std::string post = Encode(Head(HeadType::Message, "tx", "stats-rx", 7), "hi");
        while (!stop && sender.Send(post) && sender.Read()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::thread drain([&] {
        while (!stop) {
            receiver.Read(std::chrono::milliseconds(50));
        }
    });
    ToolProcess json({"stats", "--metrics", url, "--json"});
    const int status = json.Wait();
    stop = true;
    traffic.join();
    drain.join();
    ASSERT_EQ(status, 0) << json.Stderr();
    const auto report = nlohmann::json::parse(json.Stdout());
    ASSERT_EQ(report.at("servers").size(), size_t{BusCount}) << json.Stdout();
    const auto& idle = report["servers"][0];
    const auto& busy = report["servers"][1];
    EXPECT_EQ(busy.at("registrations_total"), 1);
    EXPECT_GT(busy.at("frames_in_total"), 1);
    EXPECT_GT(busy.at("rates").at("frames_in_per_second"), 0);
    EXPECT_EQ(idle.at("rates").at("frames_in_per_second"), 0);
    EXPECT_EQ(report.at("connections").size(), 2u);

    ToolProcess table({"stats", "--metrics", url});
    ASSERT_EQ(table.Wait(), 0) << table.Stderr();
    EXPECT_NE(table.Stdout().find("stats-rx"), std::string::npos) << table.Stdout();
    EXPECT_NE(table.Stdout().find(receiver.PeerName()), std::string::npos) << table.Stdout();

    ToolProcess down({"stats", "--metrics", "http://127.0.0.1:" +
                                                std::to_string(LoopbackPeer::ClosedPort())});
    EXPECT_EQ(down.Wait(), 1);
    EXPECT_NE(down.Stderr().find("tessary stats: http://127.0.0.1:"), std::string::npos);
}

} // namespace
