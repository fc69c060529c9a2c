#include "tessary/receiver/internal/WaitConnection.h"

#include "tessary/external/Log.h"
#include "tessary/protocol/shared/FrameReader.h"
#include "tessary/protocol/shared/FrameWriter.h"
#include "tessary/protocol/internal/LogLines.h"

#include <utility>

namespace {

struct AnswerBody {
    const void* Data;
    int Length;
};

// The 8-bit reply when there is one, else the wide one; the Wide flag follows, so an answer
// without any text goes out wide and empty.
AnswerBody ChooseBody(MessageHead& head, const DString& reply, const WString& wreply) {
    if (!reply.IsEmpty()) {
        head.Flags &= ~HeadFlag::Wide;
        return {reply.c_str(), reply.GetLength()};
    }
    head.Flags |= HeadFlag::Wide;
    return {static_cast<const char16_t*>(wreply), wreply.GetLength() * 2};
}

// Traffic lines are off unless asked for; their texts are only built when they go out.
bool Traffic() { return ORVEX::Log::IsEnabled(ORVEX::Log::Level::Traffic); }

DString SizeText(const MessageHead& head) {
    return head.cbMessage > 0 ? DString::FromFormat(", %3d bytes", head.cbMessage) : DString();
}

} // namespace

bool WaitConnection::FireMessage(MessageHead& head) {
    LogEmptyLine();
    const bool traffic = Traffic();
    if (traffic) {
        _tinfo("--B-> %sWaitServer get a message of %d bytes%s", TraceTag(head).c_str(),
               head.cbMessage, BLOBSizeSuffix(head.cbBLOB).c_str());
    }

    // A frame whose rest cannot be read is still fired with what arrived; the reader has
    // logged why, and the caller renews the connection.
    DString text;
    WString wtext;
    TmplBlockBuffer<unsigned char> block;
    if (head.cbBLOB > 0) {
        // The last BLOB's block takes this one when the application let it go: its pages are
        // mapped already, so filling it again costs no page faults.
        block = m_LastBLOB;
        m_LastBLOB.LetGo();
    }
    const bool read =
        NetRead(m_Connection.Stream(), head, text, wtext, block, m_Settings.MaxFrameBytes);

    const DString route = traffic ? CommandRouteText(head) : DString();
    if (traffic) {
        _tinfo("<---- %sWaitServer will fire a Message %s", TraceTag(head).c_str(), route.c_str());
    }
    if (head.Command == FixedCommand::ServerOnline) {
        FireOnline();
    }

    // Once the wait server is being stopped nothing more goes to the application: the handler
    // of the on-line report above, or one on another thread, may have let the receiver go. The
    // message is still answered, empty.
    const auto command = static_cast<uint32_t>(head.Command);
    // Counted before the answer goes out, so whoever has the answer also sees the count.
    ++m_MessageCount;
    const uint32_t begin = TickCount32();
    // The body moves into the record: a copy would hold a long body twice while the handler
    // runs.
    const auto takeBody = [&](EventArgs_BUSMessage& args) {
        args.Message = std::move(text);
        args.WMessage = std::move(wtext);
    };
    if (head.HasFlag(HeadFlag::BLOB)) {
        EventArgs_BUSBLOB args(command, head.GetSourceID(), head.GetTargetID(), DString(),
                               WString(), head.MessageID, block);
        takeBody(args);
        if (m_Settings.BLOBHandler && !Stopping()) {
            m_Settings.BLOBHandler(command, nullptr, &args);
        }
        if (traffic) {
            _tinfo("<---- %sWaitServer has fired a Data %s, elapsed %d (ms)",
                   TraceTag(head).c_str(), route.c_str(), static_cast<int>(TickCount32() - begin));
        }
        Answer(head, args, args.ReplyBLOB);
        if (block.Length() >= static_cast<int>(TmplBlockBuffer<unsigned char>::MappedThreshold)) {
            m_LastBLOB = block;
        }
    } else {
        EventArgs_BUSMessage args(command, head.GetSourceID(), head.GetTargetID(), DString(),
                                  WString(), head.MessageID);
        takeBody(args);
        if (m_Settings.MessageHandler && !Stopping()) {
            m_Settings.MessageHandler(command, nullptr, &args);
        }
        if (traffic) {
            _tinfo("<---- %sWaitServer has fired a Message %s, elapsed %d (ms)",
                   TraceTag(head).c_str(), route.c_str(), static_cast<int>(TickCount32() - begin));
        }
        Answer(head, args, TmplBlockBuffer<unsigned char>());
    }
    return read;
}

void WaitConnection::Answer(const MessageHead& received, const EventArgs_BUSMessage& args,
                            const TmplBlockBuffer<unsigned char>& replyBLOB) {
    if (args.ResultCode != 0) {
        SendError(received, args.ResultCode, args.ReplyText, args.WReplyText);
    } else {
        SendAck(received, args.ReplyText, args.WReplyText, replyBLOB);
    }
}

bool WaitConnection::SendAck(const MessageHead& received, const DString& reply,
                             const WString& wreply, const TmplBlockBuffer<unsigned char>& block) {
    MessageHead head = AnswerHead(received, HeadType::Ack, m_Settings.SourceID.c_str());
    head.Command = 0;
    const bool traffic = Traffic();
    const DString route =
        traffic ? RouteText(m_Settings.SourceID, received.GetSourceID()) : DString();
    if (traffic) {
        _tinfo("  -   %sEnter SendAck, %s", TraceTag(head).c_str(), route.c_str());
    }
    const AnswerBody body = ChooseBody(head, reply, wreply);
    NetBuffer& stream = m_Connection.Stream();
    // Nobody waits for the acknowledgement of a post: while the next frame is already read, a
    // small one is held back to leave with the answers after it, in one send.
    stream.HoldOutput(!received.HasFlag(HeadFlag::AckRequested) && block.Length() == 0 &&
                      body.Length < static_cast<int>(OutBuffer::DefaultChunkSize) &&
                      stream.Buffered() > 0);
    WriteBLOB(stream, head, body.Data, body.Length, block);
    stream.HoldOutput(false);
    if (traffic) {
        _tinfo("<-C-- %sLeave SendAck, %s%s", TraceTag(head).c_str(), route.c_str(),
               SizeText(head).c_str());
    }
    LogEmptyLine();
    return true;
}

bool WaitConnection::SendError(const MessageHead& received, int code, const DString& reply,
                               const WString& wreply) {
    MessageHead head = AnswerHead(received, HeadType::Error, m_Settings.SourceID.c_str());
    head.Value = code;
    const bool traffic = Traffic();
    const DString route =
        traffic ? RouteText(m_Settings.SourceID, received.GetSourceID()) : DString();
    if (traffic) {
        _tinfo("  -   %sEnter SendError, %s of %d", TraceTag(head).c_str(), route.c_str(), code);
    }
    const AnswerBody body = ChooseBody(head, reply, wreply);
    WriteMessage(m_Connection.Stream(), head, body.Data, body.Length);
    if (traffic) {
        _tinfo("<-CE- %sLeave SendError, %s of %d%s", TraceTag(head).c_str(), route.c_str(),
               code, SizeText(head).c_str());
    }
    return true;
}
