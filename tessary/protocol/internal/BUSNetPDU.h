#pragma once

#include "tessary/external/DString.h"
#include "tessary/external/EventArgs.h"
#include "tessary/foundation/UnsafeDelegate.h"
#include "tessary/protocol/internal/BUSNetSocket.h"
#include "tessary/protocol/shared/MessageHead.h"
#include "tessary/protocol/internal/NetBuffer.h"
#include "tessary/protocol/internal/XDWHolder.h"

#include <cstdint>

// One connection to a bus server's command port and the request/reply steps over it. Created
// unconnected; BUSNetPDUProxy::Connect (or Connect here, for a fixed port) connects it. Every
// socket failure and every failed reply read is raised on PDUError, on the thread that ran the
// failing operation. One thread uses a session at a time.
class BUSNetPDU {
public:
    // What ReadReply() waits for the bus server's answer, in milliseconds.
    static constexpr int32_t ReplyTimeOut = 5000;

    BUSNetPDU();
    BUSNetPDU(const BUSNetPDU&) = delete;
    BUSNetPDU& operator=(const BUSNetPDU&) = delete;
    virtual ~BUSNetPDU();

    // The id the bus server assigned, or id itself when there was no positive reply.
    DString SetUniqueSourceID(const char* id, uint32_t callerID);
    // True when the bus server reports targetID online.
    bool Enquiry(const char* sourceID, const char* targetID, uint32_t callerID);
    // Subscribes sourceID to command; CallerID is the subscription counter's present value.
    bool Subscribe(const char* sourceID, int32_t command, int32_t timeOut);

    // Reads one head-only answer (88 + 16 bytes, whatever its lengths say) into reply. timeOut
    // in milliseconds; below one second the socket's receive time-out stays as it is.
    bool ReadReply(MessageHead& reply, int32_t timeOut);
    // A fresh Reply buffer and ReplyTimeOut: what every sender runs after writing a frame.
    bool ReadReply();

    void FireError(int code, const char* text);
    // Handler on the socket's SocketError: the socket's code moves to SysCode, Code becomes -1.
    void OnSocketError(const void* sender, EventArgs_Error* args);

    // Connects the session to one port (no rotation, no retry); the short-lived sessions of a
    // receiver use it.
    bool Connect(const char* host, int port);
    bool IsConnected() const;

    NetBuffer& Stream() const { return *m_Stream; }
    BUSNetSocket& GetSocket() const;

protected:
    // Head-only request: write it, read the answer into reply.
    bool Request(MessageHead& head, MessageHead& reply, int32_t timeOut);

    XDWHolder<NetBuffer> m_Stream;

public:
    _tUnsafeDelegate<EventArgs_Error> PDUError;
};

// The CallerID of Subscribe heads. Receivers raise it by one before each subscription; it is
// only ever read here.
uint32_t SubscriptionCounter();
uint32_t RaiseSubscriptionCounter();
