// The tessary-busd program itself: started as a child process on free ports.

#include "tests/server/RawFrames.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace rawframes;

extern char** environ;

namespace {

// A running tessary-busd; stopped with SIGTERM when the test ends.
class Daemon {
public:
    explicit Daemon(std::vector<std::string> args) {
        char dir[] = "/tmp/busd-test-XXXXXX";
        m_Dir = mkdtemp(dir);
        m_Log = m_Dir + "/busd.log";
        args.insert(args.begin(), TESSARY_BUSD_PATH);
        args.insert(args.end(), {"--command-port", "0", "--status-port", "0", "--log-file", m_Log});
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        int out[2];
        if (pipe(out) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        if (posix_spawn(&m_Pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            m_Pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        m_Out = out[0];
        // The first line names bus server 0's ports.
        const std::string line = ReadLine();
        std::smatch match;
        if (std::regex_search(line, match, std::regex("command port (\\d+), status port (\\d+)"))) {
            m_CommandPort = std::stoi(match[1]);
            m_StatusPort = std::stoi(match[2]);
        }
    }

    ~Daemon() {
        if (m_Pid > 0) {
            kill(m_Pid, SIGKILL);
            waitpid(m_Pid, nullptr, 0);
        }
        if (m_Out >= 0) {
            close(m_Out);
        }
        std::remove(m_Log.c_str());
        rmdir(m_Dir.c_str());
    }

    bool Started() const { return m_Pid > 0 && m_CommandPort > 0; }
    int CommandPort() const { return m_CommandPort; }
    int StatusPort() const { return m_StatusPort; }

    // A line of /proc/<pid>/status, in kB.
    long StatusKb(const char* key) const {
        std::ifstream status("/proc/" + std::to_string(m_Pid) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind(key, 0) == 0) {
                return std::stol(line.substr(std::string(key).size() + 1));
            }
        }
        return -1;
    }

    // Sends signal and waits up to the bound for the exit; the exit status, or -1.
    int Signal(int signal) {
        kill(m_Pid, signal);
        const auto deadline = std::chrono::steady_clock::now() + Bound;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(m_Pid, &status, WNOHANG) == m_Pid) {
                m_Pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }

    std::string Log() const {
        std::ifstream file(m_Log);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

private:
    std::string ReadLine() {
        std::string line;
        char c = 0;
        pollfd fd{m_Out, POLLIN, 0};
        while (poll(&fd, 1, static_cast<int>(Bound.count())) > 0 && read(m_Out, &c, 1) == 1 &&
               c != '\n') {
            line += c;
        }
        return line;
    }

    pid_t m_Pid = -1;
    int m_Out = -1;
    int m_CommandPort = 0;
    int m_StatusPort = 0;
    std::string m_Dir;
    std::string m_Log;
};

// Reads one frame whose BLOB is too big to keep: returns the BLOB's length and a checksum.
bool ReadStreaming(RawClient& client, MessageHead& head, uint64_t& total, uint64_t& sum,
                   Millis timeout) {
    if (!client.ReadExact(&head, sizeof head, timeout) || head.cbMessage != 0) {
        return false;
    }
    std::vector<unsigned char> buffer(1 << 20);
    total = sum = 0;
    for (;;) {
        MessagePDV pdv;
        if (!client.ReadExact(&pdv, sizeof pdv, timeout) || !pdv.Is()) {
            return false;
        }
        if (pdv.IsLast()) {
            break;
        }
        for (uint32_t left = pdv.cbData; left > 0;) {
            const uint32_t n = std::min<uint32_t>(left, static_cast<uint32_t>(buffer.size()));
            if (!client.ReadExact(buffer.data(), n, timeout)) {
                return false;
            }
            for (uint32_t i = 0; i < n; i += 4096) {
                sum += buffer[i];
            }
            total += n;
            left -= n;
        }
    }
    Tail tail;
    return client.ReadExact(&tail, sizeof tail, timeout) && tail.Is();
}

} // namespace

TEST(DaemonTest, StopsCleanlyOnSigtermAndLogsItsCounters) {
    Daemon daemon({"--servers", "2"});
    ASSERT_TRUE(daemon.Started());
    RawClient receiver(daemon.StatusPort() + 2);
    ASSERT_TRUE(receiver.Listen("last"));
    RawClient client(daemon.CommandPort() + 2);
    ASSERT_TRUE(client.Send(Encode(Head(HeadType::Enquiry, "c", "last"))));
    ASSERT_TRUE(client.Read());
    EXPECT_EQ(daemon.Signal(SIGTERM), 0);
    EXPECT_TRUE(receiver.WaitClosed());
    const std::string log = daemon.Log();
    EXPECT_NE(log.find("busd: Terminated received, stopping"), std::string::npos) << log;
    EXPECT_NE(log.find("busd: connections 0 open, 2 accepted, 1 registrations"),
              std::string::npos)
        << log;
}

TEST(DaemonTest, GigabyteBlobPassesWithBoundedMemory) {
#ifdef TESSARY_SANITIZED
    GTEST_SKIP() << "a gigabyte under sanitizers takes too long";
#endif
    constexpr int64_t Size = 1ll << 30;
    // The daemon holds at most --max-pending bytes (plus one read) for a receiver however slow;
    // 16 MiB keeps the bound clear of the 64 MiB budget even when this test's reader is
    // starved of CPU for a while.
    Daemon daemon({"--servers", "1", "--max-frame", std::to_string(Size), "--max-pending",
                   std::to_string(16 << 20)});
    ASSERT_TRUE(daemon.Started());
    RawClient receiver(daemon.StatusPort());
    ASSERT_TRUE(receiver.Listen("big"));
    RawClient client(daemon.CommandPort());
    ASSERT_TRUE(client.Send(Encode(Head(HeadType::Enquiry, "c", "big"))));
    ASSERT_EQ(client.Read()->head.Type, HeadType::Reply);
    const long idleKb = daemon.StatusKb("VmRSS:");
    ASSERT_GT(idleKb, 0);

    constexpr uint32_t Chunk = 1 << 20;
    std::vector<unsigned char> chunk(Chunk);
    uint64_t expectedSum = 0;
    for (uint32_t i = 0; i < Chunk; ++i) {
        chunk[i] = static_cast<unsigned char>(i * 7 + i / 4096);
    }
    for (uint32_t i = 0; i < Chunk; i += 4096) {
        expectedSum += chunk[i];
    }
    expectedSum *= Size / Chunk;

    std::thread sender([&] {
        MessageHead head = Head(HeadType::Message, "c", "big", 7,
                                HeadFlag::AckRequested | HeadFlag::BLOB);
        head.cbBLOB = static_cast<int32_t>(Size);
        head.TimeOut = 60000;
        bool ok = client.Send(Bytes(head));
        const std::string pdv = PdvBytes(Chunk);
        for (int64_t sent = 0; ok && sent < Size; sent += Chunk) {
            ok = client.Send(pdv) && client.Send(chunk.data(), chunk.size());
        }
        ok = ok && client.Send(PdvBytes(0, true) + TailBytes());
        EXPECT_TRUE(ok);
    });
    MessageHead head;
    uint64_t total = 0;
    uint64_t sum = 0;
    const bool read = ReadStreaming(receiver, head, total, sum, Millis(60000));
    sender.join();
    ASSERT_TRUE(read);
    EXPECT_EQ(total, static_cast<uint64_t>(Size));
    EXPECT_EQ(sum, expectedSum);
    MessageHead ack = Head(HeadType::Ack, "big", "c");
    ack.MessageID = head.MessageID;
    ack.CallerID = head.CallerID;
    ASSERT_TRUE(receiver.Send(Encode(ack, "got it")));
    const auto reply = client.Read();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->head.Type, HeadType::Reply);
    const auto answer = client.Read();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->head.Type, HeadType::Ack);
    EXPECT_EQ(answer->body, "got it");

    const long peakKb = daemon.StatusKb("VmHWM:");
    RecordProperty("IdleKb", static_cast<int>(idleKb));
    RecordProperty("PeakKb", static_cast<int>(peakKb));
    EXPECT_LT(peakKb - idleKb, 64 * 1024) << "idle " << idleKb << " kB, peak " << peakKb << " kB";
    EXPECT_EQ(daemon.Signal(SIGTERM), 0);
}
