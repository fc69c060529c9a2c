#pragma once

#include "tessary/Export.h"
#include "tessary/external/EventArgs.h"
#include "tessary/foundation/BUSDelegate.h"
#include "tessary/receiver/BaseReceiver.h"

namespace ORVEX::Tessary::Controller {

// A receiver for text messages and BLOBs alike. Each message is first offered to
// RelayMessage and each BLOB to RelayBLOB; when the hook does not take it, the entries of
// MessageEvent or BLOBEvent for its command code are called in table order. BLOBEvent's
// handlers get an EventArgs_BUSBLOB (cast the record they receive): its BLOB holds the bytes
// received, and a ReplyBLOB they fill goes back with the acknowledgement.
//
// What the handlers leave in the record is the answer: ResultCode 0 sends an acknowledgement
// with ReplyText (or WReplyText when ReplyText is empty) and, for a BLOB, ReplyBLOB; any other
// code an error frame carrying that code and the text. A command without entries gets an empty
// acknowledgement; OnMessageNoResponse and OnBLOBNoResponse compose the error answer for an
// unknown command for a subclass that wants to give one.
//
// Handlers run on the wait servers' threads, possibly several at once: fill both tables
// before StartWait and leave them alone while the receiver runs. Stop the receiver before
// destroying a subclass of it, so that no thread is inside the subclass's overrides then.
class TESSARY_EXPORT BLOBReceiver : public BaseReceiver {
public:
    BLOBReceiver();
    // Stops the wait servers first, so that no handler runs while the tables go.
    ~BLOBReceiver() override;

    void StartWait() override;
    void StopWait() override;

protected:
    // The base's wait task, with OnMessageRelay and OnBLOBRelay as its handlers.
    void CreateWaitTask(int count) override;
    // Answer true for a message (a BLOB) the subclass has handled itself; the table is then
    // skipped. Called on a wait server's thread outside the crash guard: what escapes them
    // costs the connection, and that message its answer.
    virtual bool RelayMessage(unsigned long command, const void* sender, EventArgs_BUSMessage* e);
    virtual bool RelayBLOB(unsigned long command, const void* sender, EventArgs_BUSBLOB* e);
    // The ready-made answer for a command nobody handles: error 1 with a JSON text naming the
    // command. Registered on the tables' NoResponse events, which the library never raises.
    virtual void OnMessageNoResponse(const void* sender, EventArgs_BUSMessage* e);
    virtual void OnBLOBNoResponse(const void* sender, EventArgs_BUSBLOB* e);

    // The dispatch of one message or BLOB, on a wait server's thread.
    void OnMessageRelay(unsigned long command, const void* sender, EventArgs_BUSMessage* e);
    void OnBLOBRelay(unsigned long command, const void* sender, EventArgs_BUSBLOB* e);

public:
    BUSDelegate MessageEvent;
    BUSDelegate BLOBEvent;
};

} // namespace ORVEX::Tessary::Controller
