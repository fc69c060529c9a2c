#include "tessary/receiver/MessageReceiver.h"

#include "tessary/client/internal/NoThrow.h"
#include "tessary/external/Log.h"
#include "tessary/foundation/internal/ExceptionGuard.h"
#include "tessary/protocol/internal/LogLines.h"
#include "tessary/receiver/internal/WaitMessageTask.h"
#include "tessary/receiver/internal/NoResponseAnswer.h"

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
    AnswerNoResponse("OnMessageNoResponse", e);
}

} // namespace ORVEX::Tessary::Controller
