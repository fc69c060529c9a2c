#pragma once

#include "tessary/protocol/internal/BUSPostPDU.h"

// The session a client owns: a post session that can also wait for the target's
// acknowledgement. Acknowledgements are matched by MessageID alone, since a send that waits is
// the only one in flight on its connection.
class BUSSendPDU : public BUSPostPDU {
public:
    BUSSendPDU() = default;
    ~BUSSendPDU() override = default;

    // Reads one acknowledgement frame whole into head, text8 or text16 and blob. True only for
    // an Ack carrying expectedID. An Error acknowledgement answers false without an event, and
    // leaves the frame in head, text and blob for the caller to report. timeOut in
    // milliseconds; below one second the socket's receive time-out stays as it is.
    bool DoReadAck(uint32_t expectedID, MessageHead& head, DString& text8, WString& text16,
                   TmplBlockBuffer<unsigned char>& blob, int32_t timeOut);
    // DoReadAck, then the body (of either width) into text, converted as needed; text is left
    // alone when the acknowledgement carries no body.
    bool ReadAck(uint32_t expectedID, MessageHead& head, DString& text,
                 TmplBlockBuffer<unsigned char>& blob, int32_t timeOut);
    bool ReadAck(uint32_t expectedID, MessageHead& head, WString& text,
                 TmplBlockBuffer<unsigned char>& blob, int32_t timeOut);
};
