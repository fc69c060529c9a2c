// A 1 GiB BLOB streamed in 1 MiB writes through a tessary-busd, with the daemon, the sender and
// the receiver each in a process of its own so that /proc gives each one's peak (VmHWM). The
// daemon and the sender pass the BLOB on chunk by chunk and must stay within a few MiB; the
// receiver gathers the chunks and joins them into one block, so it holds up to about twice the
// BLOB for a moment.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr long long GiB = 1ll << 30;
constexpr long long MiB = 1ll << 20;

// A child program with its stdout (and optionally its stdin) on pipes to this process.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, bool pipeStdin) {
        int out[2];
        int in[2] = {-1, -1};
        if (pipe2(out, O_CLOEXEC) != 0 || (pipeStdin && pipe2(in, O_CLOEXEC) != 0)) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        if (pipeStdin) {
            posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        }
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        if (posix_spawn(&m_Pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
            m_Pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        m_Out = out[0];
        if (pipeStdin) {
            close(in[0]);
            m_In = in[1];
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() {
        CloseStdin();
        if (m_Pid > 0) {
            kill(m_Pid, SIGKILL);
            Wait();
        }
        if (m_Out >= 0) {
            close(m_Out);
        }
    }

    bool Started() const { return m_Pid > 0; }
    pid_t Pid() const { return m_Pid; }

    // The next line of its stdout, or nothing when it ends or the deadline passes first.
    std::optional<std::string> ReadLine(Clock::time_point deadline) {
        for (;;) {
            const size_t end = m_Buffer.find('\n');
            if (end != std::string::npos) {
                std::string line = m_Buffer.substr(0, end);
                m_Buffer.erase(0, end + 1);
                return line;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return std::nullopt;
            }
            pollfd fd{m_Out, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            char chunk[4096];
            const ssize_t n = read(m_Out, chunk, sizeof chunk);
            if (n <= 0) {
                return std::nullopt;
            }
            m_Buffer.append(chunk, static_cast<size_t>(n));
        }
    }
    // Reads "KEY value" lines into the map until KEY is last (inclusive).
    bool ReadUntil(const std::string& last, std::map<std::string, std::string>& into,
                   Clock::time_point deadline) {
        while (auto line = ReadLine(deadline)) {
            const size_t space = line->find(' ');
            const std::string key = line->substr(0, space);
            into[key] = space == std::string::npos ? "" : line->substr(space + 1);
            if (key == last) {
                return true;
            }
        }
        return false;
    }

    void CloseStdin() {
        if (m_In >= 0) {
            close(m_In);
            m_In = -1;
        }
    }
    int Wait() {
        int status = 0;
        if (m_Pid > 0 && waitpid(m_Pid, &status, 0) == m_Pid) {
            m_Pid = -1;
        }
        return status;
    }

    // A line of /proc/<pid>/status in kB; -1 when absent.
    long StatusKB(const std::string& key) const {
        std::ifstream status("/proc/" + std::to_string(m_Pid) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.compare(0, key.size() + 1, key + ":") == 0) {
                return std::strtol(line.c_str() + key.size() + 1, nullptr, 10);
            }
        }
        return -1;
    }

private:
    pid_t m_Pid = -1;
    int m_Out = -1;
    int m_In = -1;
    std::string m_Buffer;
};

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
                         "--log-level", "warning"},
                        false);
    ASSERT_TRUE(daemon.Started());
    int commandPort = 0;
    int statusPort = 0;
    // "tessary-busd: bus server 0 on <address>, command port <n>, status port <n>"
    while (auto line = daemon.ReadLine(Clock::now() + std::chrono::seconds(5))) {
        const size_t at = line->find("command port ");
        if (at != std::string::npos &&
            std::sscanf(line->c_str() + at, "command port %d, status port %d", &commandPort,
                        &statusPort) == 2) {
            break;
        }
    }
    ASSERT_GT(commandPort, 0) << "tessary-busd did not report its ports";
    const long daemonBase = daemon.StatusKB("VmRSS");

    const std::string bytes = std::to_string(GiB);
    ChildProcess receiver({BLOB_MEMORY_PEER_PATH, "receive", std::to_string(statusPort), bytes},
                          true);
    std::map<std::string, std::string> received;
    ASSERT_TRUE(receiver.ReadUntil("READY", received, Clock::now() + std::chrono::seconds(10)))
        << "the receiver did not come on line";

    ChildProcess sender(
        {BLOB_MEMORY_PEER_PATH, "send", std::to_string(commandPort), bytes, std::to_string(MiB)},
        false);
    std::map<std::string, std::string> sent;
    ASSERT_TRUE(sender.ReadUntil("HWM", sent, deadline)) << "the sender did not finish";
    receiver.CloseStdin();
    ASSERT_TRUE(receiver.ReadUntil("HWM", received, deadline)) << "the receiver did not finish";
    const long daemonPeak = daemon.StatusKB("VmHWM");

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

    kill(daemon.Pid(), SIGTERM);
    daemon.Wait();
    EXPECT_EQ(receiver.Wait(), 0);
    EXPECT_EQ(sender.Wait(), 0);
#endif
}
