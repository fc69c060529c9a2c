#include "tests/support/RawFrameReceiver.h"
#include "tests/support/FrameBytes.h"

#include <cstring>

RawFrameReceiver::RawFrameReceiver(std::string id, int statusPort)
    : m_Id(std::move(id)), m_StatusPort(statusPort) {}

RawFrameReceiver::~RawFrameReceiver() { Stop(); }

bool RawFrameReceiver::Start() {
    if (!m_Client.Connect(m_StatusPort) || !m_Client.Listen(m_Id.c_str())) {
        return false;
    }
    m_Thread = std::thread([this] { ReadLoop(); });
    return true;
}

void RawFrameReceiver::Stop() {
    m_Stop = true;
    m_Client.Shutdown();
    if (m_Thread.joinable()) {
        m_Thread.join();
    }
    m_Client.Close();
}

void RawFrameReceiver::SetReply(const std::string& text) {
    std::lock_guard lock(m_Mutex);
    m_Reply = text;
}

void RawFrameReceiver::SetRecording(bool on) {
    std::lock_guard lock(m_Mutex);
    m_Recording = on;
}

void RawFrameReceiver::SetSilent(bool silent) {
    std::lock_guard lock(m_Mutex);
    m_Silent = silent;
}

std::vector<RawFrameReceiver::Frame> RawFrameReceiver::Messages() const {
    std::lock_guard lock(m_Mutex);
    return m_Messages;
}

bool RawFrameReceiver::WaitForMessages(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_Mutex);
    return m_Changed.wait_for(lock, timeout, [&] { return m_Messages.size() >= count; });
}

void RawFrameReceiver::Answer(const MessageHead& received) {
    std::unique_lock lock(m_Mutex);
    if (m_Silent) {
        return;
    }
    MessageHead head = AnswerHead(received, HeadType::Ack);
    head.Command = 0;
    head.TickCount = TickCount32();
    head.SetSourceID(m_Id.c_str());
    std::memcpy(head.TargetID, received.SourceID, IdFieldSize);
    FrameBuilder answer(head);
    if (!m_Reply.empty()) {
        answer.Body(m_Reply);
    } else {
        answer.WideBody(u"");
    }
    const Bytes frame = answer.Build();
    lock.unlock();
    m_Client.Send(frame.data(), frame.size());
}

void RawFrameReceiver::ReadLoop() {
    // A frame that has begun is read whole within a generous bound; between frames the stop
    // flag is looked at every 100 ms.
    while (!m_Stop) {
        if (!m_Client.Readable(rawframes::Millis(100))) {
            continue;
        }
        const auto frame = m_Client.Read(rawframes::Millis(20000));
        if (!frame) {
            break;
        }
        const MessageHead& head = frame->head;
        if (head.Type != HeadType::Message && head.Type != HeadType::MessageAlt) {
            continue;
        }
        {
            std::lock_guard lock(m_Mutex);
            if (m_Recording) {
                m_Messages.push_back({head, frame->body, static_cast<uint32_t>(frame->blob.size())});
            }
            m_Count.fetch_add(1);
            m_Changed.notify_all();
        }
        Answer(head);
    }
}
