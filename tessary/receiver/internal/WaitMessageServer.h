#pragma once

#include "tessary/external/DString.h"
#include "tessary/foundation/AbstractServer.h"
#include "tessary/receiver/internal/WaitCallbacks.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

class WaitConnection;

// One receiver's long-lived connection to one bus server's status port, on a thread of its
// own: it registers the receiver's source id, reads what the bus server pushes, hands messages
// and BLOBs to MessageHandler and BLOBHandler, answers each on the same connection, and
// connects again whenever the connection ends, until it is stopped.
//
// Its wait task sets the fields and the callables, then starts it; the thread works on a
// snapshot of them taken by Start, so change them only while the server is stopped. The
// callables run on the server's thread.
class WaitMessageServer : public AbstractServer {
public:
    WaitMessageServer();
    ~WaitMessageServer() override;

    // Starts the thread and waits up to about 0.7 s for it to come up; the result is the
    // framework's.
    bool Start(uint32_t priorityLevel) override;
    // WillStop, then the framework's stop with its 5 s limit.
    bool Stop() override;
    // Asks the thread to end and tears the socket down, so that a blocked read ends at once.
    bool WillStop() override;
    int32_t Run(uint64_t threadArgument) override;
    // Signals that the thread is done with this object.
    void OnExit() override;
    // Notes that Stop gave up on the thread, which then no longer touches this object.
    bool ForceQuit() override;
    // One connection's whole life, on the calling thread; Run runs these one after another.
    virtual bool StartWait();

    // Both run on the caller's thread over short-lived sessions of their own: subscribe on the
    // command port below the status port, post a setting to the status port itself.
    bool Subscribe(uint32_t command, int timeOut);
    bool BUSSetting(uint32_t command, const char* key, const char* value);
    int SetSocketOption(int level, int option, const char* value, int length);

    bool IsConnected() const;
    // Messages and BLOBs fired since the last start.
    uint32_t GetMessageCount() const;

    WaitMessageCallback MessageHandler;
    WaitBLOBCallback BLOBHandler;
    WaitNullCallback HeartbeatHandler;
    WaitNullCallback Heartbeat1MinuteHandler;
    WaitNullCallback Heartbeat5MinuteHandler;
    WaitNullCallback OfflineHandler;
    WaitNullCallback OnlineHandler;
    // Receive time-out in seconds, put on the socket at each connect.
    int32_t TimeOut = 300;
    DString ConnectIPAddress;
    int32_t StatusPort;
    DString SourceID;
    bool TcpNoDelay = false;
    // The most bytes a pushed frame's body and BLOB may bring together; a frame over it is
    // refused and its connection renewed.
    int32_t MaxFrameBytes;

private:
    // The framework forgets the thread a moment before the thread's last steps on this object;
    // stopping waits for those too, so that nothing runs on the object once it is stopped.
    void WaitForExit();
    // True once the framework reports the thread running, waiting at most limit for it.
    bool WaitRunning(std::chrono::milliseconds limit);
    // Sets flag and wakes whoever waits on the thread's progress.
    void Announce(std::atomic<bool>& flag);

    // Shared with the thread, which may outlive this object.
    std::shared_ptr<WaitConnection> m_Connection;
    std::atomic<bool> m_bExited{true};
    std::atomic<bool> m_bGivenUp{false};
    // The thread coming up and going; a waker holds the mutex while it notifies, so the object
    // a woken waiter may destroy is not touched after the wake.
    std::mutex m_ProgressMutex;
    std::condition_variable m_Progress;
};
