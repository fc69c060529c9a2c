#include "server/BusServer.h"
#include "tests/tools/ToolBus.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <ostream>
#include <string>
#include <vector>

namespace {

struct BenchCase {
    const char* Mode;
    int Count;
    int Clients;
    const char* Size;
    int64_t Bytes;
};

void PrintTo(const BenchCase& c, std::ostream* os) {
    *os << c.Mode << " x " << c.Clients;
}

// Runs the tool and answers its one JSON object, checked for the fields every mode reports.
nlohmann::json RunBench(const std::vector<std::string>& arguments, const BenchCase& c) {
    ToolProcess bench(arguments);
    EXPECT_EQ(bench.Wait(), 0) << bench.Stderr();
    const nlohmann::json result = nlohmann::json::parse(bench.Stdout(), nullptr, false);
    EXPECT_TRUE(result.is_object()) << bench.Stdout();
    if (!result.is_object()) {
        return result;
    }
    EXPECT_EQ(result.value("mode", ""), c.Mode);
    EXPECT_EQ(result.value("clients", 0), c.Clients);
    EXPECT_EQ(result.value("size", int64_t{0}), c.Bytes);
    EXPECT_EQ(result.value("count", 0), c.Count);
    EXPECT_EQ(result.value("errors", -1), 0);
    EXPECT_GT(result.value("seconds", 0.0), 0.0);
    EXPECT_GT(result.value("rate_per_s", 0.0), 0.0);
    EXPECT_GT(result.value("mb_per_s", 0.0), 0.0);
    const double p50 = result.value("p50_us", -1.0);
    const double p90 = result.value("p90_us", -1.0);
    const double p99 = result.value("p99_us", -1.0);
    const double max = result.value("max_us", -1.0);
    EXPECT_GT(p50, 0.0);
    EXPECT_LE(p50, p90);
    EXPECT_LE(p90, p99);
    EXPECT_LE(p99, max);
    return result;
}

std::vector<std::string> Arguments(const BenchCase& c) {
    return {"bench",     "--mode", c.Mode, "--count", std::to_string(c.Count), "--clients",
            std::to_string(c.Clients), "--size", c.Size, "--json"};
}

class BenchModeTest : public ::testing::TestWithParam<BenchCase> {};

// The embedded bus: the tool starts its own on free ports.
TEST_P(BenchModeTest, CountedRunReportsEveryOperation) {
    std::vector<std::string> arguments = Arguments(GetParam());
    arguments.insert(arguments.end(), {"--servers", "2"});
    const nlohmann::json result = RunBench(arguments, GetParam());
    EXPECT_EQ(result.value("bus", ""), "embedded");
}

INSTANTIATE_TEST_SUITE_P(Modes, BenchModeTest,
                         ::testing::Values(BenchCase{"send", 200, 2, "16", 16},
                                           BenchCase{"post", 500, 2, "1k", 1024},
                                           BenchCase{"blob", 20, 2, "64K", 64 << 10}),
                         [](const ::testing::TestParamInfo<BenchCase>& test) {
                             return std::string(test.param.Mode);
                         });

TEST(BenchTest, UsesAnExistingBusWhenPortsAreGiven) {
    const auto bus = StartBus(BusOptions(1));
    ASSERT_TRUE(bus);
    busd::BusServer& server = *bus;
    const BenchCase c{"send", 50, 1, "100", 100};
    std::vector<std::string> arguments = Arguments(c);
    arguments.insert(arguments.end(),
                     {"--command-port", std::to_string(server.CommandPort()), "--status-port",
                      std::to_string(server.StatusPort()), "--servers", "1"});
    const nlohmann::json result = RunBench(arguments, c);
    EXPECT_EQ(result.value("bus", ""), "external");
    // The bus saw the run: the receiver and the sender registered, the messages went through.
    EXPECT_GE(server.Stats().FramesInByType["Message"], 50u);
}

TEST(BenchTest, RefusesSizesItCannotSend) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"bench", "--size", "1.5M"},
          std::vector<std::string>{"bench", "--size", "2G"},
          std::vector<std::string>{"bench", "--mode", "blob", "--size", "0"},
          std::vector<std::string>{"bench", "--mode", "stream"},
          std::vector<std::string>{"bench", "--clients", "0"}}) {
        ToolProcess bench(arguments);
        EXPECT_EQ(bench.Wait(), 2) << arguments[arguments.size() - 1];
    }
    ToolProcess help({"bench", "--help"});
    EXPECT_EQ(help.Wait(), 0);
    EXPECT_NE(help.Stdout().find("--external"), std::string::npos);
}

} // namespace
