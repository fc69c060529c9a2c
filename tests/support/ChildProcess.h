#pragma once

#include "testkit/Eventually.h"

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// A program run as a child process (the tool, the daemon, a memory probe), its stdout and
// stderr written to unnamed files that a test reads at any time, so it can wait for a line (a
// listener reporting that it is on-line) while the child keeps running. stdin is /dev/null
// unless asked for as a pipe.
//
//   ChildProcess listen({TESSARY_TOOL_PATH, "listen", "rx", "--count", "1", ...});
//   ASSERT_TRUE(listen.WaitForOutput("online"));   // bounded wait
//   EXPECT_EQ(listen.Wait(), 0);
// A line of /proc/<pid>/status in kB ("VmRSS", "VmHWM"); -1 when absent.
long StatusKB(pid_t pid, const std::string& key);

class ChildProcess {
public:
    // argv[0] is the program's path. Throws std::runtime_error when it cannot be started.
    explicit ChildProcess(std::vector<std::string> argv, bool pipeStdin = false);
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // Ends a child that still runs (SIGKILL) and reaps it.
    ~ChildProcess();

    pid_t Pid() const { return m_Pid; }
    // Exit status after the child ended within timeout; -1 when it did not (it keeps running),
    // 128 + n when signal n ended it.
    int Wait(std::chrono::milliseconds timeout = std::chrono::milliseconds(20000));
    // Sends signal while the child runs.
    void Signal(int signal);
    // The child reads end of file from then on.
    void CloseStdin();

    // True once stdout holds text (within timeout).
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout = Bound);
    std::string Stdout() const;
    std::string Stderr() const;

private:
    pid_t m_Pid = -1;
    int m_Status = -1;
    int m_Stdin = -1;
    int m_Stdout = -1;
    int m_Stderr = -1;
};

// Reads the ports a tessary-busd child prints for bus server 0 ("... command port <n>, status
// port <n>"); false when it printed none within five seconds.
bool ReadDaemonPorts(ChildProcess& daemon, int& commandPort, int& statusPort);
