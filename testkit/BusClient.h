#pragma once

#include <cstdint>
#include <string>

// A sender (Client, MessageClient, BLOBClient, ...) pointed at a test's or a benchmark's bus
// servers instead of the configured ones, with the parts of it a test looks at.
template <typename Base> class BusClient : public Base {
public:
    void UseBus(int commandPort, int count) {
        this->CommandPort = commandPort;
        this->NbOfBUSServer = count;
    }
    uint32_t Instance() const { return this->InstanceID; }
    // "[instance] ", as the client's own log lines begin.
    std::string Tag() const { return "[" + std::to_string(this->InstanceID) + "] "; }
    // The command session (a BUSSendPDU).
    auto& Session() { return *this->PDUProxy->PDU; }
};
