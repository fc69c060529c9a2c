#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The tessary program run as a child process, its stdout and stderr collected by a thread of
// their own as they come, so a test can wait for a line (a listener reporting that it is
// on-line) while the child keeps running.
//
//   ToolProcess listen({"listen", "rx", "--count", "1", ...});
//   ASSERT_TRUE(listen.WaitForOutput("online"));   // bounded wait
//   ToolProcess send({"send", "rx", "42", "hi", ...});
//   EXPECT_EQ(send.Wait(), 0);
class ToolProcess {
public:
    static constexpr std::chrono::milliseconds Bound{2000};

    explicit ToolProcess(const std::vector<std::string>& arguments);
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;
    // Ends a child that still runs (SIGKILL) and reaps it.
    ~ToolProcess();

    // Exit status after the child ended within timeout; -1 when it did not (it keeps running),
    // 128 + n when signal n ended it.
    int Wait(std::chrono::milliseconds timeout = std::chrono::milliseconds(20000));
    // Asks the child to stop as Ctrl-C would.
    void Interrupt();

    // True once stdout holds text (within timeout).
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout = Bound);
    std::string Stdout();
    std::string Stderr();

private:
    void Collect(int fd, std::string& into);

    pid_t m_Pid = -1;
    int m_Status = -1;
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    std::string m_Stdout;
    std::string m_Stderr;
    std::thread m_StdoutReader;
    std::thread m_StderrReader;
};
