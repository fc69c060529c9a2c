#include "tessary/protocol/internal/BUSNetPDU.h"

#include "tessary/external/Log.h"
#include "tessary/protocol/shared/FrameWriter.h"
#include "tessary/protocol/internal/LogLines.h"
#include "tessary/protocol/internal/ReceiveTimeOutScope.h"

#include <atomic>

namespace {

// Raised by the receivers' subscriptions, read by Subscribe. Atomic only so that receivers on
// several threads do not race; nothing depends on the order of two subscriptions.
std::atomic<uint32_t> gSubscriptionCounter{0};

} // namespace

uint32_t SubscriptionCounter() { return gSubscriptionCounter.load(); }

uint32_t RaiseSubscriptionCounter() { return gSubscriptionCounter.fetch_add(1) + 1; }

BUSNetPDU::BUSNetPDU() {
    m_Stream.Attach(new NetBuffer());
    // The NetBuffer comes with a plain socket; the session needs one that reports its errors.
    m_Stream->Reset();
    m_Stream->Close();
    m_Stream->SocketHolder().Attach(new BUSNetSocket());
    AddClassHandler(GetSocket().SocketError, this, &BUSNetPDU::OnSocketError);
}

BUSNetPDU::~BUSNetPDU() {
    // Another holder may keep the connection alive after us; its socket must not call back
    // into a session that is gone.
    RemoveClassHandler(GetSocket().SocketError, this, &BUSNetPDU::OnSocketError);
}

BUSNetSocket& BUSNetPDU::GetSocket() const {
    return static_cast<BUSNetSocket&>(*m_Stream->SocketHolder());
}

bool BUSNetPDU::Connect(const char* host, int port) {
    return m_Stream->Connect(host, static_cast<uint32_t>(port));
}

bool BUSNetPDU::IsConnected() const { return m_Stream->IsConnected(); }

void BUSNetPDU::FireError(int code, const char* text) {
    EventArgs_Error args(code, text, "BUSNetPDU");
    PDUError.Fire(nullptr, &args);
}

void BUSNetPDU::OnSocketError(const void*, EventArgs_Error* args) {
    args->SysCode = args->Code;
    args->Code = EventArgs_Error::NothingRead;
    PDUError.Fire(nullptr, args);
}

bool BUSNetPDU::Request(MessageHead& head, MessageHead& reply, int32_t timeOut) {
    WriteHead(*m_Stream, head);
    return ReadReply(reply, timeOut);
}

DString BUSNetPDU::SetUniqueSourceID(const char* id, uint32_t callerID) {
    _debug("Enter SetUniqueSourceID for <%s>", id ? id : "");
    DString result(id);
    MessageHead head(HeadType::UniqueSourceID);
    head.TickCount = TickCount32();
    head.CallerID = callerID;
    head.SetSourceID(id);
    head.SetTargetID(id);
    LogEmptyLine();
    _tinfo("<-A-- [%d : %d] Sending UniqueSourceID from <%s>", head.MessageID, head.CallerID,
           id ? id : "");
    MessageHead reply(HeadType::Reply);
    if (Request(head, reply, ReplyTimeOut)) {
        result = reply.GetTargetID();
    }
    _debug("Leave PDU.SetUniqueSourceID, get <%s>", result.c_str());
    return result;
}

bool BUSNetPDU::Enquiry(const char* sourceID, const char* targetID, uint32_t callerID) {
    MessageHead head(HeadType::Enquiry);
    head.TickCount = TickCount32();
    head.CallerID = callerID;
    head.SetSourceID(sourceID);
    head.SetTargetID(targetID);
    LogEmptyLine();
    _tinfo("<-A-- [%d : %d] Sending Enquiry to <%s>", head.MessageID, head.CallerID,
           head.GetTargetID().c_str());
    MessageHead reply(HeadType::Reply);
    return Request(head, reply, ReplyTimeOut);
}

bool BUSNetPDU::Subscribe(const char* sourceID, int32_t command, int32_t timeOut) {
    MessageHead head(HeadType::Subscribe);
    head.TickCount = TickCount32();
    head.CallerID = SubscriptionCounter();
    head.Command = command;
    head.SetSourceID(sourceID);
    head.SetTargetID(BUSServerID);
    LogEmptyLine();
    _tinfo("<-A-- [%d : %d] Sending Subscribe to <%s>", head.MessageID, head.CallerID,
           head.GetTargetID().c_str());
    MessageHead reply(HeadType::Reply);
    return Request(head, reply, timeOut);
}

bool BUSNetPDU::ReadReply() {
    MessageHead reply(HeadType::Reply);
    return ReadReply(reply, ReplyTimeOut);
}

bool BUSNetPDU::ReadReply(MessageHead& reply, int32_t timeOut) {
    ReceiveTimeOutScope scope(GetSocket(), timeOut);
    // Both reads run before either count is looked at, as the answer is always 88 + 16 bytes.
    const int32_t cbHead = m_Stream->ReadBytes(&reply, sizeof(MessageHead));
    Tail tail;
    const int32_t cbTail = m_Stream->ReadBytes(&tail, sizeof(Tail));

    const auto fail = [this](int code, const char* text) {
        LogEmptyLine();
        FireError(code, text);
        return false;
    };
    if (cbHead <= 0) {
        _error("Leave ReadReply due to failed to Read.Reply");
        return fail(EventArgs_Error::NothingRead, "Read.Reply");
    }
    if (cbHead < static_cast<int32_t>(sizeof(MessageHead))) {
        _error("Leave ReadReply due to invalid Reply, %d < %d", cbHead,
               static_cast<int>(sizeof(MessageHead)));
        return fail(EventArgs_Error::Malformed, "Invalid Reply");
    }
    if (cbTail <= 0) {
        _error("Leave ReadReply due to failed to Read.Tail");
        return fail(EventArgs_Error::NothingRead, "Read.Tail");
    }
    if (cbTail < static_cast<int32_t>(sizeof(Tail))) {
        _error("Leave ReadReply due to invalid Tail, %d < %d", cbTail,
               static_cast<int>(sizeof(Tail)));
        return fail(EventArgs_Error::Malformed, "Invalid Tail");
    }
    if (!tail.Is()) {
        _error("Leave ReadReply due to invalid Tail.");
        return fail(EventArgs_Error::Malformed, "Invalid Tail");
    }

    if (reply.Is(HeadType::Reply)) {
        _tinfo("--R-> [%d : %d] Leave ReadReply, get reply <%s> -> <%s>", reply.MessageID,
               reply.CallerID, reply.GetSourceID().c_str(), reply.GetTargetID().c_str());
        LogEmptyLine();
        return true;
    }
    if (reply.Is(HeadType::Failed)) {
        _tinfo("--F-> [%d : %d] Leave ReadReply, get failed <%s> -> <%s>", reply.MessageID,
               reply.CallerID, reply.GetSourceID().c_str(), reply.GetTargetID().c_str());
        LogEmptyLine();
        FireError(EventArgs_Error::Refused, "Failed when ReadReply (from BUS Server)");
        return false;
    }
    LogEmptyLine();
    _error("--X-- [%d] Leave ReadReply, get an invalid MessageHead : 0x%0x", reply.MessageID,
           reply.Type);
    _error("The Socket will be teardown now !!!");
    LogEmptyLine();
    // The stream is somewhere inside an unknown frame; only a new connection can resync.
    m_Stream->Teardown();
    FireError(EventArgs_Error::Malformed, "Invalid MessageHead");
    return false;
}
