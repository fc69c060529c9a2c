#include "tessary/receiver/internal/NoResponseAnswer.h"

#include "tessary/external/Log.h"
#include "tessary/protocol/internal/Command2String.h"
#include "tessary/protocol/internal/FastJsonEncoder.h"
#include "tessary/protocol/internal/LogLines.h"

void AnswerNoResponse(const char* hook, EventArgs_BUSMessage* e) {
    if (e == nullptr) {
        return;
    }
    const auto command = static_cast<int32_t>(e->Command);
    const DString name = Command2String::Lookup(command);
    LogEmptyLine();
    _error("[%d] %s <%s> --> <%s> of <%d (%s)>", e->MessageID, hook, e->SourceID.c_str(),
           e->TargetID.c_str(), command, name.c_str());
    const DString text = DString::FromFormat("Unknown command <%d (%s>", command, name.c_str());
    e->ResultCode = 1;
    FastJsonEncoder<DString> encoder;
    encoder.Add("ErrorComment", text.c_str());
    e->ReplyText = encoder.Encode();
}
