#pragma once

#include "tessary/Export.h"
#include "tessary/external/DString.h"
#include "tessary/external/WString.h"
#include "tessary/foundation/TmplBlockBuffer.h"

#include <cstdint>

// Records handed to event handlers by pointer. A handler may write the reply members; the
// library reads them after the handler returns.
class TESSARY_EXPORT DelegateArgs {
public:
    virtual ~DelegateArgs();
};

class TESSARY_EXPORT EventArgs_Null : public DelegateArgs {};

class TESSARY_EXPORT EventArgs_Int : public DelegateArgs {
public:
    explicit EventArgs_Int(int value) : Value(value) {}
    int Value;
};

class TESSARY_EXPORT EventArgs_Error : public DelegateArgs {
public:
    // The codes the library raises: nothing (or not all) could be read, a socket failure among
    // them; a malformed or unexpected frame; the bus server refused (the target is unknown).
    static constexpr int NothingRead = -1;
    static constexpr int Malformed = -7;
    static constexpr int Refused = -20;

    explicit EventArgs_Error(int code) : Code(code) {}
    EventArgs_Error(int code, const DString& text) : Code(code), Text(text) {}
    EventArgs_Error(int code, const DString& text, const DString& origin)
        : Code(code), Text(text), Origin(origin) {}

    int Code = 0;
    // The Winsock error number when a socket failure is relayed with Code NothingRead.
    int SysCode = 0;
    DString Text;
    DString Origin;
    WString WText;
    int Command = 0;
    DString SourceID;
    DString TargetID;
};

class TESSARY_EXPORT EventArgs_BUSMessage : public DelegateArgs {
public:
    EventArgs_BUSMessage(uint32_t command, const DString& sourceId, const DString& targetId,
                         const DString& message, const WString& wmessage, uint32_t messageId)
        : Command(command), SourceID(sourceId), TargetID(targetId), Message(message),
          WMessage(wmessage), MessageID(messageId) {}

    uint32_t Command;
    DString SourceID;
    DString TargetID;
    DString Message;
    WString WMessage;
    uint32_t MessageID;
    // 0 acknowledges; any other value answers with an Error frame carrying it.
    int ResultCode = 0;
    DString ReplyText;
    // Sent when ReplyText is empty.
    WString WReplyText;
};

class TESSARY_EXPORT EventArgs_BUSBLOB : public EventArgs_BUSMessage {
public:
    EventArgs_BUSBLOB(uint32_t command, const DString& sourceId, const DString& targetId,
                      const DString& message, const WString& wmessage, uint32_t messageId,
                      const TmplBlockBuffer<unsigned char>& blob)
        : EventArgs_BUSMessage(command, sourceId, targetId, message, wmessage, messageId),
          BLOB(blob) {}

    TmplBlockBuffer<unsigned char> BLOB;
    // Sent back with the acknowledgement.
    TmplBlockBuffer<unsigned char> ReplyBLOB;
};
