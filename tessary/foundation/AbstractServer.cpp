#include "tessary/foundation/AbstractServer.h"

#include "tessary/external/Log.h"
#include "tessary/foundation/Beep.h"
#include "tessary/foundation/internal/ExceptionGuard.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

namespace {

// Handlers of applications run on these threads and sanitizers fatten every frame, so the stack
// is generous; it is only reserved address space until touched.
constexpr size_t ThreadStackSize = 1024 * 1024;
// The exit code of a thread whose Run has not returned yet.
constexpr int32_t ExitCodeBeforeRun = 8800;
constexpr auto PollStep = std::chrono::milliseconds(50);
constexpr int RestartPauseSteps = 40;

struct PriorityMapping {
    // The scheduling priority the level stands for, on the scale the log reports.
    int threadPriority;
    // What Linux offers per thread: the nice value of the thread's task, as a step from the
    // process's own nice.
    int niceStep;
};

// Levels 0 to 7. The steps are taken from the process's nice (its main thread's), so a process
// started niced runs its normal threads at its own nice instead of asking for nice 0, which it
// may not be allowed. Raising a thread above the process needs privileges; without them the
// request fails and is logged, and the thread keeps its priority.
constexpr PriorityMapping PriorityTable[8] = {
    {-15, 19}, {-15, 19}, {-2, 10}, {-1, 5}, {0, 0}, {1, -5}, {2, -10}, {15, -20},
};

// The nice value of a task (a thread id, or the process id for its main thread); 0 when it
// cannot be read.
int NiceOf(pid_t task) {
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(task));
    return nice == -1 && errno != 0 ? 0 : nice;
}

// The calling thread's priority on the table's scale: the entry whose step from the process's
// nice is nearest to the thread's.
int CurrentThreadPriority() {
    const int step = NiceOf(gettid()) - NiceOf(getpid());
    const PriorityMapping* nearest = &PriorityTable[0];
    for (const auto& entry : PriorityTable) {
        if (std::abs(entry.niceStep - step) < std::abs(nearest->niceStep - step)) {
            nearest = &entry;
        }
    }
    return nearest->threadPriority;
}

int64_t Now() {
    return static_cast<int64_t>(std::time(nullptr));
}

} // namespace

// What the server's thread and the server share. It lives as long as either holds it, so a
// thread that outlives its server (Stop gave up on it and the server was destroyed) still has
// somewhere to record that it ended.
class ServerThread {
public:
    // Why the thread must no longer touch its server.
    enum class Detach { None, GivenUp, SelfStopped };

    explicit ServerThread(const char* name) : m_Name(name) {}

    // The name the thread logs under, fixed at start so the thread never reads the server's.
    const char* Name() const { return m_Name.c_str(); }
    uint32_t Tid() const { return m_Tid.load(); }
    bool Finished() const { return m_Finished.load(); }

    // Creation: the new thread announces its id, then waits until Start lets it go, which
    // stands in for creating it suspended.
    void Announce(uint32_t tid) {
        std::lock_guard lock(m_Mutex);
        m_Tid.store(tid);
        m_Changed.notify_all();
    }
    void WaitForAnnouncement() {
        std::unique_lock lock(m_Mutex);
        m_Changed.wait(lock, [this] { return m_Tid.load() != 0; });
    }
    void Go() {
        std::lock_guard lock(m_Mutex);
        m_Go = true;
        m_Changed.notify_all();
    }
    void WaitForGo() {
        std::unique_lock lock(m_Mutex);
        m_Changed.wait(lock, [this] { return m_Go; });
    }

    // Outside Run and the hooks the thread touches the server only in steps: short pieces of
    // this class's own code, each run under m_Mutex and only while the thread has not been let
    // go of (false then). GiveUp takes the same mutex, so it waits for one step at most, and
    // once it has returned no step runs again: the owner may destroy the server.
    template <typename Step> bool OnServer(Step&& step) {
        std::lock_guard lock(m_Mutex);
        if (m_Detach != Detach::None) {
            return false;
        }
        step();
        return true;
    }
    Detach Detached() {
        std::lock_guard lock(m_Mutex);
        return m_Detach;
    }

    // Called by Stop on the server's own thread.
    void SelfStop() {
        std::lock_guard lock(m_Mutex);
        m_Detach = Detach::SelfStopped;
    }

    // Called by Stop when its wait ran out. A thread inside Run or a hook is left there: that
    // body is the subclass's, and one that does not return when asked must no more rely on its
    // server than a Run that does not return may.
    void GiveUp() {
        std::lock_guard lock(m_Mutex);
        if (m_Detach == Detach::None) {
            m_Detach = Detach::GivenUp;
        }
    }

    // The thread's last act: after this it touches neither the server nor this record.
    void Finish(int32_t exitCode) {
        m_ExitCode.store(exitCode);
        m_Finished.store(true);
    }

private:
    const std::string m_Name;
    std::atomic<uint32_t> m_Tid{0};
    std::atomic<bool> m_Finished{false};
    std::atomic<int32_t> m_ExitCode{ExitCodeBeforeRun};
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    bool m_Go = false;
    Detach m_Detach = Detach::None;
};

namespace {

struct Launch {
    std::shared_ptr<ServerThread> thread;
    AbstractServer* server;
};

} // namespace

AbstractServer::AbstractServer(const char* name) {
    SetName(name);
}

AbstractServer::~AbstractServer() {
    AbstractServer::Stop();
}

bool AbstractServer::IsValid() const {
    return true;
}

void AbstractServer::SetName(const char* name) {
    std::memset(m_Name, 0, sizeof m_Name);
    if (name) {
        std::strncpy(m_Name, name, NameSize - 1);
    }
}

bool AbstractServer::IsStarted() const {
    return CurrentThread() != nullptr;
}

std::shared_ptr<ServerThread> AbstractServer::CurrentThread() const {
    std::lock_guard lock(m_ThreadMutex);
    return m_Thread;
}

void AbstractServer::ReleaseThread(const std::shared_ptr<ServerThread>& thread) {
    std::lock_guard lock(m_ThreadMutex);
    if (m_Thread == thread) {
        m_Thread.reset();
    }
}

bool AbstractServer::Start(uint32_t priorityLevel) {
    if (IsStarted()) {
        const std::time_t started = static_cast<std::time_t>(m_StartTime.load());
        std::tm local{};
        localtime_r(&started, &local);
        _debug("Enter %s::Start, it has been started at %d-%d-%d, %d:%d:%d.", m_Name,
               local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
               local.tm_sec);
        return false;
    }
    m_bRunning = false;
    m_bStopRequested = false;
    SetStatus(StatusStarting);

    auto thread = std::make_shared<ServerThread>(m_Name);
    auto* launch = new Launch{thread, this};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, ThreadStackSize);
    // Nobody joins: Stop polls the shared record instead, so that it can give up on a thread.
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t handle{};
    const int error =
        pthread_create(&handle, &attributes, &AbstractServer::ThreadProcedure, launch);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        delete launch;
        _syserror(error, "Failed to create the child thread.");
        Stop();
        return false;
    }
    thread->WaitForAnnouncement();
    m_ThreadID = thread->Tid();
    {
        std::lock_guard lock(m_ThreadMutex);
        m_Thread = thread;
    }

    m_bWillStop = false;
    SetPriority(priorityLevel);
    m_StartTime = Now();
    _info("---->  Server <%s> started successful", m_Name);
    SetStatus(StatusRunning);
    // Let the thread go last: a Run that stops at once must find the server marked running,
    // not have its stopped status overwritten afterwards.
    thread->Go();
    return true;
}

void* AbstractServer::ThreadProcedure(void* raw) {
    std::shared_ptr<ServerThread> thread;
    AbstractServer* server = nullptr;
    {
        std::unique_ptr<Launch> launch(static_cast<Launch*>(raw));
        thread = launch->thread;
        server = launch->server;
    }
    thread->Announce(static_cast<uint32_t>(gettid()));
    thread->WaitForGo();

    int32_t exitCode = ExitCodeBeforeRun;
    if (!RunGuarded([&] { exitCode = server->RunLoop(thread); })) {
        // The guard has logged the crash. The thread ends here without a restart; running stays
        // set and the handle stays held, so a later Stop finds the thread finished and
        // completes. Only the shared record is used: Stop may have given up on this thread and
        // the server may be gone.
        _fatal("Exception at Server %s::Run.", thread->Name());
        exitCode = -1;
    }
    thread->Finish(exitCode);
    return nullptr;
}

int32_t AbstractServer::RunLoop(const std::shared_ptr<ServerThread>& thread) {
    // Every touch of the server outside Run and the hooks is a step (OnServer): once Stop has
    // given up on this thread the server may be gone, and a refused step ends the thread.
    const char* name = thread->Name();
    int32_t exitCode = ExitCodeBeforeRun;
    bool onServer = thread->OnServer([&] { m_bRunning = true; });
    while (onServer) {
        bool held = false;
        uint64_t argument = 0;
        onServer = thread->OnServer([&] {
            held = CurrentThread() == thread;
            argument = m_ThreadArgument;
        });
        if (!onServer || !held) {
            break;
        }
        _info("%s running at priority %d", name, CurrentThreadPriority());
        exitCode = Run(argument);
        bool willStop = false;
        onServer = thread->OnServer([&] { willStop = m_bWillStop; });
        if (!onServer) {
            break;
        }
        _info("Leave Server : %s, m_bWillStop : %d", name, willStop ? 1 : 0);
        if (willStop) {
            break;
        }
        _debug("%s", "");
        _fatal("Server : %s get an unexpected exit! Restart it after 2 seconds.", name);
        Beep(1000, 1000);
        OnRestart();
        bool pauseOver = false;
        for (int step = 0; step < RestartPauseSteps && onServer && !pauseOver; ++step) {
            onServer = thread->OnServer([&] { pauseOver = m_bWillStop || m_bStopRequested; });
            if (onServer && !pauseOver) {
                std::this_thread::sleep_for(PollStep);
            }
        }
    }
    const bool released = thread->OnServer([&] {
        m_bRunning = false;
        ReleaseThread(thread);
    });
    if (!released && thread->Detached() == ServerThread::Detach::SelfStopped) {
        // Stop already did the server's part of the ending on this thread.
        return 0;
    }
    _info("Server : %s Stopped. rc : %d", name, exitCode);
    if (released) {
        OnExit();
    }
    return exitCode;
}

bool AbstractServer::WillStop() {
    if (IsStarted()) {
        m_bWillStop = true;
        _debug("Leave [%s]::WillStop, m_bWillStop is setted to true", m_Name);
        return true;
    }
    LogNotRunning();
    return false;
}

void AbstractServer::LogNotRunning() const {
    // A thread-less server (BoolServer) marks its start with the running flag alone.
    const bool started = m_StartTime.load() != 0 || m_bRunning.load();
    ORVEX::Log::_XDWLog log(started ? ORVEX::Log::CSystemLog::SeverityDebug
                                    : ORVEX::Log::CSystemLog::SeverityWarning);
    log << "Enter [" << m_Name << "]::WillStop, not running";
}

bool AbstractServer::Stop() {
    const std::shared_ptr<ServerThread> thread = CurrentThread();
    if (!thread) {
        SetStatus(StatusStopped);
        return true;
    }
    if (thread->Tid() == static_cast<uint32_t>(gettid())) {
        // On the server's own thread the stop cannot wait for itself. Instead of ending the
        // thread from inside Run, the thread is let go of here (so its procedure touches the
        // server no more and ends quietly) and m_bWillStop makes Run return; Run is not called
        // again. Unwinding instead would be swallowed by the guards that handlers run under.
        _info("[%s]::Stop will execute in the same thread !!!", m_Name);
        thread->SelfStop();
        m_bWillStop = true;
        ReleaseThread(thread);
        m_StopTime = Now();
        SetStatus(StatusStopped);
        m_bRunning = false;
        _info("[%s] Stopped.", m_Name);
        OnExit();
        return true;
    }

    _info("Enter [%s]::Stop", m_Name);
    WillStop();
    SetStatus(StatusStopping);
    if (CurrentThread() == thread) {
        m_bStopRequested = true;
        Resume();
    }
    WaitForThread(*thread);
    ReleaseThread(thread);
    m_StopTime = Now();
    _info("[%s] stopped successful", m_Name);
    SetStatus(StatusStopped);
    return true;
}

// Polls the thread's own record rather than the server's handle: a thread that has let go of
// the handle may still be running OnExit, and the server must outlive that.
void AbstractServer::WaitForThread(ServerThread& thread) {
    const auto begin = std::chrono::steady_clock::now();
    const auto limit = std::chrono::seconds(m_StopWaitLimit);
    bool finished = thread.Finished();
    while (!finished) {
        if (std::chrono::steady_clock::now() - begin > limit) {
            _error("Waiting for the %s daemon to quit, too long, force quit now!", m_Name);
            ForceQuit();
            thread.GiveUp();
            return;
        }
        finished = thread.Finished();
        _info("Waiting for the %s daemon to quit (m_bWillStop : %d)......", m_Name,
              m_bWillStop ? 1 : 0);
        std::this_thread::sleep_for(PollStep);
    }
}

bool AbstractServer::Terminate() {
    return Stop();
}

bool AbstractServer::Pause() {
    if (!IsStarted() || m_bPaused) {
        return false;
    }
    m_bPaused = true;
    SetStatus(StatusPaused);
    return true;
}

// The thread is never suspended (a Run that wants to pause looks at the paused flag), so there
// is nothing to wake here.
bool AbstractServer::Resume() {
    if (!IsStarted() || !m_bPaused) {
        return false;
    }
    m_bPaused = false;
    SetStatus(StatusRunning);
    return true;
}

bool AbstractServer::Restart() {
    Stop();
    return Start(m_PriorityLevel);
}

bool AbstractServer::ForceQuit() {
    return true;
}

bool AbstractServer::OnRestart() {
    return false;
}

void AbstractServer::OnExit() {}

void AbstractServer::SetStatus(int32_t status) {
    m_Status = status;
}

int32_t AbstractServer::GetStatus() {
    return m_Status;
}

DString AbstractServer::StatusText() {
    const uint32_t id = m_ThreadID;
    DString text;
    text << "-------->  " << m_Name << "  <--------";
    text << (IsStarted() ? "\nStarted" : "\nStopped");
    text.AppendFormat("\r\nPriority : %d", static_cast<int>(m_PriorityLevel.load()));
    text.AppendFormat("\r\nStatus : %d", static_cast<int>(m_Status.load()));
    text.AppendFormat("\r\nThreadID : 0x%0x (%d)", id, static_cast<int>(id));
    return text;
}

void AbstractServer::SetPriority(uint32_t priorityLevel) {
    if (priorityLevel > 7) {
        return;
    }
    m_PriorityLevel = priorityLevel;
    const std::shared_ptr<ServerThread> thread = CurrentThread();
    // A thread that has ended may have its id reused by another thread of the process.
    if (!thread || thread->Finished()) {
        return;
    }
    const int nice = std::clamp(NiceOf(getpid()) + PriorityTable[priorityLevel].niceStep, -20, 19);
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(thread->Tid()), nice) != 0) {
        _syserror(errno, "Enter AbstractServer::SetPriority, Cannot set thread priority");
    }
}

void AbstractServer::RaisePriority(int32_t step) {
    if (m_PriorityLevel != 6) {
        SetPriority(static_cast<uint32_t>(static_cast<int64_t>(m_PriorityLevel) + step));
    }
}

void AbstractServer::LowerPriority(int32_t step) {
    if (m_PriorityLevel != 1) {
        SetPriority(static_cast<uint32_t>(static_cast<int64_t>(m_PriorityLevel) - step));
    }
}
