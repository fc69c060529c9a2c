#pragma once

#include "tools/BusOptions.h"

#include "tessary/external/EventArgs.h"

#include <string>
#include <vector>

namespace ORVEX::Tessary::Controller {
class Client;
class MessageClient;
} // namespace ORVEX::Tessary::Controller

namespace tool {

// Collects the error events of one sender, so that the tool can say why an operation failed:
// in a sentence where the code's meaning is known, always with the library's own code and text.
// The events are raised on the thread that calls the sender, so no lock is needed. The trap
// must outlive the sender's last operation.
class ErrorTrap {
public:
    // bus and target name the bus and the receiver in the sentences.
    ErrorTrap(ORVEX::Tessary::Controller::Client& client, const BusOptions& bus,
              std::string target);
    ErrorTrap(ORVEX::Tessary::Controller::MessageClient& client, const BusOptions& bus,
              std::string target);
    // The handlers hold this object's address.
    ErrorTrap(const ErrorTrap&) = delete;
    ErrorTrap& operator=(const ErrorTrap&) = delete;

    bool Empty() const { return m_Bus.empty() && m_Ack.empty(); }
    void Reset();

    // The most telling reason: the target's error acknowledgement when there is one, else the
    // first bus error (the cause; later ones follow from it) or a time-out waiting for the
    // target, else the empty acknowledgement read; "no error event" when nothing was raised.
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
    // What the bus error means to a person; empty where the code says nothing more than its text.
    std::string Meaning(const Record& bus) const;

    std::string m_Host;
    int m_CommandPort;
    std::string m_Target;
    std::vector<Record> m_Bus;
    std::vector<Record> m_Ack;
};

} // namespace tool
