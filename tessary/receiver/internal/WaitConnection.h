#pragma once

#include "tessary/external/DString.h"
#include "tessary/external/WString.h"
#include "tessary/foundation/TmplBlockBuffer.h"
#include "tessary/protocol/internal/BUSRecvPDU.h"
#include "tessary/protocol/shared/MessageHead.h"
#include "tessary/receiver/internal/WaitCallbacks.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <memory>

// What a wait server's thread works with, fixed when the thread starts.
struct WaitSettings {
    DString Name;
    DString ConnectIPAddress;
    int32_t StatusPort = 0;
    DString SourceID;
    int32_t TimeOut = 300;
    bool TcpNoDelay = false;
    // The most bytes a pushed frame's body and BLOB may bring together.
    int32_t MaxFrameBytes = INT32_MAX;
    WaitMessageCallback MessageHandler;
    WaitBLOBCallback BLOBHandler;
    WaitNullCallback HeartbeatHandler;
    WaitNullCallback Heartbeat1MinuteHandler;
    WaitNullCallback Heartbeat5MinuteHandler;
    WaitNullCallback OfflineHandler;
    WaitNullCallback OnlineHandler;
    // The wait server, handed as sender to the off-line and on-line callables.
    const void* Sender = nullptr;
};

// One wait server's status connection and the receive loop over it.
//
// The wait server's thread runs everything here; it holds the object through a shared_ptr for
// as long as it runs, so the wait server itself may be destroyed under it: by a handler that
// stops and destroys its own receiver on this very thread, or after Stop gave up waiting for a
// handler that did not return. Past its start the thread touches nothing of the wait server.
//
// Other threads only raise the stop flags, lower the receive time-out, tear the socket down,
// read the connected flag and set socket options; all of those are atomic or made for it.
class WaitConnection {
public:
    explicit WaitConnection(WaitSettings settings) : m_Settings(std::move(settings)) {}
    WaitConnection(const WaitConnection&) = delete;
    WaitConnection& operator=(const WaitConnection&) = delete;

    // The thread body: connections one after the other until a stop is asked.
    void Run();
    // One connection's whole life: connect, register, read until it ends. False when the
    // connect failed.
    bool StartWait();
    // One frame; false when the connection is to be renewed.
    bool WaitOneMessage();

    // Answers one message on this connection.
    bool SendAck(const MessageHead& received, const DString& reply, const WString& wreply,
                 const TmplBlockBuffer<unsigned char>& block);
    bool SendError(const MessageHead& received, int code, const DString& reply,
                   const WString& wreply);
    // An Error frame when the handler left a result code, else an Ack with its reply.
    void Answer(const MessageHead& received, const EventArgs_BUSMessage& args,
                const TmplBlockBuffer<unsigned char>& replyBLOB);

    // Called from the stopping thread: WillStop is the cooperative request, StopRequested the
    // one Stop makes just before it waits.
    void RequestWillStop() { m_bWillStop.store(true); }
    void RequestStop() { m_bStopRequested.store(true); }
    // Lowers the receive time-out and shuts the socket down, so a read blocked on the thread
    // fails at once.
    void BreakRead();

    bool Stopping() const { return m_bWillStop.load() || m_bStopRequested.load(); }
    bool IsConnected() const { return m_Connection.IsConnected(); }
    uint32_t MessageCount() const { return m_MessageCount.load(); }
    int SetSocketOption(int level, int option, const char* value, int length);

    const WaitSettings& Settings() const { return m_Settings; }
    // The status connection, whose socket a caller may replace before reading: the fuzz target
    // puts one there that reads a connection's bytes from memory.
    BUSRecvPDU& Connection() { return m_Connection; }


private:
    // Reads the rest of a message or BLOB and fires it; false when that read failed.
    bool FireMessage(MessageHead& head);
    void HandleSync(const MessageHead& head);
    bool ReadTailOnly();
    // Both stop flags are tested first: a wait server that is being stopped reports nothing.
    void FireOffline();
    void FireOnline();

    // "[MessageID : CallerID] [@port] "
    DString TraceTag(const MessageHead& head) const;
    // "<address : port> "
    DString AddressText() const;
    // The first bracketed values of WaitOneMessage's lines: "[port][SourceID]".
    DString WaitTag() const;

    const WaitSettings m_Settings;
    BUSRecvPDU m_Connection;
    std::atomic<bool> m_bWillStop{false};
    std::atomic<bool> m_bStopRequested{false};
    std::atomic<uint32_t> m_MessageCount{0};
    // The block of the last large BLOB, kept for the next one until a heartbeat shows the
    // connection idle; it is reused only when the application holds no copy of it.
    TmplBlockBuffer<unsigned char> m_LastBLOB;
};

// Route texts of the log lines: "<a> -> <b>", and for a received head the route from its
// SourceID to its TargetID followed by " of <command (name)>".
DString RouteText(const DString& from, const DString& to);
DString CommandRouteText(const MessageHead& head);

// The receive time-out, in seconds, that a SYNC announcing heartRateMs calls for: one and a
// half heart rates, at least 2.
int32_t SyncTimeOutSeconds(int32_t heartRateMs);

// " + n bytes", " + n KB" or " + n MB" for a BLOB of cbBLOB bytes; empty without a BLOB.
DString BLOBSizeSuffix(int32_t cbBLOB);

// The process-wide switch that SYNC frames set and Heartbeat frames read.
bool HeartbeatLogging();
