#pragma once

#include "tessary/Export.h"
#include "tessary/external/DString.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

class ServerThread;

// A named worker that owns one thread and runs the subclass's Run on it, again and again while
// Run keeps returning without a stop request (two seconds apart), until Stop. Stopping is
// cooperative: Stop sets m_bWillStop, which Run must honour, and waits a bounded time; a thread
// that does not end in time is left to end by itself and never touches the server afterwards.
// What it is in the middle of then (Run, OnRestart or OnExit) is the subclass's: like a Run
// that ignores the request, a hook that does not return must not rely on the server.
//
// A subclass must call Stop in its own destructor: by the time this class's destructor runs, the
// subclass's Run and members are gone while the thread may still be inside them.
class TESSARY_EXPORT AbstractServer {
public:
    static constexpr int NameSize = 256;

    explicit AbstractServer(const char* name);
    AbstractServer(const AbstractServer&) = delete;
    AbstractServer& operator=(const AbstractServer&) = delete;

    // The slot order of these operations is part of the library's binary layout.
    virtual ~AbstractServer();
    // Always true in every class; nothing calls it, it only holds its place in the table.
    virtual bool IsValid() const;
    virtual bool Start(uint32_t priorityLevel);
    // Sets m_bWillStop and waits up to m_StopWaitLimit seconds for the thread; always true.
    // Called on the server's own thread (from Run or a handler under it), it completes the stop
    // at once, sets m_bWillStop and returns; Run must then return, and it is not called again.
    virtual bool Stop();
    virtual bool Terminate();
    virtual bool Pause();
    virtual bool Resume();
    virtual bool Restart();
    virtual bool WillStop();
    // Called by Stop when its wait runs out; the thread is never killed.
    virtual bool ForceQuit();
    // Called on the server's thread before the pause that precedes a restart of Run.
    virtual bool OnRestart();
    // The last thing the server's thread does before it ends (not after an escaped fault).
    virtual void OnExit();
    virtual void SetStatus(int32_t status);
    virtual int32_t GetStatus();
    virtual DString StatusText();
    virtual void SetPriority(uint32_t priorityLevel);
    virtual void RaisePriority(int32_t step);
    virtual void LowerPriority(int32_t step);
    // The body. Must return soon after m_bWillStop becomes true; returning while it is false
    // counts as an unexpected exit and the body is called again two seconds later.
    virtual int32_t Run(uint64_t threadArgument) = 0;

    // Status values.
    static constexpr int32_t StatusRunning = 1;
    static constexpr int32_t StatusStopped = 2;
    static constexpr int32_t StatusPaused = 3;
    static constexpr int32_t StatusStarting = 4;
    static constexpr int32_t StatusStopping = 5;

    // Names are cut to NameSize - 1 bytes; null gives an empty name. Set before Start: the
    // thread logs under the name it was started with.
    void SetName(const char* name);
    const char* GetName() const { return m_Name; }
    // True while a thread is held, i.e. between Start and Stop (or the thread's own end).
    bool IsStarted() const;
    bool IsRunning() const { return m_bRunning.load(); }
    bool IsPaused() const { return m_bPaused.load(); }
    uint32_t GetPriorityLevel() const { return m_PriorityLevel.load(); }
    // The kernel thread id of the last thread started, 0 before any.
    uint32_t GetThreadID() const { return m_ThreadID.load(); }
    int64_t GetStartTime() const { return m_StartTime.load(); }
    int64_t GetStopTime() const { return m_StopTime.load(); }

protected:
    // The line of a stop request that finds no thread. After a stop it is the ordinary second
    // step of a stop sequence (a wait task's servers are told first, then stopped), so only a
    // server that was never started is worth a warning.
    void LogNotRunning() const;

    // Set on the server's thread while it is inside its loop; cleared when it leaves normally.
    std::atomic<bool> m_bRunning{false};
    std::atomic<bool> m_bPaused{false};
    // The stop request Run must honour; set by WillStop, cleared by Start.
    std::atomic<bool> m_bWillStop{false};
    // Set by Stop just before it waits; also ends the restart pause.
    std::atomic<bool> m_bStopRequested{false};
    // 0..7; see SetPriority for what each level means to the scheduler.
    std::atomic<uint32_t> m_PriorityLevel{4};
    std::atomic<int32_t> m_Status{StatusStopped};
    // Handed to Run each time it is called; a subclass may set it before Start.
    std::atomic<uint64_t> m_ThreadArgument{0};

private:
    std::shared_ptr<ServerThread> CurrentThread() const;
    // Forgets thread if it is still the held one.
    void ReleaseThread(const std::shared_ptr<ServerThread>& thread);
    static void* ThreadProcedure(void* launch);
    int32_t RunLoop(const std::shared_ptr<ServerThread>& thread);
    void WaitForThread(ServerThread& thread);

    // The held thread (the "handle"). Guarded by m_ThreadMutex because the server's own thread
    // forgets it at its end while Stop on another thread polls it.
    std::shared_ptr<ServerThread> m_Thread;
    mutable std::mutex m_ThreadMutex;
    std::atomic<uint32_t> m_ThreadID{0};
    char m_Name[NameSize] = {};
    std::atomic<int64_t> m_StartTime{0};
    std::atomic<int64_t> m_StopTime{0};

protected:
    // Seconds Stop waits for the thread before it gives up; a subclass may set its own.
    uint32_t m_StopWaitLimit = 60;
};
