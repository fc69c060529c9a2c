// The bus's metrics endpoint, scraped over HTTP and through `tessary stats`, while posts flow
// through bus server 1 to a receiver there.
#include "server/metrics/MetricsEndpoint.h"
#include "server/metrics/MetricsText.h"
#include "testkit/RawClient.h"
#include "tests/tools/ToolBus.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <string>
#include <thread>

namespace {

// The value of one series in a scrape, -1 when the scrape lacks it.
double Value(const std::string& text, const std::string& series) {
    const std::string start = series + " ";
    for (size_t at = text.find(start); at != std::string::npos; at = text.find(start, at + 1)) {
        if (at == 0 || text[at - 1] == '\n') {
            return std::stod(text.substr(at + start.size()));
        }
    }
    return -1;
}

TEST_F(ToolTest, MetricsAndStatsFollowTheTrafficWhileItFlows) {
    busd::MetricsEndpoint endpoint(*m_Bus);
    std::string error;
    ASSERT_TRUE(endpoint.Start("127.0.0.1", 0, error)) << error;
    const std::string url = "http://127.0.0.1:" + std::to_string(endpoint.Port());
    httplib::Client http("127.0.0.1", endpoint.Port());
    RawClient receiver(m_Bus->StatusPort(1));
    ASSERT_TRUE(receiver.Listen("stats-rx"));
    // The sender's connection stays open until the scrape has listed it.
    RawClient sender(m_Bus->CommandPort(1));
    const Bytes post =
        FrameBuilder(Head(HeadType::Message, "tx", "stats-rx", 7)).Body("hi").Build();
    std::atomic<bool> stop{false};
    std::atomic<int> posts{0};
    std::thread traffic([&] {
        while (!stop && sender.Send(post) && sender.Read()) {
            ++posts;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    // Reads on until the traffic has stopped and nothing more comes.
    std::thread drain([&] {
        while (receiver.Read(std::chrono::milliseconds(200)) || !stop) {
        }
    });
    // The tool scrapes twice while the traffic flows, for its rates.
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
    EXPECT_GT(busy.at("rates").at("frames_in_per_second"), 0);
    EXPECT_EQ(idle.at("rates").at("frames_in_per_second"), 0);
    EXPECT_EQ(report.at("connections").size(), 2u);

    const auto metrics = http.Get("/metrics");
    const auto connz = http.Get("/connz");
    ASSERT_TRUE(connz && metrics && metrics->status == 200);
    const std::string& text = metrics->body;
    const size_t sent = static_cast<size_t>(posts.load());
    EXPECT_EQ(metrics->get_header_value("Content-Type"), busd::MetricsContentType);
    EXPECT_EQ(Value(text, R"(tessary_frames_in_total{type="Message",server="1"})"), sent);
    // The posts and the bus server's on-line message to the receiver.
    EXPECT_EQ(Value(text, R"(tessary_frames_out_total{type="Message",server="1"})"), sent + 1);
    EXPECT_EQ(Value(text, R"(tessary_frames_out_total{type="Reply",server="1"})"), sent);
    EXPECT_EQ(Value(text, R"(tessary_frames_in_total{type="Message",server="0"})"), 0);
    EXPECT_EQ(Value(text, R"(tessary_connections_open{server="1"})"), 2);
    EXPECT_EQ(Value(text, R"(tessary_bytes_in_total{server="1"})"),
              sizeof(MessageHead) + sent * post.size());
    EXPECT_EQ(Value(text, R"(tessary_queued_bytes{server="1"})"), 0);
    EXPECT_GE(Value(text, R"(tessary_queued_bytes_high_water{server="1"})"), post.size());
    EXPECT_EQ(Value(text, R"(tessary_listening{server="0"})"), 1);
    EXPECT_NE(text.find("# TYPE tessary_frames_in_total counter\n"), std::string::npos);
    // The sender's connection and the receiver's, each with what it moved.
    const auto list = nlohmann::json::parse(connz->body).at("connections");
    ASSERT_EQ(list.size(), 2u) << connz->body;
    for (const auto& c : list) {
        EXPECT_EQ(c.at("server"), 1);
        if (c.at("kind") == "status") {
            EXPECT_EQ(c.at("registered_id"), "stats-rx");
        } else {
            EXPECT_EQ(c.at("bytes_in"), sent * post.size());
        }
    }

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
