#include "tools/ErrorTrap.h"

#include "tessary/client/MessageClient.h"
#include "tessary/foundation/shared/SocketErrorText.h"

#include <fmt/format.h>

namespace tool {

using ORVEX::Tessary::Controller::Client;
using ORVEX::Tessary::Controller::MessageClient;

ErrorTrap::ErrorTrap(Client& client, const BusOptions& bus, std::string target)
    : m_Host(bus.Host), m_CommandPort(bus.CommandPort), m_Target(std::move(target)) {
    Attach(client);
}

ErrorTrap::ErrorTrap(MessageClient& client, const BusOptions& bus, std::string target)
    : ErrorTrap(static_cast<Client&>(client), bus, std::move(target)) {
    client.AckError.Add(
        C11DelegateHandler<EventArgs_Error>([this](const void*, EventArgs_Error* e) {
            if (e != nullptr) {
                Record record = Copy(*e);
                // A wide reply's text comes in WText.
                if (record.Text.empty() && !e->WText.IsEmpty()) {
                    record.Text = e->WText.ToDString().str();
                }
                m_Ack.push_back(std::move(record));
            }
        }));
}

void ErrorTrap::Attach(Client& client) {
    client.BusError.Add(
        C11DelegateHandler<EventArgs_Error>([this](const void*, EventArgs_Error* e) {
            if (e != nullptr) {
                m_Bus.push_back(Copy(*e));
            }
        }));
}

ErrorTrap::Record ErrorTrap::Copy(const EventArgs_Error& e) {
    return Record{e.Code, e.SysCode, e.Text.str(), e.SourceID.str()};
}

void ErrorTrap::Reset() {
    m_Bus.clear();
    m_Ack.clear();
}

std::string ErrorTrap::Describe() const {
    for (const Record& ack : m_Ack) {
        if (ack.Code != 0) {
            return fmt::format("error acknowledgement {} from {}: {}", ack.Code,
                               ack.SourceID.empty() ? "the target" : ack.SourceID, ack.Text);
        }
    }
    if (!m_Bus.empty()) {
        const Record& bus = m_Bus.front();
        const std::string codes =
            bus.SysCode != 0 ? fmt::format("error {}, {}: {}", bus.Code, bus.SysCode, bus.Text)
                             : fmt::format("error {}: {}", bus.Code, bus.Text);
        const std::string meaning = Meaning(bus);
        return meaning.empty() ? codes : fmt::format("{} ({})", meaning, codes);
    }
    if (!m_Ack.empty()) {
        return fmt::format("no acknowledgement{}",
                           m_Ack.front().Text.empty() ? "" : ": " + m_Ack.front().Text);
    }
    return "no error event";
}

// A send that fails while it waits for the acknowledgement raises AckError after the bus error
// that made it fail; that is how a failure of the target is told from one of the bus server.
std::string ErrorTrap::Meaning(const Record& bus) const {
    const std::string server = fmt::format("{}:{}", m_Host, m_CommandPort);
    const bool waitingForTarget = !m_Ack.empty();
    switch (bus.Code) {
    case EventArgs_Error::Refused:
        if (waitingForTarget) {
            return fmt::format("{} left the bus before it answered", m_Target);
        }
        // The bus server publishes what goes to nobody, and a send cannot wait for many.
        return m_Target.empty() ? "a send needs a target; only a post goes to nobody"
                                : fmt::format("{} is not registered on the bus", m_Target);
    case EventArgs_Error::Malformed:
        return fmt::format("{} answered with something that is not a bus frame", server);
    case EventArgs_Error::NothingRead:
        switch (bus.SysCode) {
        case WinsockError::ConnectionRefused:
            return fmt::format("no bus server at {}", server);
        case WinsockError::ConnectionAborted:
        case WinsockError::ConnectionReset:
        case WinsockError::Shutdown:
            return fmt::format("the bus server at {} closed the connection", server);
        case 0:
        case WinsockError::TimedOut:
            // A read that ended without a socket error: the time-out ran out, or the peer
            // closed without a word.
            return waitingForTarget
                       ? fmt::format("{} did not answer in time", m_Target)
                       : fmt::format("the bus server at {} gave no answer", server);
        default:
            return {};
        }
    default:
        return {};
    }
}

int ErrorTrap::Code() const {
    for (const Record& ack : m_Ack) {
        if (ack.Code != 0) {
            return ack.Code;
        }
    }
    return m_Bus.empty() ? 0 : m_Bus.front().Code;
}

} // namespace tool
