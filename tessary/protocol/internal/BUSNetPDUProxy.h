#pragma once

#include "tessary/protocol/internal/BUSSendPDU.h"

#include <cstdint>

// What a client keeps of its command session: the session and how often a failed connect is
// tried again. Owns the session outright.
class BUSNetPDUProxy {
public:
    static constexpr int32_t DefaultRetryCount = 3;

    explicit BUSNetPDUProxy(BUSSendPDU* pdu, int32_t retryCount = DefaultRetryCount)
        : RetryCount(retryCount), PDU(pdu) {}
    BUSNetPDUProxy(const BUSNetPDUProxy&) = delete;
    BUSNetPDUProxy& operator=(const BUSNetPDUProxy&) = delete;
    ~BUSNetPDUProxy() { delete PDU; }

    // Connects to one of NbOfPort command ports (basePort + 2k), taking them in turn across the
    // whole process, and tries again up to RetryCount times, each time on the next port.
    bool Connect(const char* host, int basePort, int NbOfPort);

    // The descriptor of the session's present connection, -1 when there is none: for tools
    // that watch a transfer the library makes in one call.
    int SocketHandle() const { return PDU != nullptr ? PDU->GetSocket().Handle() : -1; }

    int32_t RetryCount;
    BUSSendPDU* PDU;
};

// The command port the next connection of the process uses: basePort when there is at most one
// port, else basePort + 2 * (k mod NbOfPort) with k the raised process-wide port counter
// modulo 256, the offset kept in 8 bits.
int ChooseCommandPort(int basePort, int NbOfPort);
// The port counter's present value.
uint32_t PortCounter();
