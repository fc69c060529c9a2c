#include "tools/ErrorTrap.h"

#include "tessary/client/MessageClient.h"

#include <fmt/format.h>

namespace tool {

using ORVEX::Tessary::Controller::Client;
using ORVEX::Tessary::Controller::MessageClient;

ErrorTrap::ErrorTrap(Client& client) {
    Attach(client);
}

ErrorTrap::ErrorTrap(MessageClient& client) {
    Attach(client);
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
        if (bus.SysCode != 0) {
            return fmt::format("error {} (socket error {}): {}", bus.Code, bus.SysCode, bus.Text);
        }
        return fmt::format("error {}: {}", bus.Code, bus.Text);
    }
    if (!m_Ack.empty()) {
        return fmt::format("no acknowledgement{}",
                           m_Ack.front().Text.empty() ? "" : ": " + m_Ack.front().Text);
    }
    return "no error event";
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
