// A 1 GiB BLOB streamed in 1 MiB writes through a tessary-busd, with the daemon, the sender and
// the receiver each in a process of its own so that /proc gives each one's peak (VmHWM). The
// daemon and the sender pass the BLOB on chunk by chunk and must stay within a few MiB; the
// receiver gathers the chunks and joins them into one block, so it holds up to about twice the
// BLOB for a moment.
#include "tessary/client/MessageClient.h"
#include "testkit/BusClient.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/NatsServers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr long long GiB = 1ll << 30;
constexpr long long MiB = 1ll << 20;

using Report = std::map<std::string, std::string>;

// The "KEY value" lines a child wrote, once it wrote the line of key last (each line goes out
// in one write).
bool ReadUntil(ChildProcess& child, const std::string& last, Report& into,
               std::chrono::seconds timeout) {
    if (!child.WaitForOutput(last + " ", timeout)) {
        return false;
    }
    std::istringstream out(child.Stdout());
    for (std::string line; std::getline(out, line);) {
        const size_t space = line.find(' ');
        into[line.substr(0, space)] = line.substr(space + 1);
    }
    return true;
}

// How far a peer's peak rose above what it held before the transfer, in MiB.
double GrowthMiB(Report& report) {
    return static_cast<double>(std::atoll(report["HWM"].c_str()) -
                               std::atoll(report["BASE"].c_str())) / 1024;
}

// A tessary-busd with one bus server that relays 1 GiB frames and holds senders back at 2 MiB,
// plus extra arguments, and what it held once its ports were reported.
struct Daemon {
    explicit Daemon(std::vector<std::string> extra) {
        std::vector<std::string> argv = {
            TESSARY_BUSD_PATH, "--command-port", "0", "--status-port", "0", "--servers", "1",
            "--heart-rate", "60000", "--max-frame", std::to_string(2 * GiB), "--max-pending",
            std::to_string(2 * MiB), "--log-level", "warning"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        process = std::make_unique<ChildProcess>(argv);
        EXPECT_TRUE(ReadDaemonPorts(*process, commandPort, statusPort))
            << "tessary-busd did not report its ports";
        baseKB = StatusKB(process->Pid(), "VmRSS");
    }
    double GrowthMiB() const {
        return static_cast<double>(StatusKB(process->Pid(), "VmHWM") - baseKB) / 1024;
    }

    std::unique_ptr<ChildProcess> process;
    int commandPort = 0;
    int statusPort = 0;
    long baseKB = 0;
};

// Streams the BLOB from a sender on commandPort to a receiver on statusPort and fills in what
// each reported; when probePort is set, the sender starts once a client there sees the receiver.
void Transfer(int commandPort, int statusPort, int probePort, Report& sent, Report& received) {
    const std::string bytes = std::to_string(GiB);
    ChildProcess receiver({BLOB_MEMORY_PEER_PATH, "receive", std::to_string(statusPort), bytes},
                          true);
    ASSERT_TRUE(ReadUntil(receiver, "READY", received, std::chrono::seconds(10)))
        << "the receiver did not come on line";
    if (probePort != 0) {
        BusClient<ORVEX::Tessary::Controller::MessageClient> probe;
        probe.UseBus(probePort, 1);
        ASSERT_TRUE(Eventually([&] { return probe.IsOnline("memrx"); }, std::chrono::seconds(10)))
            << "the sender's node never learnt of the receiver";
    }
    ChildProcess sender(
        {BLOB_MEMORY_PEER_PATH, "send", std::to_string(commandPort), bytes, std::to_string(MiB)});
    ASSERT_TRUE(ReadUntil(sender, "HWM", sent, std::chrono::seconds(100)))
        << "the sender did not finish";
    receiver.CloseStdin();
    ASSERT_TRUE(ReadUntil(receiver, "HWM", received, std::chrono::seconds(100)))
        << "the receiver did not finish";
    EXPECT_EQ(sent["RESULT"], "ok");
    EXPECT_EQ(received["RESULT"], "ok");
    EXPECT_EQ(receiver.Wait(), 0);
    EXPECT_EQ(sender.Wait(), 0);
}

class BLOBMemoryTest : public ::testing::Test {
protected:
    void SetUp() override {
#ifdef TESSARY_SANITIZED
        GTEST_SKIP() << "a gigabyte under sanitizers";
#endif
    }
};

} // namespace

TEST_F(BLOBMemoryTest, OneGiBStreamedInMiBWritesArrivesWholeWithinBoundedMemory) {
    const Daemon daemon({});
    ASSERT_FALSE(HasFailure());
    Report sent;
    Report received;
    Transfer(daemon.commandPort, daemon.statusPort, 0, sent, received);
    ASSERT_FALSE(HasFatalFailure());
    std::printf("peak growth: daemon %.1f MiB, sender %.1f MiB, receiver %.1f MiB\n",
                daemon.GrowthMiB(), GrowthMiB(sent), GrowthMiB(received));
    EXPECT_LT(daemon.GrowthMiB(), 16);
    EXPECT_LT(GrowthMiB(sent), 16);
    EXPECT_GE(GrowthMiB(received), 1024);
    EXPECT_LT(GrowthMiB(received), 2048 + 256);
}

// The same BLOB from a sender on node A to a receiver on node B, the two daemons joined by a
// NATS server: each daemon passes it on chunk by chunk within its credit window.
TEST_F(BLOBMemoryTest, OneGiBAcrossTwoNodesKeepsBothDaemonsBounded) {
    if (NatsServers::Binary().empty()) {
        GTEST_SKIP() << "nats-server is not installed (scripts/setup installs it)";
    }
    NatsServers nats;
    ASSERT_TRUE(nats.Start(1));
    const Daemon nodeA({"--cluster", nats.Url(0), "--node", "mem-a"});
    const Daemon nodeB({"--cluster", nats.Url(0), "--node", "mem-b"});
    ASSERT_FALSE(HasFailure());
    Report sent;
    Report received;
    Transfer(nodeA.commandPort, nodeB.statusPort, nodeA.commandPort, sent, received);
    ASSERT_FALSE(HasFatalFailure());
    std::printf("peak growth: node A %.1f MiB, node B %.1f MiB\n", nodeA.GrowthMiB(),
                nodeB.GrowthMiB());
    EXPECT_LT(nodeA.GrowthMiB(), 64);
    EXPECT_LT(nodeB.GrowthMiB(), 64);
}
