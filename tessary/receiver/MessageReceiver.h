#pragma once

#include "tessary/Export.h"
#include "tessary/external/EventArgs.h"
#include "tessary/foundation/BUSDelegate.h"
#include "tessary/receiver/BaseReceiver.h"

namespace ORVEX::Tessary::Controller {

// A receiver for text messages. Each message is first offered to RelayMessage; when that does
// not take it, the MessageEvent entries for its command code are called in table order. What
// they leave in the record is the answer: ResultCode 0 sends an acknowledgement with ReplyText
// (or WReplyText when ReplyText is empty), any other code an error frame carrying that code.
// A command without entries gets an empty acknowledgement. BLOBs are logged and acknowledged
// empty.
//
// Handlers run on the wait servers' threads, possibly several at once: fill MessageEvent
// before StartWait and leave it alone while the receiver runs. Stop the receiver before
// destroying a subclass of it, so that no thread is inside the subclass's overrides then.
class TESSARY_EXPORT MessageReceiver : public BaseReceiver {
public:
    MessageReceiver();
    // Stops the wait servers first, so that no handler runs while the table goes.
    ~MessageReceiver() override;

    void StartWait() override;
    void StopWait() override;

protected:
    // The base's wait task, with OnMessageRelay as its message handler.
    void CreateWaitTask(int count) override;
    // Answers true for a message the subclass has handled itself; MessageEvent is then
    // skipped. Called on a wait server's thread, outside the crash guard.
    virtual bool RelayMessage(unsigned long command, const void* sender, EventArgs_BUSMessage* e);
    // The ready-made answer for a command nobody handles: error 1 with a JSON text naming the
    // command. Registered on MessageEvent.NoResponse, which the library itself never raises.
    virtual void OnMessageNoResponse(const void* sender, EventArgs_BUSMessage* e);

    // The dispatch of one message, on a wait server's thread.
    void OnMessageRelay(unsigned long command, const void* sender, EventArgs_BUSMessage* e);

public:
    BUSDelegate MessageEvent;
};

} // namespace ORVEX::Tessary::Controller
