#include "tessary/protocol/internal/BUSSendPDU.h"

#include "tessary/external/Log.h"
#include "tessary/protocol/shared/FrameReader.h"
#include "tessary/protocol/internal/LogLines.h"
#include "tessary/protocol/internal/ReceiveTimeOutScope.h"

bool BUSSendPDU::DoReadAck(uint32_t expectedID, MessageHead& head, DString& text8,
                           WString& text16, TmplBlockBuffer<unsigned char>& blob,
                           int32_t timeOut) {
    ReceiveTimeOutScope scope(GetSocket(), timeOut);
    const int32_t cbHead = m_Stream->ReadBytes(&head, sizeof(MessageHead));
    if (cbHead <= 0) {
        _error("Leave DoReadAck due to failed to Read");
        FireError(EventArgs_Error::NothingRead, "ReadAck");
        return false;
    }
    if (cbHead < static_cast<int32_t>(sizeof(MessageHead))) {
        _error("Leave DoReadAck due to invalid MessageHead, %d < %d", cbHead,
               static_cast<int>(sizeof(MessageHead)));
        FireError(EventArgs_Error::Malformed, "Invalid MessageHead");
        return false;
    }
    if (!NetRead(*m_Stream, head, text8, text16, blob)) {
        _error("Leave DoReadAck due to BUSNetRead failed");
        FireError(EventArgs_Error::Malformed, "ReadAck");
        return false;
    }
    if (head.MessageID != expectedID) {
        _error("BUS Sequence error ! Different MessageID in ACK ! Expect %d but get %d",
               expectedID, head.MessageID);
        _error("      [%d] Discard a FUNNY Ack message of %d", expectedID, head.MessageID);
        FireError(EventArgs_Error::Malformed, "BUS Sequence error");
        return false;
    }

    bool result = false;
    if (head.Is(HeadType::Ack)) {
        if (head.cbMessage > 0) {
            _tinfo("--D-> [%d : %d] Leave DoReadAck, get Ack <%s> -> <%s>, %3d bytes",
                   head.MessageID, head.CallerID, head.GetSourceID().c_str(),
                   head.GetTargetID().c_str(), head.cbMessage);
        } else {
            _tinfo("--D-> [%d : %d] Leave DoReadAck, get Ack <%s> -> <%s>", head.MessageID,
                   head.CallerID, head.GetSourceID().c_str(), head.GetTargetID().c_str());
        }
        LogEmptyLine();
        result = true;
    } else if (head.Is(HeadType::Failed)) {
        _tinfo("--F-> [%d : %d] Leave DoReadAck, get failed <%s> -> <%s>", head.MessageID,
               head.CallerID, head.GetSourceID().c_str(), head.GetTargetID().c_str());
        LogEmptyLine();
        FireError(EventArgs_Error::Refused, "Failed when ReadAck (from BUS Server)");
    } else if (head.Is(HeadType::Error)) {
        // The caller reports it from Value and the body.
    } else {
        _warning("Leave DoReadAck, get an invalid MessageHead : 0x%0x", head.Type);
        LogEmptyLine();
        FireError(EventArgs_Error::Malformed, "Invalid MessageHead");
    }
    return result;
}

bool BUSSendPDU::ReadAck(uint32_t expectedID, MessageHead& head, DString& text,
                         TmplBlockBuffer<unsigned char>& blob, int32_t timeOut) {
    DString text8;
    WString text16;
    const bool result = DoReadAck(expectedID, head, text8, text16, blob, timeOut);
    if (text8.GetLength() > 0) {
        text = text8;
    }
    if (text16.GetLength() > 0) {
        text = text16.ToDString();
    }
    return result;
}

bool BUSSendPDU::ReadAck(uint32_t expectedID, MessageHead& head, WString& text,
                         TmplBlockBuffer<unsigned char>& blob, int32_t timeOut) {
    DString text8;
    WString text16;
    const bool result = DoReadAck(expectedID, head, text8, text16, blob, timeOut);
    if (text8.GetLength() > 0) {
        text = text8;
    }
    if (text16.GetLength() > 0) {
        text = text16;
    }
    return result;
}
