#include "tessary/receiver/MessageReceiver.h"

#include "tessary/client/internal/NoThrow.h"
#include "tessary/external/Log.h"
#include "tessary/foundation/internal/ExceptionGuard.h"
#include "tessary/protocol/Command2String.h"
#include "tessary/protocol/FastJsonEncoder.h"
#include "tessary/protocol/internal/LogLines.h"
#include "tessary/receiver/WaitMessageTask.h"

namespace ORVEX::Tessary::Controller {

MessageReceiver::MessageReceiver() {
    // Through the member pointer the call goes through the virtual table, so a subclass's
    // override is what answers.
    AddClassHandler(MessageEvent.NoResponse, this, &MessageReceiver::OnMessageNoResponse);
}

MessageReceiver::~MessageReceiver() {
    MessageReceiver::StopWait();
}

void MessageReceiver::StartWait() {
    _debug("[%d] Enter MessageReceiver.StartWait", InstanceID);
    BaseReceiver::StartWait();
}

void MessageReceiver::StopWait() {
    NoThrow(InstanceID, "MessageReceiver::StopWait", [this] {
        LogEmptyLine();
        _debug("[%d] Enter MessageReceiver.StopWait", InstanceID);
        BaseReceiver::StopWait();
        _debug("[%d] Leave MessageReceiver.StopWait", InstanceID);
        LogEmptyLine();
    });
}

void MessageReceiver::CreateWaitTask(int count) {
    BaseReceiver::CreateWaitTask(count);
    WaitTask->MessageHandler = [this](uint32_t command, const void* sender,
                                      EventArgs_BUSMessage* e) {
        OnMessageRelay(command, sender, e);
    };
}

bool MessageReceiver::RelayMessage(unsigned long, const void*, EventArgs_BUSMessage*) {
    return false;
}

void MessageReceiver::OnMessageRelay(unsigned long command, const void* sender,
                                     EventArgs_BUSMessage* e) {
    if (RelayMessage(command, sender, e)) {
        return;
    }
    RunGuarded([&] { MessageEvent.Fire(static_cast<int>(command), sender, e); },
               "Exception catched at MessageReceiver::OnMessageRelay");
}

void MessageReceiver::OnMessageNoResponse(const void*, EventArgs_BUSMessage* e) {
    if (e == nullptr) {
        return;
    }
    const auto command = static_cast<int32_t>(e->Command);
    const DString name = Command2String::Lookup(command);
    LogEmptyLine();
    _error("[%d] OnMessageNoResponse <%s> --> <%s> of <%d (%s)>", e->MessageID,
           e->SourceID.c_str(), e->TargetID.c_str(), command, name.c_str());
    const DString text = DString::FromFormat("Unknown command <%d (%s>", command, name.c_str());
    e->ResultCode = 1;
    FastJsonEncoder<DString> encoder;
    encoder.Add("ErrorComment", text.c_str());
    e->ReplyText = encoder.Encode();
}

} // namespace ORVEX::Tessary::Controller
