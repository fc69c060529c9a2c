// A 1 GiB BLOB streamed in 1 MiB writes through a tessary-busd, with the daemon, the sender and
// the receiver each in a process of its own so that /proc gives each one's peak (VmHWM). The
// daemon and the sender pass the BLOB on chunk by chunk and must stay within a few MiB; the
// receiver gathers the chunks and joins them into one block, so it holds up to about twice the
// BLOB for a moment.
#include "tessary/client/MessageClient.h"
#include "tests/support/BusClient.h"
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

using Clock = std::chrono::steady_clock;

constexpr long long GiB = 1ll << 30;
constexpr long long MiB = 1ll << 20;

using Report = std::map<std::string, std::string>;

// The "KEY value" lines a child wrote, once the line of key last is complete.
[[maybe_unused]] bool ReadUntil(ChildProcess& child, const std::string& last, Report& into,
                               std::chrono::milliseconds bound) {
    return Eventually(
        [&] {
            std::istringstream out(child.Stdout());
            bool complete = false;
            for (std::string line; std::getline(out, line) && !out.eof();) {
                const size_t space = line.find(' ');
                const std::string key = line.substr(0, space);
                into[key] = space == std::string::npos ? "" : line.substr(space + 1);
                complete |= key == last;
            }
            return complete;
        },
        bound);
}

[[maybe_unused]] std::chrono::milliseconds Left(Clock::time_point deadline) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
}

[[maybe_unused]] long long KB(const std::map<std::string, std::string>& values, const char* key) {
    const auto found = values.find(key);
    return found == values.end() ? -1 : std::atoll(found->second.c_str());
}

// A tessary-busd with one bus server that relays 1 GiB frames and holds senders back at 2 MiB,
// plus extra arguments; null when it did not report its ports.
[[maybe_unused]] std::unique_ptr<ChildProcess> StartDaemon(std::vector<std::string> extra,
                                                           int& commandPort, int& statusPort) {
    std::vector<std::string> argv = {TESSARY_BUSD_PATH, "--command-port", "0", "--status-port",
                                     "0", "--servers", "1", "--heart-rate", "60000",
                                     "--max-frame", std::to_string(2 * GiB), "--max-pending",
                                     std::to_string(2 * MiB), "--log-level", "warning"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto daemon = std::make_unique<ChildProcess>(argv);
    const bool reported = ReadDaemonPorts(*daemon, commandPort, statusPort);
    return reported ? std::move(daemon) : nullptr;
}

// Streams the BLOB from a sender on commandPort to a receiver on statusPort and fills in what
// each reported; when probePort is set, the sender starts once a client there sees the receiver.
[[maybe_unused]] void Transfer(int commandPort, int statusPort, int probePort, Report& sent,
                               Report& received) {
    const auto deadline = Clock::now() + std::chrono::seconds(100);
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
    ASSERT_TRUE(ReadUntil(sender, "HWM", sent, Left(deadline))) << "the sender did not finish";
    receiver.CloseStdin();
    ASSERT_TRUE(ReadUntil(receiver, "HWM", received, Left(deadline)))
        << "the receiver did not finish";
    EXPECT_EQ(sent["RESULT"], "ok");
    EXPECT_EQ(received["RESULT"], "ok");
    EXPECT_EQ(receiver.Wait(), 0);
    EXPECT_EQ(sender.Wait(), 0);
}

} // namespace

TEST(BLOBMemoryTest, OneGiBStreamedInMiBWritesArrivesWholeWithinBoundedMemory) {
#ifdef TESSARY_SANITIZED
    GTEST_SKIP() << "a gigabyte under sanitizers";
#else
    int commandPort = 0;
    int statusPort = 0;
    const auto daemon = StartDaemon({}, commandPort, statusPort);
    ASSERT_TRUE(daemon) << "tessary-busd did not report its ports";
    const long daemonBase = StatusKB(daemon->Pid(), "VmRSS");
    Report sent;
    Report received;
    Transfer(commandPort, statusPort, 0, sent, received);
    ASSERT_FALSE(HasFatalFailure());
    const long daemonPeak = StatusKB(daemon->Pid(), "VmHWM");

    const long long daemonGrowth = (daemonPeak - daemonBase) * 1024ll;
    const long long senderGrowth = (KB(sent, "HWM") - KB(sent, "BASE")) * 1024ll;
    const long long receiverGrowth = (KB(received, "HWM") - KB(received, "BASE")) * 1024ll;
    std::printf("peak growth: daemon %.1f MiB, sender %.1f MiB, receiver %.1f MiB\n",
                static_cast<double>(daemonGrowth) / MiB, static_cast<double>(senderGrowth) / MiB,
                static_cast<double>(receiverGrowth) / MiB);
    RecordProperty("DaemonGrowthKiB", static_cast<int>(daemonGrowth / 1024));
    RecordProperty("SenderGrowthKiB", static_cast<int>(senderGrowth / 1024));
    RecordProperty("ReceiverGrowthKiB", static_cast<int>(receiverGrowth / 1024));
    EXPECT_LT(daemonGrowth, 16 * MiB);
    EXPECT_LT(senderGrowth, 16 * MiB);
    EXPECT_GE(receiverGrowth, GiB);
    EXPECT_LT(receiverGrowth, 2 * GiB + 256 * MiB);
#endif
}

// The same BLOB from a sender on node A to a receiver on node B, the two daemons joined by a
// NATS server: each daemon passes it on chunk by chunk within its credit window.
TEST(BLOBMemoryTest, OneGiBAcrossTwoNodesKeepsBothDaemonsBounded) {
#ifdef TESSARY_SANITIZED
    GTEST_SKIP() << "a gigabyte under sanitizers";
#else
    if (NatsServers::Binary().empty()) {
        GTEST_SKIP() << "nats-server is not installed (scripts/setup installs it)";
    }
    NatsServers nats;
    ASSERT_TRUE(nats.Start(1));
    int commandA = 0;
    int statusA = 0;
    int commandB = 0;
    int statusB = 0;
    const auto nodeA = StartDaemon({"--cluster", nats.Url(0), "--node", "mem-a"}, commandA, statusA);
    const auto nodeB = StartDaemon({"--cluster", nats.Url(0), "--node", "mem-b"}, commandB, statusB);
    ASSERT_TRUE(nodeA && nodeB) << "tessary-busd did not report its ports";
    const long baseA = StatusKB(nodeA->Pid(), "VmRSS");
    const long baseB = StatusKB(nodeB->Pid(), "VmRSS");
    Report sent;
    Report received;
    Transfer(commandA, statusB, commandA, sent, received);
    ASSERT_FALSE(HasFatalFailure());

    const long long growthA = (StatusKB(nodeA->Pid(), "VmHWM") - baseA) * 1024ll;
    const long long growthB = (StatusKB(nodeB->Pid(), "VmHWM") - baseB) * 1024ll;
    std::printf("peak growth: node A %.1f MiB, node B %.1f MiB\n",
                static_cast<double>(growthA) / MiB, static_cast<double>(growthB) / MiB);
    EXPECT_LT(growthA, 64 * MiB);
    EXPECT_LT(growthB, 64 * MiB);
#endif
}
