#pragma once

#include "tessary/Export.h"
#include "tessary/external/DString.h"
#include "tessary/external/EventArgs.h"
#include "tessary/foundation/UnsafeDelegate.h"

#include <cstdint>

namespace ORVEX::Tessary::Controller {

class WaitMessageTask;

// The base of every receiver: one receiving identity (its source id) reachable through the bus
// servers of one host. StartWait builds a wait task with one status connection per bus server;
// messages reach the application through the subclasses (MessageReceiver, BLOBReceiver), which
// install their handlers by overriding CreateWaitTask. A bare BaseReceiver logs each message
// as an error and acknowledges it empty.
//
// The events are raised on the wait servers' threads, possibly on several at once; attach
// handlers before StartWait. Every other operation is meant for the application's threads, one
// at a time. Nothing here throws.
class TESSARY_EXPORT BaseReceiver {
public:
    BaseReceiver();
    BaseReceiver(const BaseReceiver&) = delete;
    BaseReceiver& operator=(const BaseReceiver&) = delete;
    // StopWait, then the wait task goes.
    virtual ~BaseReceiver();

    // Builds a new wait task (a running one is stopped and replaced) and starts it.
    virtual void StartWait();
    // Stops the wait servers' threads; the wait task stays until the next StartWait.
    virtual void StopWait();

protected:
    // Builds the wait task for count bus servers and installs OnDummy as its message and BLOB
    // handler. A subclass calls this first, then replaces the handlers on WaitTask.
    virtual void CreateWaitTask(int count);

public:
    // Subscribes SourceID to command on every bus server; timeOut in milliseconds. False only
    // before the first StartWait.
    bool Subscribe(unsigned long command, int timeOut);
    // Posts the setting key = value through every bus server; false before the first StartWait.
    bool BUSSetting(unsigned long command, const char* key, const char* value);
    // Sets the option on every status connection's socket; 1, or 0 before the first StartWait.
    int SetSocketOption(int level, int option, const char* value, int length);
    // True from the first StartWait on, also after StopWait.
    bool IsStarted() const;

    // These take effect at the next StartWait. SetTcpNoDelay answers the previous setting.
    bool SetTcpNoDelay(bool on);
    void SetTCPTimeOut(int seconds);
    // The most bytes a message's body and BLOB may bring together; a frame announcing more, or
    // a streamed BLOB growing past it, is refused and its connection renewed. Below 1: the
    // configured default (MaxFrameBytes in BUSServer.Manager.INI, else 256 MiB).
    void SetMaxFrameBytes(int bytes);
    DString GetSourceID() const;
    void SetSourceID(const char* id);
    // Asks a bus server for a unique id derived from id and keeps it as the source id; answers
    // the source id now in force (id itself when no bus server answered).
    DString SetUniqueSourceID(const char* id);
    void ConnectTo(const char* address);
    DString GetConnectIPAddress() const;

    // Milliseconds; its whole seconds are every new receiver's receive time-out. Set by
    // Client::SetDefTimeOut.
    static int gDefMSTimeOut;

protected:
    // Raise the matching event under the crash guard; the wait task calls them on a wait
    // server's thread.
    void OnHeartbeatRelay(const void* sender, EventArgs_Null* args);
    void OnHeartbeat1MinuteRelay(const void* sender, EventArgs_Null* args);
    void OnHeartbeat5MinuteRelay(const void* sender, EventArgs_Null* args);
    void OnServerGlitchRelay(const void* sender, EventArgs_Int* args);
    void OnServerOfflineRelay(const void* sender, EventArgs_Int* args);
    void OnServerOnlineRelay(const void* sender, EventArgs_Int* args);
    void OnServerRecoveredRelay(const void* sender, EventArgs_Int* args);
    // The message and BLOB handler of a receiver that takes neither: logs the command; the
    // wait server then answers with an empty acknowledgement.
    void OnDummy(unsigned long command, const void* sender, DelegateArgs* args);

    DString ConnectIPAddress;
    // Status port of the first bus server; the others follow in steps of 2.
    int StatusPort;
    int NbOfBUSServer;
    bool TcpNoDelay = false;
    // Receive time-out of the status connections, in seconds.
    int TCPTimeOut;
    DString SourceID;

public:
    // Handlers get a null sender and a null record.
    _tUnsafeDelegate<EventArgs_Null> HeartbeatEvent;
    _tUnsafeDelegate<EventArgs_Null> Heartbeat1MinuteEvent;
    _tUnsafeDelegate<EventArgs_Null> Heartbeat5MinuteEvent;
    // Handlers get a null sender and the status port of the reporting wait server.
    _tUnsafeDelegate<EventArgs_Int> ServerGlitchEvent;
    _tUnsafeDelegate<EventArgs_Int> ServerOfflineEvent;
    _tUnsafeDelegate<EventArgs_Int> ServerOnlineEvent;
    _tUnsafeDelegate<EventArgs_Int> ServerRecoveredEvent;

protected:
    // Built by CreateWaitTask, kept after StopWait.
    WaitMessageTask* WaitTask = nullptr;
    // This receiver's serial number in the process, opening its log lines as [n].
    uint32_t InstanceID;
    // See SetMaxFrameBytes.
    int MaxFrameBytes;
};

} // namespace ORVEX::Tessary::Controller
