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

