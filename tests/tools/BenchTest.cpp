#include "tests/tools/ToolBus.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace {

// Each mode through the bus the tool embeds, and a send through the test's bus; each run prints
// one JSON object with every operation counted and its latencies in order.
TEST_F(ToolTest, BenchCountsAndReportsEveryOperation) {
    struct Case {
        const char* Mode;
        int Count;
        int Clients;
        const char* Size;
        int64_t Bytes;
        const char* Bus;
    };
    for (const Case& c : {Case{"send", 200, 2, "16", 16, "embedded"},
                          Case{"post", 500, 2, "1k", 1024, "embedded"},
                          Case{"blob", 20, 2, "64K", 64 << 10, "embedded"},
                          Case{"stream", 4, 1, "3M", 3 << 20, "embedded"},
                          Case{"send", 50, 1, "100", 100, "external"}}) {
        SCOPED_TRACE(std::string(c.Mode) + " on the " + c.Bus + " bus");
        std::vector<std::string> arguments = {
            "bench", "--mode", c.Mode, "--count", std::to_string(c.Count), "--clients",
            std::to_string(c.Clients), "--size", c.Size, "--json"};
        if (std::string(c.Bus) == "external") {
            arguments = With(arguments);
        } else {
            arguments.insert(arguments.end(), {"--servers", "2"});
        }
        ToolProcess bench(arguments);
        EXPECT_EQ(bench.Wait(), 0) << bench.Stderr();
        const auto result = nlohmann::json::parse(bench.Stdout(), nullptr, false);
        ASSERT_TRUE(result.is_object()) << bench.Stdout();
        EXPECT_EQ(result.value("bus", ""), c.Bus);
        EXPECT_EQ(result.value("mode", ""), c.Mode);
        EXPECT_EQ(result.value("clients", 0), c.Clients);
        EXPECT_EQ(result.value("size", int64_t{0}), c.Bytes);
        EXPECT_EQ(result.value("count", 0), c.Count);
        EXPECT_EQ(result.value("errors", -1), 0);
        for (const char* positive : {"seconds", "rate_per_s", "mb_per_s", "p50_us"}) {
            EXPECT_GT(result.value(positive, 0.0), 0.0) << positive;
        }
        EXPECT_LE(result.value("p50_us", 0.0), result.value("p90_us", 0.0));
        EXPECT_LE(result.value("p90_us", 0.0), result.value("p99_us", 0.0));
        EXPECT_LE(result.value("p99_us", 0.0), result.value("max_us", 0.0));
    }
    // The test's bus saw its run go through.
    EXPECT_GE(m_Bus->Stats().FramesInByType["Message"], 50u);
}

} // namespace
