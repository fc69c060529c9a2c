#include "testkit/RawFrameReceiver.h"

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

void RawFrameReceiver::SetReply(std::string text) {
    std::lock_guard lock(m_Mutex);
    m_Reply = std::move(text);
}

std::vector<PeerFrame> RawFrameReceiver::Messages() const {
    std::lock_guard lock(m_Mutex);
    return m_Messages;
}

bool RawFrameReceiver::WaitForMessages(size_t count, Millis timeout) const {
    std::unique_lock lock(m_Mutex);
    return m_Changed.wait_for(lock, timeout, [&] { return m_Messages.size() >= count; });
}

void RawFrameReceiver::ReadLoop() {
    // A frame that has begun is read whole within a generous bound; between frames the stop
    // flag is looked at every 100 ms.
    while (!m_Stop) {
        if (!m_Client.Readable(Millis(100))) {
            continue;
        }
        auto frame = m_Client.Read(Millis(20000));
        if (!frame) {
            break;
        }
        const MessageHead received = frame->Head;
        if (received.Type != HeadType::Message && received.Type != HeadType::MessageAlt) {
            continue;
        }
        std::unique_lock lock(m_Mutex);
        if (m_Record) {
            m_Messages.push_back(std::move(*frame));
        }
        m_Count.fetch_add(1);
        m_Changed.notify_all();
        MessageHead head = AnswerHead(received, HeadType::Ack, m_Id.c_str());
        head.Command = 0;
        FrameBuilder answer(head);
        if (m_Reply.empty()) {
            answer.WideBody(u"");
        } else {
            answer.Body(m_Reply);
        }
        lock.unlock();
        m_Client.Send(answer.Build());
    }
}
