#pragma once

#include "tessary/Export.h"
#include "tessary/client/MessageClient.h"
#include "tessary/external/DString.h"
#include "tessary/external/WString.h"
#include "tessary/foundation/TmplBlockBuffer.h"
#include "tessary/protocol/BUSStream.h"

#include <functional>

namespace ORVEX::Tessary::Controller {

// Sends a message with a BLOB that the application writes while the frame goes out, so its
// size need not be known and it need never be whole in memory. The library calls the writer
// once, on the calling thread, with a BUSStream bound to the connection; every Write with a
// positive length leaves at once as one chunk. Otherwise it behaves as BLOBClient: the same
// overloads, flags, acknowledgement and failures.
//
// The writer is never called when the bus cannot be reached. An empty writer is refused
// before anything is connected or written. A writer that throws leaves the frame unfinished:
// the connection is dropped (the receiver never sees the partial BLOB as whole) and the call
// answers false. The library works on its own copy of the writer and destroys it before
// returning; the caller's writer is left as it was.
class TESSARY_EXPORT BLOBStreamClient : public MessageClient {
public:
    using Writer = std::function<void(BUSStream)>;

    BLOBStreamClient();
    ~BLOBStreamClient() override;

    void Close() override;

    bool SendBLOB(const char* targetID, unsigned long command, std::function<void(BUSStream)> writer,
                  int msTimeOut = Client::gDefMSTimeOut);
    bool SendBLOB(const char* targetID, unsigned long command, std::function<void(BUSStream)> writer,
                  TmplBlockBuffer<unsigned char>& replyBLOB, int msTimeOut = Client::gDefMSTimeOut);
    bool SendBLOB(const char* targetID, unsigned long command, DString message,
                  std::function<void(BUSStream)> writer, int msTimeOut = Client::gDefMSTimeOut);
    bool SendBLOB(const char* targetID, unsigned long command, WString message,
                  std::function<void(BUSStream)> writer, int msTimeOut = Client::gDefMSTimeOut);
    bool SendBLOB(const char* targetID, unsigned long command, DString message,
                  std::function<void(BUSStream)> writer, TmplBlockBuffer<unsigned char>& replyBLOB,
                  int msTimeOut = Client::gDefMSTimeOut);
    bool SendBLOB(const char* targetID, unsigned long command, WString message,
                  std::function<void(BUSStream)> writer, TmplBlockBuffer<unsigned char>& replyBLOB,
                  int msTimeOut = Client::gDefMSTimeOut);
    bool SendBLOB(const char* targetID, unsigned long command, DString message,
                  std::function<void(BUSStream)> writer, DString& reply,
                  int msTimeOut = Client::gDefMSTimeOut);
    bool SendBLOB(const char* targetID, unsigned long command, WString message,
                  std::function<void(BUSStream)> writer, WString& reply,
                  int msTimeOut = Client::gDefMSTimeOut);
    bool SendBLOB(const char* targetID, unsigned long command, DString message,
                  std::function<void(BUSStream)> writer, DString& reply,
                  TmplBlockBuffer<unsigned char>& replyBLOB, int msTimeOut = Client::gDefMSTimeOut);
    bool SendBLOB(const char* targetID, unsigned long command, WString message,
                  std::function<void(BUSStream)> writer, WString& reply,
                  TmplBlockBuffer<unsigned char>& replyBLOB, int msTimeOut = Client::gDefMSTimeOut);

    // The time-out travels in the frame although nothing waits for an acknowledgement.
    bool PostBLOB(const char* targetID, unsigned long command, std::function<void(BUSStream)> writer,
                  int msTimeOut = Client::gDefMSTimeOut);
    bool PostBLOB(const char* targetID, unsigned long command, DString message,
                  std::function<void(BUSStream)> writer, int msTimeOut = Client::gDefMSTimeOut);
    bool PostBLOB(const char* targetID, unsigned long command, WString message,
                  std::function<void(BUSStream)> writer, int msTimeOut = Client::gDefMSTimeOut);

protected:
    // The full send, one per string type; every SendBLOB overload ends here. writer is this
    // call's own copy and is gone when it returns.
    bool DoSendBLOB(const char* targetID, unsigned long command, const DString& message,
                    Writer writer, DString& reply, TmplBlockBuffer<unsigned char>& replyBLOB,
                    int msTimeOut);
    bool DoSendBLOB(const char* targetID, unsigned long command, const WString& message,
                    Writer writer, WString& reply, TmplBlockBuffer<unsigned char>& replyBLOB,
                    int msTimeOut);
    bool DoPostBLOB(const char* targetID, unsigned long command, const DString& message,
                    Writer writer, int msTimeOut);
    bool DoPostBLOB(const char* targetID, unsigned long command, const WString& message,
                    Writer writer, int msTimeOut);

private:
    template <typename S>
    bool SendStreamFrame(const char* targetID, unsigned long command, const S& message,
                         Writer& writer, S& reply, TmplBlockBuffer<unsigned char>& replyBLOB,
                         int msTimeOut);
    template <typename S>
    bool PostStreamFrame(const char* targetID, unsigned long command, const S& message,
                         Writer& writer, int msTimeOut);
};

} // namespace ORVEX::Tessary::Controller
