// The tessary-busd program itself: started as a child process on free ports.

#include "tests/support/ChildProcess.h"
#include "tests/support/Files.h"
#include "testkit/RawClient.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <signal.h>

#include <regex>
#include <string>
#include <vector>

namespace {

// The first number text has after prefix, 0 when it has none.
int NumberAfter(const std::string& text, const std::string& prefix) {
    std::smatch match;
    return std::regex_search(text, match, std::regex(prefix + "(\\d+)")) ? std::stoi(match[1]) : 0;
}

} // namespace

TEST(DaemonTest, StopsCleanlyOnSigtermAndLogsItsCounters) {
    const ScratchDir dir;
    ChildProcess daemon({TESSARY_BUSD_PATH, "--servers", "2", "--command-port", "0",
                         "--status-port", "0", "--log-file", dir.File("busd.log")});
    int commandPort = 0;
    int statusPort = 0;
    ASSERT_TRUE(ReadDaemonPorts(daemon, commandPort, statusPort)) << daemon.Stdout();

    // A receiver on bus server 1, reached by the ports' arithmetic.
    RawClient receiver(statusPort + 2);
    ASSERT_TRUE(receiver.Listen("last"));
    daemon.Signal(SIGTERM);
    EXPECT_EQ(daemon.Wait(Bound), 0);
    EXPECT_TRUE(receiver.WaitClosed());
    const std::string log = ReadBytes(dir.File("busd.log"));
    EXPECT_NE(log.find("busd: Terminated received, stopping"), std::string::npos) << log;
}

TEST(DaemonTest, HealthFailsWhileABusServerCannotAcceptAndRecovers) {
#ifdef TESSARY_SANITIZED
    // A sanitized daemon's runtime needs descriptors of its own to check a virtual call's
    // object; starved of them it reports a false fault and ends the daemon.
    GTEST_SKIP() << "needs a daemon whose runtime can run out of descriptors";
#endif
    const ScratchDir dir;
    const std::string config = dir.File("busd.conf");
    WriteBytes(config, "; as a unit's file would say it\nservers = 2\ncommand-port = 0\n"
                       "status-port = 0\nmetrics = 127.0.0.1:0\nlog-level = info\n");
    // Few descriptors, so that a burst of connections exhausts them.
    ChildProcess daemon({"/bin/sh", "-c", "ulimit -n 64 && exec \"$0\" --config \"$1\"",
                         TESSARY_BUSD_PATH, config});
    ASSERT_TRUE(daemon.WaitForOutput("/metrics\n")) << daemon.Stdout() << daemon.Stderr();
    const std::string out = daemon.Stdout();
    const int commandPort = NumberAfter(out, "command port ");
    httplib::Client http("127.0.0.1", NumberAfter(out, "metrics on http://127.0.0.1:"));
    // The health checks go over one connection opened before the descriptors run out.
    http.set_keep_alive(true);
    const auto healthy = http.Get("/healthz");
    ASSERT_TRUE(healthy) << out;
    EXPECT_EQ(healthy->status, 200);

    std::vector<RawClient> burst;
    for (int i = 0; i < 100; ++i) {
        burst.emplace_back(commandPort);
    }
    const std::string failed = "busd: accept failed on command port";
    ASSERT_TRUE(Eventually([&] { return daemon.Stderr().find(failed) != std::string::npos; },
                           std::chrono::seconds(10)))
        << daemon.Stderr();
    const auto down = http.Get("/healthz");
    ASSERT_TRUE(down) << httplib::to_string(down.error());
    EXPECT_EQ(down->status, 503);
    EXPECT_EQ(down->body.rfind("bus server 0 not listening (command port " +
                                   std::to_string(commandPort),
                               0),
              0u)
        << down->body;

    burst.clear();
    EXPECT_TRUE(Eventually(
        [&] {
            const auto again = http.Get("/healthz");
            return again && again->status == 200;
        },
        std::chrono::seconds(10)));
    // The line may reach the pipe a moment after the health check sees the port again.
    EXPECT_TRUE(Eventually([&] {
        return daemon.Stderr().find("busd: accepting again on command port") != std::string::npos;
    })) << daemon.Stderr();
    daemon.Signal(SIGTERM);
    EXPECT_EQ(daemon.Wait(Bound), 0);
}
