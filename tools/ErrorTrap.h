#pragma once

#include "tessary/external/EventArgs.h"

#include <string>
#include <vector>

namespace ORVEX::Tessary::Controller {
class Client;
class MessageClient;
} // namespace ORVEX::Tessary::Controller

namespace tool {

// Collects the error events of one sender, so that the tool can say why an operation failed
// in the library's own codes and texts. The events are raised on the thread that calls the
// sender, so no lock is needed. The trap must outlive the sender's last operation.
class ErrorTrap {
public:
    explicit ErrorTrap(ORVEX::Tessary::Controller::Client& client);
    explicit ErrorTrap(ORVEX::Tessary::Controller::MessageClient& client);
    // The handlers hold this object's address.
    ErrorTrap(const ErrorTrap&) = delete;
    ErrorTrap& operator=(const ErrorTrap&) = delete;

    bool Empty() const { return m_Bus.empty() && m_Ack.empty(); }
    void Reset();

    // The most telling reason: the target's error acknowledgement when there is one, else the
    // first bus error (the cause; later ones follow from it), else the empty acknowledgement
    // read; "no error event" when nothing was raised.
    std::string Describe() const;
    // The code of that event: the acknowledgement's code, or the bus error's; 0 for none.
    int Code() const;

private:
    struct Record {
        int Code;
        int SysCode;
        std::string Text;
        std::string SourceID;
    };
    static Record Copy(const EventArgs_Error& e);
    void Attach(ORVEX::Tessary::Controller::Client& client);

    std::vector<Record> m_Bus;
    std::vector<Record> m_Ack;
};

} // namespace tool
