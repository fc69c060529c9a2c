#pragma once

#include "tessary/Export.h"
#include "tessary/client/MessageClient.h"
#include "tessary/external/DString.h"
#include "tessary/external/WString.h"
#include "tessary/foundation/TmplBlockBuffer.h"

namespace ORVEX::Tessary::Controller {

// Sends a message together with a block of bytes (a BLOB) whose size is known before sending.
// SendBLOB waits up to its time-out for the target's acknowledgement, which may carry a reply
// text and a reply BLOB; PostBLOB returns once the bus server took the frame. The BLOB is
// shared with the caller through its reference count and only read, never changed. Overloads
// without a message send an empty 8-bit one; a reply the caller does not ask for is dropped.
//
// Unlike MessageClient::Send, a SendBLOB whose frame the bus server refuses is not sent again
// on a fresh connection: a BLOB may be large, and the refusal usually means the target is
// gone. A refused SendBLOB leaves the client disconnected; the next operation connects again.
class TESSARY_EXPORT BLOBClient : public MessageClient {
public:
    BLOBClient();
    ~BLOBClient() override;

    void Close() override;

    bool SendBLOB(const char* targetID, unsigned long command, TmplBlockBuffer<unsigned char> blob,
                  int msTimeOut = Client::gDefMSTimeOut);
    bool SendBLOB(const char* targetID, unsigned long command, TmplBlockBuffer<unsigned char> blob,
                  TmplBlockBuffer<unsigned char>& replyBLOB, int msTimeOut = Client::gDefMSTimeOut);
    bool SendBLOB(const char* targetID, unsigned long command, DString message,
                  TmplBlockBuffer<unsigned char> blob, int msTimeOut = Client::gDefMSTimeOut);
    bool SendBLOB(const char* targetID, unsigned long command, WString message,
                  TmplBlockBuffer<unsigned char> blob, int msTimeOut = Client::gDefMSTimeOut);
    bool SendBLOB(const char* targetID, unsigned long command, DString message,
                  TmplBlockBuffer<unsigned char> blob, TmplBlockBuffer<unsigned char>& replyBLOB,
                  int msTimeOut = Client::gDefMSTimeOut);
    bool SendBLOB(const char* targetID, unsigned long command, WString message,
                  TmplBlockBuffer<unsigned char> blob, TmplBlockBuffer<unsigned char>& replyBLOB,
                  int msTimeOut = Client::gDefMSTimeOut);
    bool SendBLOB(const char* targetID, unsigned long command, DString message,
                  TmplBlockBuffer<unsigned char> blob, DString& reply,
                  int msTimeOut = Client::gDefMSTimeOut);
    bool SendBLOB(const char* targetID, unsigned long command, WString message,
                  TmplBlockBuffer<unsigned char> blob, WString& reply,
                  int msTimeOut = Client::gDefMSTimeOut);
    bool SendBLOB(const char* targetID, unsigned long command, DString message,
                  TmplBlockBuffer<unsigned char> blob, DString& reply,
                  TmplBlockBuffer<unsigned char>& replyBLOB, int msTimeOut = Client::gDefMSTimeOut);
    bool SendBLOB(const char* targetID, unsigned long command, WString message,
                  TmplBlockBuffer<unsigned char> blob, WString& reply,
                  TmplBlockBuffer<unsigned char>& replyBLOB, int msTimeOut = Client::gDefMSTimeOut);

    // The time-out travels in the frame although nothing waits for an acknowledgement.
    bool PostBLOB(const char* targetID, unsigned long command, TmplBlockBuffer<unsigned char> blob,
                  int msTimeOut = Client::gDefMSTimeOut);
    bool PostBLOB(const char* targetID, unsigned long command, DString message,
                  TmplBlockBuffer<unsigned char> blob, int msTimeOut = Client::gDefMSTimeOut);
    bool PostBLOB(const char* targetID, unsigned long command, WString message,
                  TmplBlockBuffer<unsigned char> blob, int msTimeOut = Client::gDefMSTimeOut);

protected:
    // The full send, one per string type; every SendBLOB overload ends here. On success reply
    // and replyBLOB hold what the acknowledgement carried; on failure reply is emptied and
    // AckError raised when an acknowledgement was awaited.
    bool DoSendBLOB(const char* targetID, unsigned long command, const DString& message,
                    const TmplBlockBuffer<unsigned char>& blob, DString& reply,
                    TmplBlockBuffer<unsigned char>& replyBLOB, int msTimeOut);
    bool DoSendBLOB(const char* targetID, unsigned long command, const WString& message,
                    const TmplBlockBuffer<unsigned char>& blob, WString& reply,
                    TmplBlockBuffer<unsigned char>& replyBLOB, int msTimeOut);
    bool DoPostBLOB(const char* targetID, unsigned long command, const DString& message,
                    const TmplBlockBuffer<unsigned char>& blob, int msTimeOut);
    bool DoPostBLOB(const char* targetID, unsigned long command, const WString& message,
                    const TmplBlockBuffer<unsigned char>& blob, int msTimeOut);

private:
    template <typename S>
    bool SendBLOBFrame(const char* targetID, unsigned long command, const S& message,
                       const TmplBlockBuffer<unsigned char>& blob, S& reply,
                       TmplBlockBuffer<unsigned char>& replyBLOB, int msTimeOut);
    template <typename S>
    bool PostBLOBFrame(const char* targetID, unsigned long command, const S& message,
                       const TmplBlockBuffer<unsigned char>& blob, int msTimeOut);
};

} // namespace ORVEX::Tessary::Controller
