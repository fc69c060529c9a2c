#include "tessary/client/BLOBStreamClient.h"

#include "tessary/client/internal/BLOBSteps.h"
#include "tessary/client/internal/NoThrow.h"
#include "tessary/external/Log.h"
#include "tessary/protocol/internal/BUSNetPDUProxy.h"
#include "tessary/protocol/internal/LogLines.h"

#include <cxxabi.h>

#include <exception>
#include <utility>

namespace ORVEX::Tessary::Controller {

namespace {

using Block = TmplBlockBuffer<unsigned char>;

// Checked before anything is connected or written: an empty writer found in the middle of the
// frame would leave the head and body on the wire with no BLOB to follow.
bool RefuseEmptyWriter(uint32_t instance, const char* operation,
                       const BLOBStreamClient::Writer& writer) {
    if (writer) {
        return false;
    }
    _error("[%d] Leave %s, the BLOB writer is empty, nothing is sent", instance, operation);
    return true;
}

// The streamed send step. Whatever escapes it (the application's writer, mostly) has left a
// frame half written, with chunks already on the wire: the connection is closed so that the
// bus server drops the partial frame and the next operation starts on a fresh connection.
template <typename S>
bool WriteStreamFrame(uint32_t instance, BUSSendPDU& session, XDWHolder<MessageHead>& head,
                      const S& message, BLOBStreamClient::Writer& writer) {
    try {
        return session.SendBLOBStream(head, message, std::move(writer));
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::exception& e) {
        _error("[%d] The BLOB writer failed with an exception : %s, the connection is dropped",
               instance, e.what());
    } catch (...) {
        _error("[%d] The BLOB writer failed with an unknown exception, the connection is dropped",
               instance);
    }
    session.Stream().Reset();
    session.Stream().Close();
    return false;
}

} // namespace

BLOBStreamClient::BLOBStreamClient() = default;

BLOBStreamClient::~BLOBStreamClient() { BLOBStreamClient::Close(); }

void BLOBStreamClient::Close() {
    NoThrow(InstanceID, "BLOBStreamClient::Close", [this] {
        LogEmptyLine();
        _debug("[%d] Enter BUS::BLOBStreamClient::Close ()", InstanceID);
        MessageClient::Close();
        _debug("[%d] Leave BUS::BLOBStreamClient::Close ()", InstanceID);
        LogEmptyLine();
    });
}

template <typename S>
bool BLOBStreamClient::SendStreamFrame(const char* targetID, unsigned long command,
                                       const S& message, Writer& writer, S& reply,
                                       Block& replyBLOB, int msTimeOut) {
    if (RefuseEmptyWriter(InstanceID, "SendBLOB", writer)) {
        return false;
    }
    BUSSendPDU& session = *PDUProxy->PDU;
    return SendBLOBSteps(
        InstanceID, session, targetID, msTimeOut, [this] { return Connect(); },
        [&](XDWHolder<MessageHead>& head) {
            FillHead(*head, targetID, command, HeadFlag::AckRequested | HeadFlag::BLOB,
                     msTimeOut);
            return WriteStreamFrame(InstanceID, session, head, message, writer);
        },
        [&](uint32_t messageID) { return DoReadAck(messageID, reply, replyBLOB, msTimeOut); });
}

template <typename S>
bool BLOBStreamClient::PostStreamFrame(const char* targetID, unsigned long command,
                                       const S& message, Writer& writer, int msTimeOut) {
    if (RefuseEmptyWriter(InstanceID, "PostBLOB", writer)) {
        return false;
    }
    BUSSendPDU& session = *PDUProxy->PDU;
    return PostBLOBSteps(
        InstanceID, targetID, msTimeOut, [this] { return Connect(); },
        [&](XDWHolder<MessageHead>& head) {
            FillHead(*head, targetID, command, HeadFlag::BLOB, msTimeOut);
            return WriteStreamFrame(InstanceID, session, head, message, writer);
        });
}

bool BLOBStreamClient::DoSendBLOB(const char* targetID, unsigned long command,
                                  const DString& message, Writer writer, DString& reply,
                                  Block& replyBLOB, int msTimeOut) {
    return SendStreamFrame(targetID, command, message, writer, reply, replyBLOB, msTimeOut);
}

bool BLOBStreamClient::DoSendBLOB(const char* targetID, unsigned long command,
                                  const WString& message, Writer writer, WString& reply,
                                  Block& replyBLOB, int msTimeOut) {
    return SendStreamFrame(targetID, command, message, writer, reply, replyBLOB, msTimeOut);
}

bool BLOBStreamClient::DoPostBLOB(const char* targetID, unsigned long command,
                                  const DString& message, Writer writer, int msTimeOut) {
    return PostStreamFrame(targetID, command, message, writer, msTimeOut);
}

bool BLOBStreamClient::DoPostBLOB(const char* targetID, unsigned long command,
                                  const WString& message, Writer writer, int msTimeOut) {
    return PostStreamFrame(targetID, command, message, writer, msTimeOut);
}

// Every overload below fills in what its caller left out and runs the full form; the dropped
// reply and reply BLOB are locals that go when it returns.

bool BLOBStreamClient::SendBLOB(const char* targetID, unsigned long command, Writer writer,
                                int msTimeOut) {
    return NoThrow(InstanceID, "BLOBStreamClient::SendBLOB", false, [&] {
        DString reply;
        Block replyBLOB;
        return DoSendBLOB(targetID, command, DString(), std::move(writer), reply, replyBLOB,
                          msTimeOut);
    });
}

bool BLOBStreamClient::SendBLOB(const char* targetID, unsigned long command, Writer writer,
                                Block& replyBLOB, int msTimeOut) {
    return NoThrow(InstanceID, "BLOBStreamClient::SendBLOB", false, [&] {
        DString reply;
        return DoSendBLOB(targetID, command, DString(), std::move(writer), reply, replyBLOB,
                          msTimeOut);
    });
}

bool BLOBStreamClient::SendBLOB(const char* targetID, unsigned long command, DString message,
                                Writer writer, int msTimeOut) {
    return NoThrow(InstanceID, "BLOBStreamClient::SendBLOB", false, [&] {
        DString reply;
        Block replyBLOB;
        return DoSendBLOB(targetID, command, message, std::move(writer), reply, replyBLOB,
                          msTimeOut);
    });
}

bool BLOBStreamClient::SendBLOB(const char* targetID, unsigned long command, WString message,
                                Writer writer, int msTimeOut) {
    return NoThrow(InstanceID, "BLOBStreamClient::SendBLOB", false, [&] {
        WString reply;
        Block replyBLOB;
        return DoSendBLOB(targetID, command, message, std::move(writer), reply, replyBLOB,
                          msTimeOut);
    });
}

bool BLOBStreamClient::SendBLOB(const char* targetID, unsigned long command, DString message,
                                Writer writer, Block& replyBLOB, int msTimeOut) {
    return NoThrow(InstanceID, "BLOBStreamClient::SendBLOB", false, [&] {
        DString reply;
        return DoSendBLOB(targetID, command, message, std::move(writer), reply, replyBLOB,
                          msTimeOut);
    });
}

bool BLOBStreamClient::SendBLOB(const char* targetID, unsigned long command, WString message,
                                Writer writer, Block& replyBLOB, int msTimeOut) {
    return NoThrow(InstanceID, "BLOBStreamClient::SendBLOB", false, [&] {
        WString reply;
        return DoSendBLOB(targetID, command, message, std::move(writer), reply, replyBLOB,
                          msTimeOut);
    });
}

bool BLOBStreamClient::SendBLOB(const char* targetID, unsigned long command, DString message,
                                Writer writer, DString& reply, int msTimeOut) {
    return NoThrow(InstanceID, "BLOBStreamClient::SendBLOB", false, [&] {
        Block replyBLOB;
        return DoSendBLOB(targetID, command, message, std::move(writer), reply, replyBLOB,
                          msTimeOut);
    });
}

bool BLOBStreamClient::SendBLOB(const char* targetID, unsigned long command, WString message,
                                Writer writer, WString& reply, int msTimeOut) {
    return NoThrow(InstanceID, "BLOBStreamClient::SendBLOB", false, [&] {
        Block replyBLOB;
        return DoSendBLOB(targetID, command, message, std::move(writer), reply, replyBLOB,
                          msTimeOut);
    });
}

bool BLOBStreamClient::SendBLOB(const char* targetID, unsigned long command, DString message,
                                Writer writer, DString& reply, Block& replyBLOB, int msTimeOut) {
    return NoThrow(InstanceID, "BLOBStreamClient::SendBLOB", false, [&] {
        return DoSendBLOB(targetID, command, message, std::move(writer), reply, replyBLOB,
                          msTimeOut);
    });
}

bool BLOBStreamClient::SendBLOB(const char* targetID, unsigned long command, WString message,
                                Writer writer, WString& reply, Block& replyBLOB, int msTimeOut) {
    return NoThrow(InstanceID, "BLOBStreamClient::SendBLOB", false, [&] {
        return DoSendBLOB(targetID, command, message, std::move(writer), reply, replyBLOB,
                          msTimeOut);
    });
}

bool BLOBStreamClient::PostBLOB(const char* targetID, unsigned long command, Writer writer,
                                int msTimeOut) {
    return NoThrow(InstanceID, "BLOBStreamClient::PostBLOB", false, [&] {
        return DoPostBLOB(targetID, command, DString(), std::move(writer), msTimeOut);
    });
}

bool BLOBStreamClient::PostBLOB(const char* targetID, unsigned long command, DString message,
                                Writer writer, int msTimeOut) {
    return NoThrow(InstanceID, "BLOBStreamClient::PostBLOB", false, [&] {
        return DoPostBLOB(targetID, command, message, std::move(writer), msTimeOut);
    });
}

bool BLOBStreamClient::PostBLOB(const char* targetID, unsigned long command, WString message,
                                Writer writer, int msTimeOut) {
    return NoThrow(InstanceID, "BLOBStreamClient::PostBLOB", false, [&] {
        return DoPostBLOB(targetID, command, message, std::move(writer), msTimeOut);
    });
}

} // namespace ORVEX::Tessary::Controller
