// The metrics endpoint scraped over HTTP while an in-process bus relays traffic.

#include "server/metrics/MetricsEndpoint.h"

#include "server/metrics/MetricsText.h"
#include "tests/support/EmbeddedBus.h"
#include "testkit/RawClient.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

using namespace rawframes;

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

TEST(MetricsEndpointTest, CountersMatchTheTrafficSentWhileItIsScraped) {
    auto bus = StartBus(BusOptions(2));
    ASSERT_TRUE(bus);
    busd::MetricsEndpoint endpoint(*bus);
    std::string error;
    ASSERT_TRUE(endpoint.Start("127.0.0.1", 0, error)) << error;
    httplib::Client http("127.0.0.1", endpoint.Port());

    // Traffic on bus server 1 only: a receiver, and a sender posting to it.
    RawClient receiver(bus->StatusPort(1));
    ASSERT_TRUE(receiver.Listen("rx"));
    constexpr int Posts = 300;
    const std::string post = Encode(Head(HeadType::Message, "tx", "rx", 7), "hello");
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        RawClient client(bus->CommandPort(1));
        for (int i = 0; i < Posts; ++i) {
            ASSERT_TRUE(client.Send(post));
            ASSERT_EQ(client.Read()->head.Type, HeadType::Reply);
        }
        // The connection stays open until the test has listed it.
        sent = true;
        ASSERT_TRUE(Eventually([&] { return !sent; }, std::chrono::seconds(30)));
    });
    const std::string messagesIn = R"(tessary_frames_in_total{type="Message",server="1"})";
    double seen = 0;
    do {
        const auto scrape = http.Get("/metrics");
        ASSERT_TRUE(scrape && scrape->status == 200);
        const double now = Value(scrape->body, messagesIn);
        EXPECT_GE(now, seen) << "a counter went back";
        EXPECT_LE(now, Posts);
        seen = now;
    } while (!sent);
    for (int i = 0; i < Posts; ++i) {
        ASSERT_TRUE(receiver.Read()) << i;
    }

    const auto connz = http.Get("/connz");
    const auto metrics = http.Get("/metrics");
    sent = false;
    sender.join();
    ASSERT_TRUE(connz && metrics);
    const std::string& text = metrics->body;
    EXPECT_EQ(metrics->get_header_value("Content-Type"), busd::MetricsContentType);
    EXPECT_EQ(Value(text, messagesIn), Posts);
    // The posts and the bus server's on-line message to the receiver.
    EXPECT_EQ(Value(text, R"(tessary_frames_out_total{type="Message",server="1"})"), Posts + 1);
    EXPECT_EQ(Value(text, R"(tessary_frames_out_total{type="Reply",server="1"})"), Posts);
    EXPECT_EQ(Value(text, R"(tessary_frames_in_total{type="Message",server="0"})"), 0);
    EXPECT_EQ(Value(text, R"(tessary_registrations_total{server="1"})"), 1);
    EXPECT_EQ(Value(text, R"(tessary_connections_open{server="1"})"), 2);
    EXPECT_EQ(Value(text, R"(tessary_bytes_in_total{server="1"})"),
              sizeof(MessageHead) + Posts * post.size());
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
            EXPECT_EQ(c.at("registered_id"), "rx");
            EXPECT_EQ(c.at("peer"), receiver.PeerName());
        } else {
            EXPECT_EQ(c.at("bytes_in"), Posts * post.size());
        }
    }

    const auto health = http.Get("/healthz");
    ASSERT_TRUE(health);
    EXPECT_EQ(health->status, 200);
    endpoint.Stop();
    bus->Stop();
}

} // namespace
