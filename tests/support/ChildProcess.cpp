#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <csignal>
#include <stdexcept>

extern char** environ;

namespace {

int StatusOf(int raw) {
    if (WIFEXITED(raw)) {
        return WEXITSTATUS(raw);
    }
    if (WIFSIGNALED(raw)) {
        return 128 + WTERMSIG(raw);
    }
    return -1;
}

} // namespace

ChildProcess::ChildProcess(std::vector<std::string> argv, bool pipeStdin) {
    int out[2];
    int err[2];
    int in[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 ||
        (pipeStdin && pipe2(in, O_CLOEXEC) != 0)) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    if (pipeStdin) {
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    std::vector<char*> pointers;
    for (std::string& argument : argv) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    const int rc =
        posix_spawn(&m_Pid, argv[0].c_str(), &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (pipeStdin) {
        close(in[0]);
        m_Stdin = in[1];
    }
    if (rc != 0) {
        close(out[0]);
        close(err[0]);
        CloseStdin();
        throw std::runtime_error("posix_spawn failed: " + argv[0]);
    }
    m_StdoutReader = std::thread([this, fd = out[0]] { Collect(fd, m_Stdout); });
    m_StderrReader = std::thread([this, fd = err[0]] { Collect(fd, m_Stderr); });
}

ChildProcess::~ChildProcess() {
    CloseStdin();
    if (Wait(std::chrono::milliseconds(0)) < 0 && m_Pid > 0) {
        kill(m_Pid, SIGKILL);
        Wait(std::chrono::milliseconds(5000));
    }
    JoinReaders();
}

void ChildProcess::JoinReaders() {
    if (m_StdoutReader.joinable()) {
        m_StdoutReader.join();
    }
    if (m_StderrReader.joinable()) {
        m_StderrReader.join();
    }
}

void ChildProcess::CloseStdin() {
    if (m_Stdin >= 0) {
        close(m_Stdin);
        m_Stdin = -1;
    }
}

void ChildProcess::Collect(int fd, std::string& into) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        {
            std::lock_guard lock(m_Mutex);
            into.append(buffer, static_cast<size_t>(n));
        }
        m_Changed.notify_all();
    }
    close(fd);
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
    if (m_Status >= 0) {
        return m_Status;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int raw = 0;
        const pid_t done = waitpid(m_Pid, &raw, WNOHANG);
        if (done == m_Pid) {
            m_Status = StatusOf(raw);
            // The child's end closes the pipes; the readers finish with what is left.
            JoinReaders();
            return m_Status;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void ChildProcess::Signal(int signal) {
    if (m_Status < 0 && m_Pid > 0) {
        kill(m_Pid, signal);
    }
}

void ChildProcess::Interrupt() { Signal(SIGINT); }

bool ChildProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_Mutex);
    return m_Changed.wait_for(lock, timeout,
                              [&] { return m_Stdout.find(text) != std::string::npos; });
}

std::string ChildProcess::Stdout() {
    std::lock_guard lock(m_Mutex);
    return m_Stdout;
}

std::string ChildProcess::Stderr() {
    std::lock_guard lock(m_Mutex);
    return m_Stderr;
}

long StatusKB(pid_t pid, const std::string& key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, key.size() + 1, key + ":") == 0) {
            return std::strtol(line.c_str() + key.size() + 1, nullptr, 10);
        }
    }
    return -1;
}

bool ReadDaemonPorts(ChildProcess& daemon, int& commandPort, int& statusPort) {
    return Eventually(
        [&] {
            const std::string out = daemon.Stdout();
            const size_t at = out.find("command port ");
            return at != std::string::npos &&
                   std::sscanf(out.c_str() + at, "command port %d, status port %d",
                               &commandPort, &statusPort) == 2;
        },
        std::chrono::seconds(5));
}
