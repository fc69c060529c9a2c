// A 1 GiB BLOB streamed in 1 MiB writes through a tessary-busd, with the daemon, the sender and
// the receiver each in a process of its own so that /proc gives each one's peak (VmHWM). The
// daemon and the sender pass the BLOB on chunk by chunk and must stay within a few MiB; the
// receiver gathers the chunks and joins them into one block, so it holds up to about twice the
// BLOB for a moment.
#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr long long GiB = 1ll << 30;
constexpr long long MiB = 1ll << 20;

// The "KEY value" lines a child wrote, once the line of key last is complete.
[[maybe_unused]] bool ReadUntil(ChildProcess& child, const std::string& last,
               std::map<std::string, std::string>& into, std::chrono::milliseconds bound) {
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

} // namespace

TEST(BLOBMemoryTest, OneGiBStreamedInMiBWritesArrivesWholeWithinBoundedMemory) {
#ifdef TESSARY_SANITIZED
    GTEST_SKIP() << "a gigabyte under sanitizers";
#else
    const auto deadline = Clock::now() + std::chrono::seconds(100);
    ChildProcess daemon({TESSARY_BUSD_PATH, "--command-port", "0", "--status-port", "0",
                         "--servers", "1", "--heart-rate", "60000", "--max-frame",
                         std::to_string(2 * GiB), "--max-pending", std::to_string(2 * MiB),
                         "--log-level", "warning"});
    int commandPort = 0;
    int statusPort = 0;
    // "tessary-busd: bus server 0 on <address>, command port <n>, status port <n>"
    ASSERT_TRUE(Eventually(
        [&] {
            const std::string out = daemon.Stdout();
            const size_t at = out.find("command port ");
            return at != std::string::npos &&
                   std::sscanf(out.c_str() + at, "command port %d, status port %d",
                               &commandPort, &statusPort) == 2;
        },
        std::chrono::seconds(5)))
        << "tessary-busd did not report its ports";
    const long daemonBase = StatusKB(daemon.Pid(), "VmRSS");

    const std::string bytes = std::to_string(GiB);
    ChildProcess receiver({BLOB_MEMORY_PEER_PATH, "receive", std::to_string(statusPort), bytes},
                          true);
    std::map<std::string, std::string> received;
    ASSERT_TRUE(ReadUntil(receiver, "READY", received, std::chrono::seconds(10)))
        << "the receiver did not come on line";

    ChildProcess sender(
        {BLOB_MEMORY_PEER_PATH, "send", std::to_string(commandPort), bytes, std::to_string(MiB)});
    std::map<std::string, std::string> sent;
    ASSERT_TRUE(ReadUntil(sender, "HWM", sent, Left(deadline))) << "the sender did not finish";
    receiver.CloseStdin();
    ASSERT_TRUE(ReadUntil(receiver, "HWM", received, Left(deadline)))
        << "the receiver did not finish";
    const long daemonPeak = StatusKB(daemon.Pid(), "VmHWM");

    EXPECT_EQ(sent["RESULT"], "ok");
    EXPECT_EQ(received["RESULT"], "ok");

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

    daemon.Signal(SIGTERM);
    daemon.Wait();
    EXPECT_EQ(receiver.Wait(), 0);
    EXPECT_EQ(sender.Wait(), 0);
#endif
}
