#include "tessary/receiver/BLOBReceiver.h"

#include "tessary/client/internal/NoThrow.h"
#include "tessary/external/Log.h"
#include "tessary/foundation/internal/ExceptionGuard.h"
#include "tessary/protocol/internal/LogLines.h"
#include "tessary/receiver/internal/WaitMessageTask.h"
#include "tessary/receiver/internal/NoResponseAnswer.h"

namespace ORVEX::Tessary::Controller {

BLOBReceiver::BLOBReceiver() {
    // Through the member pointer the call goes through the virtual table, so a subclass's
    // override is what answers.
    AddClassHandler(MessageEvent.NoResponse, this, &BLOBReceiver::OnMessageNoResponse);
    AddClassHandler(BLOBEvent.NoResponse, this, &BLOBReceiver::OnBLOBNoResponse);
}

BLOBReceiver::~BLOBReceiver() { BLOBReceiver::StopWait(); }

void BLOBReceiver::StartWait() {
    NoThrow(InstanceID, "BLOBReceiver::StartWait", [this] {
        _debug("[%d] Enter BLOBReceiver.StartWait", InstanceID);
        BaseReceiver::StartWait();
    });
}

void BLOBReceiver::StopWait() {
    NoThrow(InstanceID, "BLOBReceiver::StopWait", [this] {
        LogEmptyLine();
        _debug("[%d] Enter BLOBReceiver.StopWait", InstanceID);
        BaseReceiver::StopWait();
        _debug("[%d] Leave BLOBReceiver.StopWait", InstanceID);
        LogEmptyLine();
    });
}

void BLOBReceiver::CreateWaitTask(int count) {
    BaseReceiver::CreateWaitTask(count);
    WaitTask->MessageHandler = [this](uint32_t command, const void* sender,
                                      EventArgs_BUSMessage* e) {
        OnMessageRelay(command, sender, e);
    };
    WaitTask->BLOBHandler = [this](uint32_t command, const void* sender, EventArgs_BUSBLOB* e) {
        OnBLOBRelay(command, sender, e);
    };
}

bool BLOBReceiver::RelayMessage(unsigned long, const void*, EventArgs_BUSMessage*) { return false; }

bool BLOBReceiver::RelayBLOB(unsigned long, const void*, EventArgs_BUSBLOB*) { return false; }

// The hook runs outside the guard on purpose: a subclass that takes a message over also takes
// over its failures, which the wait server's own guard turns into a renewed connection.
void BLOBReceiver::OnMessageRelay(unsigned long command, const void* sender,
                                  EventArgs_BUSMessage* e) {
    if (RelayMessage(command, sender, e)) {
        return;
    }
    RunGuarded([&] { MessageEvent.Fire(static_cast<int>(command), sender, e); },
               "Exception catched at BLOBReceiver::OnMessageRelay");
}

void BLOBReceiver::OnBLOBRelay(unsigned long command, const void* sender, EventArgs_BUSBLOB* e) {
    if (RelayBLOB(command, sender, e)) {
        return;
    }
    RunGuarded([&] { BLOBEvent.Fire(static_cast<int>(command), sender, e); },
               "Exception catched at BLOBReceiver::OnBLOBRelay");
}

void BLOBReceiver::OnMessageNoResponse(const void*, EventArgs_BUSMessage* e) {
    AnswerNoResponse("OnMessageNoResponse", e);
}

void BLOBReceiver::OnBLOBNoResponse(const void*, EventArgs_BUSBLOB* e) {
    AnswerNoResponse("OnBLOBNoResponse", e);
}


} // namespace ORVEX::Tessary::Controller
