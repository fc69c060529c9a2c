#pragma once

#include "tessary/external/Log.h"
#include "tessary/protocol/internal/BUSSendPDU.h"
#include "tessary/protocol/shared/MessageHead.h"
#include "tessary/protocol/internal/XDWHolder.h"

#include <cstdint>

// The steps of SendBLOB and PostBLOB, shared by the known-size and the streamed BLOB senders,
// which differ only in how the frame is written. The client passes its own steps in as
// callables, since they reach its protected members:
//   connect()           the client's Connect
//   writeFrame(head)    fills head's remaining fields and runs the session's send step, which
//                       writes the frame and reads the bus server's reply; true for a Reply
//   readAck(messageID)  the client's DoReadAck with its reply text, reply BLOB and time-out

inline const char* TargetText(const char* targetID) { return targetID ? targetID : ""; }

// No reconnect and no second try when the send step fails: the frame may be large, and a
// streamed BLOB could not be produced twice anyway.
template <typename Connect, typename WriteFrame, typename ReadAck>
bool SendBLOBSteps(uint32_t instance, BUSSendPDU& session, const char* targetID, int msTimeOut,
                   Connect&& connect, WriteFrame&& writeFrame, ReadAck&& readAck) {
    _debug("[%d] Enter SendBLOB, TargetID : %s, TimeOut : %d MS", instance, TargetText(targetID),
           msTimeOut);
    if (!connect()) {
        return false;
    }
    XDWHolder<MessageHead> head(new MessageHead(HeadType::Message));
    const bool sent = writeFrame(head);
    if (!session.IsConnected()) {
        _error("[%d] Leave SendBLOB, socket is closed ? Skip ReadAck", instance);
        return false;
    }
    if (!sent) {
        // The bus server refused the frame (no such target) or its answer did not come; either
        // way the connection is not trusted for the next operation.
        _error("[%d] Leave SendBLOB, Target <%s> is offline ? Skip ReadAck", instance,
               TargetText(targetID));
        session.Stream().Reset();
        session.Stream().Close();
        return false;
    }
    return readAck(head->MessageID);
}

// Nothing is read after the bus server's reply and nothing is closed on failure.
template <typename Connect, typename WriteFrame>
bool PostBLOBSteps(uint32_t instance, const char* targetID, int msTimeOut, Connect&& connect,
                   WriteFrame&& writeFrame) {
    _debug("[%d] Enter PostBLOB, TargetID : %s, TimeOut : %d MS", instance, TargetText(targetID),
           msTimeOut);
    if (!connect()) {
        return false;
    }
    XDWHolder<MessageHead> head(new MessageHead(HeadType::Message));
    return writeFrame(head);
}
