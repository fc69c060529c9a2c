#pragma once

#include "tessary/external/EventArgs.h"
#include "tessary/foundation/internal/Socket.h"
#include "tessary/foundation/UnsafeDelegate.h"

// The socket of a command session: every socket failure becomes an error event that the
// session relays to its owner.
class BUSNetSocket : public Socket {
public:
    BUSNetSocket() = default;
    ~BUSNetSocket() override = default;

    // Raised on the thread whose socket call failed, with a null sender.
    void OnError(int32_t code) override;

    _tUnsafeDelegate<EventArgs_Error> SocketError;
};
