#include "tools/Listener.h"

#include "tools/BlobFiles.h"
#include "tools/Format.h"

#include "tessary/protocol/shared/MessageHead.h"

#include <fmt/format.h>

namespace tool {

namespace {

std::string SenderText(const EventArgs_BUSMessage& e) {
    return e.SourceID.IsEmpty() ? std::string("(no source id)") : e.SourceID.str();
}

// The message's text, which comes in one of the two fields, and a mark for 16-bit text;
// a preview of it unless full.
std::string MessageText(const EventArgs_BUSMessage& e, bool full, bool& wide) {
    wide = e.Message.IsEmpty() && !e.WMessage.IsEmpty();
    if (!wide) {
        return full ? OneLine(e.Message.str()) : Preview(e.Message.str());
    }
    const std::u16string& text = e.WMessage.str();
    if (full || text.size() <= PreviewLength) {
        return OneLine(e.WMessage.ToDString().str());
    }
    // Only the previewed characters are converted; a surrogate pair is kept whole.
    size_t cut = PreviewLength;
    if (text[cut - 1] >= 0xD800 && text[cut - 1] <= 0xDBFF) {
        --cut;
    }
    return OneLine(WString(text.substr(0, cut)).ToDString().str()) +
           fmt::format("... ({} bytes)", text.size() * 2);
}

} // namespace

Listener::Listener(const BusOptions& bus, const std::string& id, ListenAnswer answer,
                   std::FILE* out)
    : BusReceiver(bus), m_Answer(std::move(answer)), m_Out(out) {
    SetSourceID(id.c_str());
    HeartbeatEvent.Add(C11DelegateHandler<EventArgs_Null>(
        [this](const void*, EventArgs_Null*) { Print("heartbeat"); }));
    Heartbeat1MinuteEvent.Add(C11DelegateHandler<EventArgs_Null>(
        [this](const void*, EventArgs_Null*) { Print("heartbeat 1 minute"); }));
    Heartbeat5MinuteEvent.Add(C11DelegateHandler<EventArgs_Null>(
        [this](const void*, EventArgs_Null*) { Print("heartbeat 5 minutes"); }));
    ServerOnlineEvent.Add(C11DelegateHandler<EventArgs_Int>([this](const void*, EventArgs_Int* e) {
        ServerEvent(e != nullptr ? e->Value : 0, true);
    }));
    ServerOfflineEvent.Add(
        C11DelegateHandler<EventArgs_Int>([this](const void*, EventArgs_Int* e) {
            ServerEvent(e != nullptr ? e->Value : 0, false);
        }));
}

Listener::~Listener() {
    StopWait();
}

void Listener::Print(const std::string& line) {
    std::lock_guard lock(m_Mutex);
    std::fputs((line + "\n").c_str(), m_Out);
    std::fflush(m_Out);
}

void Listener::ServerEvent(int statusPort, bool online) {
    {
        std::lock_guard lock(m_Mutex);
        const auto it = m_Servers.find(statusPort);
        // A bus server that stays away is tried again every few hundred milliseconds, each
        // attempt an off-line event: only the change is worth a line.
        if (!online && it != m_Servers.end() && !it->second) {
            return;
        }
        m_Servers[statusPort] = online;
    }
    Print(fmt::format("{} bus server on status port {}", online ? "online " : "offline",
                      statusPort));
}

int Listener::OnlineServers() const {
    std::lock_guard lock(m_Mutex);
    int count = 0;
    for (const auto& [port, online] : m_Servers) {
        count += online ? 1 : 0;
    }
    return count;
}

void Listener::Answer(EventArgs_BUSMessage& e, const std::string& defaultReply) const {
    if (m_Answer.ErrorCode != 0) {
        e.ResultCode = m_Answer.ErrorCode;
        e.ReplyText =
            m_Answer.Reply.empty() ? DString("refused by tessary listen") : DString(m_Answer.Reply);
        return;
    }
    e.ReplyText = m_Answer.Reply.empty() ? DString(defaultReply) : DString(m_Answer.Reply);
}

bool Listener::RelayMessage(unsigned long command, const void*, EventArgs_BUSMessage* e) {
    // The bus server's on-line report is shown by its event; it wants no answer of ours.
    if (e == nullptr || (command == static_cast<unsigned long>(FixedCommand::ServerOnline) &&
                         e->SourceID.str() == BUSServerID)) {
        return true;
    }
    bool wide = false;
    const std::string text = MessageText(*e, m_Answer.FullText, wide);
    Print(fmt::format("message {} from {}{}: {}", command, SenderText(*e), wide ? " (16-bit)" : "",
                      text));
    Answer(*e, "received");
    ++m_Received;
    return true;
}

bool Listener::RelayBLOB(unsigned long command, const void*, EventArgs_BUSBLOB* e) {
    if (e == nullptr) {
        return true;
    }
    const auto length = static_cast<size_t>(e->BLOB.Length());
    bool wide = false;
    const std::string text = MessageText(*e, m_Answer.FullText, wide);
    std::string line = fmt::format("BLOB {} from {}: {} bytes", command, SenderText(*e), length);
    if (!text.empty()) {
        line += fmt::format(", text{} \"{}\"", wide ? " (16-bit)" : "", text);
    }
    if (!m_Answer.SaveDir.empty()) {
        std::string error;
        const std::string path =
            SaveUnique(m_Answer.SaveDir, fmt::format("{}-{}", SenderText(*e), command),
                       e->BLOB.GetData(), length, error);
        line += path.empty() ? ", not saved: " + error : ", saved to " + path;
    }
    Print(line);
    Answer(*e, fmt::format("received {} bytes", length));
    if (m_Answer.EchoBLOB && m_Answer.ErrorCode == 0) {
        e->ReplyBLOB = e->BLOB;
    }
    ++m_Received;
    return true;
}

} // namespace tool
