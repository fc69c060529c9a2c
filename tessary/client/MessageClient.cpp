#include "tessary/client/MessageClient.h"

#include "tessary/client/internal/NoThrow.h"
#include "tessary/external/Log.h"
#include "tessary/protocol/internal/BUSNetPDUProxy.h"
#include "tessary/protocol/shared/MessageHead.h"

#include <type_traits>

namespace ORVEX::Tessary::Controller {

namespace {

template <typename S> constexpr uint32_t WideFlag() {
    return std::is_same_v<S, WString> ? HeadFlag::Wide : 0;
}

// The text of a failed acknowledgement goes into the event in the reply's own width.
void SetErrorText(EventArgs_Error& args, const DString& text) { args.Text = text; }
void SetErrorText(EventArgs_Error& args, const WString& text) { args.WText = text; }

} // namespace

MessageClient::MessageClient() = default;

MessageClient::~MessageClient() { MessageClient::Close(); }

void MessageClient::Close() {
    NoThrow(InstanceID, "MessageClient::Close", [this] {
        Client::Close();
        _debug("[%d] Leave BUS::MessageClient::Close ()", InstanceID);
    });
}

void MessageClient::FillHead(MessageHead& head, const char* targetID, unsigned long command,
                             uint32_t flags, int msTimeOut) const {
    head.CallerID = InstanceID;
    head.TickCount = TickCount32();
    head.Command = static_cast<int32_t>(command);
    head.SetSourceID(SourceID.c_str());
    head.SetTargetID(targetID);
    head.Flags = flags;
    head.TimeOut = msTimeOut;
}

template <typename S>
bool MessageClient::PostFrame(const char* operation, const char* targetID, unsigned long command,
                              const S& message, uint32_t flags) {
    _debug("[%d] Enter %s, %d ---> <%s>", InstanceID, operation, static_cast<int>(command),
           targetID ? targetID : "");
    if (!Connect()) {
        return false;
    }
    XDWHolder<MessageHead> head(new MessageHead(HeadType::Message));
    FillHead(*head, targetID, command, flags | WideFlag<S>(), 0);
    return PDUProxy->PDU->SendMessage(head, message);
}

bool MessageClient::Post(const char* targetID, unsigned long command, DString message) {
    return NoThrow(InstanceID, "MessageClient::Post", false,
                   [&] { return PostFrame("Post", targetID, command, message, 0); });
}

bool MessageClient::Post(const char* targetID, unsigned long command, WString message) {
    return NoThrow(InstanceID, "MessageClient::Post", false,
                   [&] { return PostFrame("Post", targetID, command, message, 0); });
}

bool MessageClient::Forward(const char* targetID, unsigned long command, DString message) {
    return NoThrow(InstanceID, "MessageClient::Forward", false, [&] {
        return PostFrame("Forward", targetID, command, message, HeadFlag::Forward);
    });
}

bool MessageClient::Forward(const char* targetID, unsigned long command, WString message) {
    return NoThrow(InstanceID, "MessageClient::Forward", false, [&] {
        return PostFrame("Forward", targetID, command, message, HeadFlag::Forward);
    });
}

bool MessageClient::Send(const char* targetID, unsigned long command, DString message,
                         int msTimeOut) {
    return NoThrow(InstanceID, "MessageClient::Send", false, [&] {
        DString reply;
        return DoSend(targetID, command, message, reply, msTimeOut);
    });
}

bool MessageClient::Send(const char* targetID, unsigned long command, DString message,
                         DString& reply, int msTimeOut) {
    return NoThrow(InstanceID, "MessageClient::Send", false,
                   [&] { return DoSend(targetID, command, message, reply, msTimeOut); });
}

bool MessageClient::Send(const char* targetID, unsigned long command, WString message,
                         int msTimeOut) {
    return NoThrow(InstanceID, "MessageClient::Send", false, [&] {
        WString reply;
        return DoSend(targetID, command, message, reply, msTimeOut);
    });
}

bool MessageClient::Send(const char* targetID, unsigned long command, WString message,
                         WString& reply, int msTimeOut) {
    return NoThrow(InstanceID, "MessageClient::Send", false,
                   [&] { return DoSend(targetID, command, message, reply, msTimeOut); });
}

bool MessageClient::DoSend(const char* targetID, unsigned long command, const DString& message,
                           DString& reply, int msTimeOut) {
    return SendFrame(targetID, command, message, reply, msTimeOut);
}

bool MessageClient::DoSend(const char* targetID, unsigned long command, const WString& message,
                           WString& reply, int msTimeOut) {
    return SendFrame(targetID, command, message, reply, msTimeOut);
}

template <typename S>
bool MessageClient::SendFrame(const char* targetID, unsigned long command, const S& message,
                              S& reply, int msTimeOut) {
    _debug("[%d] Enter MessageClient::DoSend, %d ---> <%s>, TimeOut : %d MS", InstanceID,
           static_cast<int>(command), targetID ? targetID : "", msTimeOut);
    if (!Connect()) {
        return false;
    }
    XDWHolder<MessageHead> head(new MessageHead(HeadType::Message));
    FillHead(*head, targetID, command, HeadFlag::AckRequested | WideFlag<S>(), msTimeOut);
    bool sent = PDUProxy->PDU->SendMessage(head, message);
    if (!sent) {
        // The connection may have gone stale since the last operation: one fresh try, with
        // the same MessageID so the target sees one message.
        _warning("[%d] MessageClient::DoSend, socket reconnecting ...", InstanceID);
        PDUProxy->PDU->Stream().Close();
        Connect();
        sent = PDUProxy->PDU->SendMessage(head, message);
    }
    if (!PDUProxy->PDU->IsConnected()) {
        _error("[%d] Leave MessageClient::DoSend, socket is closed ? Skip ReadAck", InstanceID);
        return false;
    }
    if (!sent) {
        _error("[%d] Leave MessageClient::DoSend, Target <%s> is offline ? Skip ReadAck",
               InstanceID, targetID ? targetID : "");
        PDUProxy->PDU->Stream().Reset();
        PDUProxy->PDU->Stream().Close();
        return false;
    }
    TmplBlockBuffer<unsigned char> replyBLOB;
    return DoReadAck(head->MessageID, reply, replyBLOB, msTimeOut);
}

bool MessageClient::DoReadAck(uint32_t expectedID, DString& reply,
                              TmplBlockBuffer<unsigned char>& blob, int msTimeOut) {
    return ReadAckOf(expectedID, reply, blob, msTimeOut);
}

bool MessageClient::DoReadAck(uint32_t expectedID, WString& reply,
                              TmplBlockBuffer<unsigned char>& blob, int msTimeOut) {
    return ReadAckOf(expectedID, reply, blob, msTimeOut);
}

template <typename S>
bool MessageClient::ReadAckOf(uint32_t expectedID, S& reply, TmplBlockBuffer<unsigned char>& blob,
                              int msTimeOut) {
    MessageHead head;
    if (PDUProxy->PDU->ReadAck(expectedID, head, reply, blob, msTimeOut)) {
        return true;
    }
    const S text = reply;
    reply.Empty();
    const DString source = head.GetSourceID();
    const DString target = head.GetTargetID();
    bool isError = false;
    if (head.Version > ProtocolVersion) {
        _error("Version mismatched from %s of CMD : %d of version 0x%0x (Server version : 0x%0x)",
               source.c_str(), head.Command, head.Version, ProtocolVersion);
    } else {
        isError = head.Magic == HeadMagic && head.Type == HeadType::Error;
    }
    if (isError) {
        _info("-DE-> [%d] Leave DoReadAck, get error <%s> -> <%s> of %d", head.MessageID,
              source.c_str(), target.c_str(), head.Value);
    } else {
        _info("-D?-> [%d] Leave DoReadAck, get unknown <%s> -> <%s> of %d", head.MessageID,
              source.c_str(), target.c_str(), head.Value);
    }
    EventArgs_Error args(head.Value);
    SetErrorText(args, text);
    args.SourceID = source;
    args.TargetID = target;
    args.Command = head.Command;
    AckError.Fire(nullptr, &args);
    return false;
}

} // namespace ORVEX::Tessary::Controller
