#include "tests/tools/ToolProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
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

ToolProcess::ToolProcess(const std::vector<std::string>& arguments) {
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

    std::vector<std::string> argv{TESSARY_TOOL_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> pointers;
    for (std::string& argument : argv) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    const int rc =
        posix_spawn(&m_Pid, TESSARY_TOOL_PATH, &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (rc != 0) {
        close(out[0]);
        close(err[0]);
        throw std::runtime_error("posix_spawn failed");
    }
    m_StdoutReader = std::thread([this, fd = out[0]] { Collect(fd, m_Stdout); });
    m_StderrReader = std::thread([this, fd = err[0]] { Collect(fd, m_Stderr); });
}

ToolProcess::~ToolProcess() {
    if (Wait(std::chrono::milliseconds(0)) < 0 && m_Pid > 0) {
        kill(m_Pid, SIGKILL);
        Wait(std::chrono::milliseconds(5000));
    }
    if (m_StdoutReader.joinable()) {
        m_StdoutReader.join();
    }
    if (m_StderrReader.joinable()) {
        m_StderrReader.join();
    }
}

void ToolProcess::Collect(int fd, std::string& into) {
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

int ToolProcess::Wait(std::chrono::milliseconds timeout) {
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
            if (m_StdoutReader.joinable()) {
                m_StdoutReader.join();
            }
            if (m_StderrReader.joinable()) {
                m_StderrReader.join();
            }
            return m_Status;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void ToolProcess::Interrupt() {
    if (m_Status < 0 && m_Pid > 0) {
        kill(m_Pid, SIGINT);
    }
}

bool ToolProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_Mutex);
    return m_Changed.wait_for(lock, timeout,
                              [&] { return m_Stdout.find(text) != std::string::npos; });
}

std::string ToolProcess::Stdout() {
    std::lock_guard lock(m_Mutex);
    return m_Stdout;
}

std::string ToolProcess::Stderr() {
    std::lock_guard lock(m_Mutex);
    return m_Stderr;
}
