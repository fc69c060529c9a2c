#include "tessary/protocol/internal/BUSPostPDU.h"

#include "tessary/external/Log.h"
#include "tessary/protocol/internal/Command2String.h"
#include "tessary/protocol/internal/FastJsonEncoder.h"
#include "tessary/protocol/shared/FrameWriter.h"
#include "tessary/protocol/internal/LogLines.h"

#include <algorithm>

namespace {

enum class Sending { Message, BLOB };

void LogSending(Sending what, const MessageHead& head) {
    LogEmptyLine();
    if (!ORVEX::Log::IsEnabled(ORVEX::Log::Level::Traffic)) {
        return;
    }
    const DString target = head.GetTargetID();
    const DString name = Command2String::Lookup(head.Command);
    if (what == Sending::Message) {
        _tinfo("<-A-- [%d : %d] Sending message to <%s> of <%d (%s)>", head.MessageID,
               head.CallerID, target.c_str(), head.Command, name.c_str());
    } else {
        _tinfo("<-A-- [%d : %d] Sending BLOB to <%s> of <%d (%s)>", head.MessageID, head.CallerID,
               target.c_str(), head.Command, name.c_str());
    }
}

int BodyBytes(const MessageHead& head, int characters, int available) {
    const int n = head.HasFlag(HeadFlag::Wide) ? characters * 2 : characters;
    return std::min(n, available);
}

void SetWide(MessageHead& head, bool wide) {
    if (wide) {
        head.Flags |= HeadFlag::Wide;
    } else {
        head.Flags &= ~HeadFlag::Wide;
    }
}

} // namespace

bool BUSPostPDU::SendMessage(XDWHolder<MessageHead>& head, const DString& body) {
    const int n = BodyBytes(*head, body.GetLength(), body.GetLength());
    LogSending(Sending::Message, *head);
    WriteMessage(*m_Stream, *head, body.c_str(), n);
    return ReadReply();
}

bool BUSPostPDU::SendMessage(XDWHolder<MessageHead>& head, const WString& body) {
    const int n = BodyBytes(*head, body.GetLength(), body.GetLength() * 2);
    LogSending(Sending::Message, *head);
    WriteMessage(*m_Stream, *head, static_cast<const char16_t*>(body), n);
    return ReadReply();
}

bool BUSPostPDU::SendBLOB(XDWHolder<MessageHead>& head, const DString& body,
                          const TmplBlockBuffer<unsigned char>& blob) {
    SetWide(*head, false);
    LogSending(Sending::BLOB, *head);
    WriteBLOB(*m_Stream, *head, body.c_str(), body.GetLength(), blob);
    return ReadReply();
}

bool BUSPostPDU::SendBLOB(XDWHolder<MessageHead>& head, const WString& body,
                          const TmplBlockBuffer<unsigned char>& blob) {
    SetWide(*head, true);
    LogSending(Sending::BLOB, *head);
    WriteBLOB(*m_Stream, *head, static_cast<const char16_t*>(body), body.GetLength() * 2, blob);
    return ReadReply();
}

bool BUSPostPDU::SendBLOBStream(XDWHolder<MessageHead>& head, const DString& body,
                                BUSStreamWriter writer) {
    SetWide(*head, false);
    LogSending(Sending::BLOB, *head);
    WriteBLOBStream(*m_Stream, *head, body.c_str(), body.GetLength(), writer);
    // The application's writer and whatever it captured go before the answer is awaited.
    writer = nullptr;
    return ReadReply();
}

bool BUSPostPDU::SendBLOBStream(XDWHolder<MessageHead>& head, const WString& body,
                                BUSStreamWriter writer) {
    SetWide(*head, true);
    LogSending(Sending::BLOB, *head);
    WriteBLOBStream(*m_Stream, *head, static_cast<const char16_t*>(body), body.GetLength() * 2,
                    writer);
    writer = nullptr;
    return ReadReply();
}

bool BUSPostPDU::BUSSetting(const char* sourceID, int32_t command, const DString& text,
                            uint32_t callerID) {
    XDWHolder<MessageHead> head(new MessageHead(HeadType::Setting));
    head->CallerID = callerID;
    head->TickCount = TickCount32();
    head->Flags &= ~HeadFlag::AckRequested;
    head->Command = command;
    head->SetSourceID(sourceID);
    head->SetTargetID(BUSServerID);
    Socket& socket = GetSocket();
    const int saved = socket.ReceiveTimeOut();
    socket.SetReceiveTimeOut(5);
    head->TimeOut = 5000;
    head->Flags &= ~HeadFlag::Wide;
    const bool result = SendMessage(head, text);
    _debug("Leave PostPDU.BUSSetting");
    if (saved > 0) {
        socket.SetReceiveTimeOut(saved);
    }
    return result;
}

bool BUSPostPDU::PostTcpNoDelay(const char* sourceID, uint32_t callerID) {
    FastJsonEncoder<DString> encoder;
    encoder.Add("TcpNoDelay", 1);
    BUSSetting(sourceID, FixedCommand::TcpNoDelaySetting, encoder.Encode(), callerID);
    return true;
}
