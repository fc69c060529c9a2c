#pragma once

#include "tessary/Export.h"
#include "tessary/client/Client.h"
#include "tessary/external/WString.h"
#include "tessary/foundation/TmplBlockBuffer.h"

#include <cstdint>

struct MessageHead;

namespace ORVEX::Tessary::Controller {

// Sends text messages to a target id through the bus server. Post and Forward return once the
// bus server took the frame; Send also waits up to its time-out for the target's
// acknowledgement and can hand its reply text back. 8-bit bodies travel byte for byte, 16-bit
// bodies as UTF-16 code units with the Wide flag.
class TESSARY_EXPORT MessageClient : public Client {
public:
    MessageClient();
    ~MessageClient() override;

    void Close() override;

    bool Post(const char* targetID, unsigned long command, DString message);
    bool Post(const char* targetID, unsigned long command, WString message);
    bool Forward(const char* targetID, unsigned long command, DString message);
    bool Forward(const char* targetID, unsigned long command, WString message);
    bool Send(const char* targetID, unsigned long command, DString message,
              int msTimeOut = Client::gDefMSTimeOut);
    bool Send(const char* targetID, unsigned long command, DString message, DString& reply,
              int msTimeOut = Client::gDefMSTimeOut);
    bool Send(const char* targetID, unsigned long command, WString message,
              int msTimeOut = Client::gDefMSTimeOut);
    bool Send(const char* targetID, unsigned long command, WString message, WString& reply,
              int msTimeOut = Client::gDefMSTimeOut);

    // Raised, after the session's own BusError, when a send gets no positive acknowledgement:
    // Code is the acknowledgement's Value (0 when none came), the text its body.
    _tUnsafeDelegate<EventArgs_Error> AckError;

protected:
    // Fills a Message head for this client: CallerID, Command, the ids cut to 16 bytes, Flags
    // and TimeOut as given.
    void FillHead(MessageHead& head, const char* targetID, unsigned long command, uint32_t flags,
                  int msTimeOut) const;

    bool DoSend(const char* targetID, unsigned long command, const DString& message,
                DString& reply, int msTimeOut);
    bool DoSend(const char* targetID, unsigned long command, const WString& message,
                WString& reply, int msTimeOut);
    // Reads the acknowledgement of expectedID into reply and blob. Anything but the expected
    // Ack empties reply, logs the "-DE->" or "-D?->" line and raises AckError.
    bool DoReadAck(uint32_t expectedID, DString& reply, TmplBlockBuffer<unsigned char>& blob,
                   int msTimeOut);
    bool DoReadAck(uint32_t expectedID, WString& reply, TmplBlockBuffer<unsigned char>& blob,
                   int msTimeOut);

private:
    template <typename S>
    bool PostFrame(const char* operation, const char* targetID, unsigned long command,
                   const S& message, uint32_t flags);
    template <typename S>
    bool SendFrame(const char* targetID, unsigned long command, const S& message, S& reply,
                   int msTimeOut);
    template <typename S>
    bool ReadAckOf(uint32_t expectedID, S& reply, TmplBlockBuffer<unsigned char>& blob,
                   int msTimeOut);
};

} // namespace ORVEX::Tessary::Controller
