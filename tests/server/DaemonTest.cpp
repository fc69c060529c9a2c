// The tessary-busd program itself: started as a child process on free ports.

#include "tests/support/ChildProcess.h"
#include "tests/support/RawClient.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

using namespace rawframes;

TEST(DaemonTest, StopsCleanlyOnSigtermAndLogsItsCounters) {
    char dir[] = "/tmp/busd-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string logFile = std::string(dir) + "/busd.log";
    ChildProcess daemon({TESSARY_BUSD_PATH, "--servers", "2", "--command-port", "0",
                         "--status-port", "0", "--log-file", logFile});
    // The first line names bus server 0's ports.
    const std::regex ports("command port (\\d+), status port (\\d+)");
    std::smatch match;
    std::string out;
    ASSERT_TRUE(Eventually([&] {
        out = daemon.Stdout();
        return std::regex_search(out, match, ports);
    })) << out;
    const int commandPort = std::stoi(match[1]);
    const int statusPort = std::stoi(match[2]);

    RawClient receiver(statusPort + 2);
    ASSERT_TRUE(receiver.Listen("last"));
    RawClient client(commandPort + 2);
    ASSERT_TRUE(client.Send(Encode(Head(HeadType::Enquiry, "c", "last"))));
    ASSERT_TRUE(client.Read());
    daemon.Signal(SIGTERM);
    EXPECT_EQ(daemon.Wait(Bound), 0);
    EXPECT_TRUE(receiver.WaitClosed());
    std::stringstream log;
    log << std::ifstream(logFile).rdbuf();
    EXPECT_NE(log.str().find("busd: Terminated received, stopping"), std::string::npos)
        << log.str();
    EXPECT_NE(log.str().find("busd: connections 0 open, 2 accepted, 1 registrations"),
              std::string::npos)
        << log.str();
    std::remove(logFile.c_str());
    rmdir(dir);
}
