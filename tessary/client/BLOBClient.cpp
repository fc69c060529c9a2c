#include "tessary/client/BLOBClient.h"

#include "tessary/client/internal/BLOBSteps.h"
#include "tessary/client/internal/NoThrow.h"
#include "tessary/external/Log.h"
#include "tessary/protocol/internal/BUSNetPDUProxy.h"
#include "tessary/protocol/internal/LogLines.h"

namespace ORVEX::Tessary::Controller {

using Block = TmplBlockBuffer<unsigned char>;

BLOBClient::BLOBClient() = default;

BLOBClient::~BLOBClient() { BLOBClient::Close(); }

void BLOBClient::Close() {
    NoThrow(InstanceID, "BLOBClient::Close", [this] {
        LogEmptyLine();
        _debug("[%d] Enter BUS::BLOBClient::Close ()", InstanceID);
        MessageClient::Close();
        _debug("[%d] Leave BUS::BLOBClient::Close ()", InstanceID);
        LogEmptyLine();
    });
}

template <typename S>
bool BLOBClient::SendBLOBFrame(const char* targetID, unsigned long command, const S& message,
                               const Block& blob, S& reply, Block& replyBLOB, int msTimeOut) {
    BUSSendPDU& session = *PDUProxy->PDU;
    return SendBLOBSteps(
        InstanceID, session, targetID, msTimeOut, [this] { return Connect(); },
        [&](XDWHolder<MessageHead>& head) {
            FillHead(*head, targetID, command, HeadFlag::AckRequested | HeadFlag::BLOB,
                     msTimeOut);
            return session.SendBLOB(head, message, blob);
        },
        [&](uint32_t messageID) { return DoReadAck(messageID, reply, replyBLOB, msTimeOut); });
}

template <typename S>
bool BLOBClient::PostBLOBFrame(const char* targetID, unsigned long command, const S& message,
                               const Block& blob, int msTimeOut) {
    return PostBLOBSteps(
        InstanceID, targetID, msTimeOut, [this] { return Connect(); },
        [&](XDWHolder<MessageHead>& head) {
            FillHead(*head, targetID, command, HeadFlag::BLOB, msTimeOut);
            return PDUProxy->PDU->SendBLOB(head, message, blob);
        });
}

bool BLOBClient::DoSendBLOB(const char* targetID, unsigned long command, const DString& message,
                            const Block& blob, DString& reply, Block& replyBLOB, int msTimeOut) {
    return SendBLOBFrame(targetID, command, message, blob, reply, replyBLOB, msTimeOut);
}

bool BLOBClient::DoSendBLOB(const char* targetID, unsigned long command, const WString& message,
                            const Block& blob, WString& reply, Block& replyBLOB, int msTimeOut) {
    return SendBLOBFrame(targetID, command, message, blob, reply, replyBLOB, msTimeOut);
}

bool BLOBClient::DoPostBLOB(const char* targetID, unsigned long command, const DString& message,
                            const Block& blob, int msTimeOut) {
    return PostBLOBFrame(targetID, command, message, blob, msTimeOut);
}

bool BLOBClient::DoPostBLOB(const char* targetID, unsigned long command, const WString& message,
                            const Block& blob, int msTimeOut) {
    return PostBLOBFrame(targetID, command, message, blob, msTimeOut);
}

// Every overload below fills in what its caller left out and runs the full form; the dropped
// reply and reply BLOB are locals that go when it returns.

bool BLOBClient::SendBLOB(const char* targetID, unsigned long command, Block blob, int msTimeOut) {
    return NoThrow(InstanceID, "BLOBClient::SendBLOB", false, [&] {
        DString reply;
        Block replyBLOB;
        return DoSendBLOB(targetID, command, DString(), blob, reply, replyBLOB, msTimeOut);
    });
}

bool BLOBClient::SendBLOB(const char* targetID, unsigned long command, Block blob,
                          Block& replyBLOB, int msTimeOut) {
    return NoThrow(InstanceID, "BLOBClient::SendBLOB", false, [&] {
        DString reply;
        return DoSendBLOB(targetID, command, DString(), blob, reply, replyBLOB, msTimeOut);
    });
}

bool BLOBClient::SendBLOB(const char* targetID, unsigned long command, DString message,
                          Block blob, int msTimeOut) {
    return NoThrow(InstanceID, "BLOBClient::SendBLOB", false, [&] {
        DString reply;
        Block replyBLOB;
        return DoSendBLOB(targetID, command, message, blob, reply, replyBLOB, msTimeOut);
    });
}

bool BLOBClient::SendBLOB(const char* targetID, unsigned long command, WString message,
                          Block blob, int msTimeOut) {
    return NoThrow(InstanceID, "BLOBClient::SendBLOB", false, [&] {
        WString reply;
        Block replyBLOB;
        return DoSendBLOB(targetID, command, message, blob, reply, replyBLOB, msTimeOut);
    });
}

bool BLOBClient::SendBLOB(const char* targetID, unsigned long command, DString message,
                          Block blob, Block& replyBLOB, int msTimeOut) {
    return NoThrow(InstanceID, "BLOBClient::SendBLOB", false, [&] {
        DString reply;
        return DoSendBLOB(targetID, command, message, blob, reply, replyBLOB, msTimeOut);
    });
}

bool BLOBClient::SendBLOB(const char* targetID, unsigned long command, WString message,
                          Block blob, Block& replyBLOB, int msTimeOut) {
    return NoThrow(InstanceID, "BLOBClient::SendBLOB", false, [&] {
        WString reply;
        return DoSendBLOB(targetID, command, message, blob, reply, replyBLOB, msTimeOut);
    });
}

bool BLOBClient::SendBLOB(const char* targetID, unsigned long command, DString message,
                          Block blob, DString& reply, int msTimeOut) {
    return NoThrow(InstanceID, "BLOBClient::SendBLOB", false, [&] {
        Block replyBLOB;
        return DoSendBLOB(targetID, command, message, blob, reply, replyBLOB, msTimeOut);
    });
}

bool BLOBClient::SendBLOB(const char* targetID, unsigned long command, WString message,
                          Block blob, WString& reply, int msTimeOut) {
    return NoThrow(InstanceID, "BLOBClient::SendBLOB", false, [&] {
        Block replyBLOB;
        return DoSendBLOB(targetID, command, message, blob, reply, replyBLOB, msTimeOut);
    });
}

bool BLOBClient::SendBLOB(const char* targetID, unsigned long command, DString message,
                          Block blob, DString& reply, Block& replyBLOB, int msTimeOut) {
    return NoThrow(InstanceID, "BLOBClient::SendBLOB", false, [&] {
        return DoSendBLOB(targetID, command, message, blob, reply, replyBLOB, msTimeOut);
    });
}

bool BLOBClient::SendBLOB(const char* targetID, unsigned long command, WString message,
                          Block blob, WString& reply, Block& replyBLOB, int msTimeOut) {
    return NoThrow(InstanceID, "BLOBClient::SendBLOB", false, [&] {
        return DoSendBLOB(targetID, command, message, blob, reply, replyBLOB, msTimeOut);
    });
}

bool BLOBClient::PostBLOB(const char* targetID, unsigned long command, Block blob, int msTimeOut) {
    return NoThrow(InstanceID, "BLOBClient::PostBLOB", false,
                   [&] { return DoPostBLOB(targetID, command, DString(), blob, msTimeOut); });
}

bool BLOBClient::PostBLOB(const char* targetID, unsigned long command, DString message,
                          Block blob, int msTimeOut) {
    return NoThrow(InstanceID, "BLOBClient::PostBLOB", false,
                   [&] { return DoPostBLOB(targetID, command, message, blob, msTimeOut); });
}

bool BLOBClient::PostBLOB(const char* targetID, unsigned long command, WString message,
                          Block blob, int msTimeOut) {
    return NoThrow(InstanceID, "BLOBClient::PostBLOB", false,
                   [&] { return DoPostBLOB(targetID, command, message, blob, msTimeOut); });
}

} // namespace ORVEX::Tessary::Controller
