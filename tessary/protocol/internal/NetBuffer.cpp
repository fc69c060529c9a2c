#include "tessary/protocol/internal/NetBuffer.h"

#include "tessary/external/Log.h"

NetBuffer::NetBuffer() : m_Socket(new Socket) {}

NetBuffer::~NetBuffer() {
    // The socket goes first; the stream sides follow as the bases are destroyed.
    m_Socket.LetGo();
}

void NetBuffer::Reset() {
    IStreamBuffer::Reset();
    OStreamBuffer::Reset();
}

int32_t NetBuffer::ReadSource(void* destination, uint32_t capacity) {
    if (Pending() > 0) {
        m_Hold = false;
        Flush();
    }
    return m_Socket ? m_Socket->Receive(static_cast<char*>(destination), capacity) : -1;
}

bool NetBuffer::WriteSink(const void* data, uint32_t n) {
    return m_Socket && m_Socket->SendBinary(static_cast<const char*>(data), n);
}

bool NetBuffer::Flush() { return m_Hold || OStreamBuffer::Flush(); }

bool NetBuffer::Close() {
    // Answers held back still go out when the connection ends while it is whole.
    m_Hold = false;
    if (Pending() > 0 && IsConnected()) {
        OStreamBuffer::Flush();
    }
    return !m_Socket || m_Socket->Close();
}

bool NetBuffer::Teardown() { return !m_Socket || m_Socket->Teardown(); }

bool NetBuffer::Connect(const char* host, uint32_t port) {
    _debug("Connecting to <%s : %d>", host ? host : "", static_cast<int>(port));
    // Bytes the last connection left unread belong to it; the new one starts with none.
    IStreamBuffer::Reset();
    return m_Socket && m_Socket->Open(host, port);
}

void NetBuffer::Cork(bool on) {
    if (m_Socket) {
        m_Socket->SetCork(on);
    }
}
