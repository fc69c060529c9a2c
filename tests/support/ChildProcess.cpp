#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

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

// A file with no name, gone with its last descriptor; the child writes it through a duplicate.
int UnnamedFile() {
    char path[] = "/tmp/tessary-child-XXXXXX";
    const int fd = mkostemp(path, O_CLOEXEC);
    if (fd < 0) {
        throw std::runtime_error("mkostemp failed");
    }
    unlink(path);
    return fd;
}

std::string Contents(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()));
        if (n <= 0) {
            return text;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
}

} // namespace

ChildProcess::ChildProcess(std::vector<std::string> argv, bool pipeStdin)
    : m_Stdout(UnnamedFile()), m_Stderr(UnnamedFile()) {
    int in[2] = {-1, -1};
    if (pipeStdin && pipe2(in, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, m_Stdout, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, m_Stderr, STDERR_FILENO);
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
    if (pipeStdin) {
        close(in[0]);
        m_Stdin = in[1];
    }
    if (rc != 0) {
        CloseStdin();
        throw std::runtime_error("posix_spawn failed: " + argv[0]);
    }
}

ChildProcess::~ChildProcess() {
    CloseStdin();
    if (Wait(std::chrono::milliseconds(0)) < 0 && m_Pid > 0) {
        kill(m_Pid, SIGKILL);
        Wait(std::chrono::milliseconds(5000));
    }
    close(m_Stdout);
    close(m_Stderr);
}

void ChildProcess::CloseStdin() {
    if (m_Stdin >= 0) {
        close(m_Stdin);
        m_Stdin = -1;
    }
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
    if (m_Status >= 0) {
        return m_Status;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int raw = 0;
        if (waitpid(m_Pid, &raw, WNOHANG) == m_Pid) {
            m_Status = StatusOf(raw);
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

bool ChildProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    return Eventually([&] { return Stdout().find(text) != std::string::npos; }, timeout);
}

std::string ChildProcess::Stdout() const { return Contents(m_Stdout); }

std::string ChildProcess::Stderr() const { return Contents(m_Stderr); }

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
