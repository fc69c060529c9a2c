#pragma once

#include "tessary/foundation/internal/Socket.h"

#include <cstdint>

// Puts a caller's time-out, in whole seconds, on a socket for the length of one read and puts
// the socket's own back afterwards. A time-out below one second leaves the socket's own in
// force, and a saved value of 0 (a polling socket) is not put back.
class ReceiveTimeOutScope {
public:
    ReceiveTimeOutScope(Socket& socket, int32_t timeOutMs) : m_Socket(socket) {
        const int32_t seconds = timeOutMs / 1000;
        if (seconds > 0) {
            m_Saved = socket.ReceiveTimeOut();
            m_HasSaved = true;
            socket.SetReceiveTimeOut(seconds);
        }
    }
    ReceiveTimeOutScope(const ReceiveTimeOutScope&) = delete;
    ReceiveTimeOutScope& operator=(const ReceiveTimeOutScope&) = delete;
    ~ReceiveTimeOutScope() {
        if (m_HasSaved && m_Saved > 0) {
            m_Socket.SetReceiveTimeOut(m_Saved);
        }
    }

private:
    Socket& m_Socket;
    int m_Saved = 0;
    bool m_HasSaved = false;
};
