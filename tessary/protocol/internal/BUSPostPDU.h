#pragma once

#include "tessary/external/DString.h"
#include "tessary/external/WString.h"
#include "tessary/foundation/TmplBlockBuffer.h"
#include "tessary/protocol/internal/BUSNetPDU.h"
#include "tessary/protocol/BUSStream.h"
#include "tessary/protocol/shared/FrameWriter.h"


// The sending half of a command session: writes one frame, then reads the bus server's answer
// to it. True means the bus server took the frame; for a post that is the whole answer.
class BUSPostPDU : public BUSNetPDU {
public:
    BUSPostPDU() = default;
    ~BUSPostPDU() override = default;

    // The Wide flag is taken as the caller set it; the body's length in bytes is its length in
    // characters, doubled when Wide is set (never more than the body holds).
    bool SendMessage(XDWHolder<MessageHead>& head, const DString& body);
    bool SendMessage(XDWHolder<MessageHead>& head, const WString& body);
    // These set or clear Wide by the body's type.
    bool SendBLOB(XDWHolder<MessageHead>& head, const DString& body,
                  const TmplBlockBuffer<unsigned char>& blob);
    bool SendBLOB(XDWHolder<MessageHead>& head, const WString& body,
                  const TmplBlockBuffer<unsigned char>& blob);
    // writer runs on this thread while the frame is being written; an empty writer fails as
    // calling an empty function does.
    bool SendBLOBStream(XDWHolder<MessageHead>& head, const DString& body,
                        BUSStreamWriter writer);
    bool SendBLOBStream(XDWHolder<MessageHead>& head, const WString& body,
                        BUSStreamWriter writer);

    // A Setting frame to the bus server with the JSON text as its body.
    bool BUSSetting(const char* sourceID, int32_t command, const DString& text, uint32_t callerID);
    // The setting "TcpNoDelay" : 1 (command 6090); the answer does not matter, so always true.
    bool PostTcpNoDelay(const char* sourceID, uint32_t callerID);
};
