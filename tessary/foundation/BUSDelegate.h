#pragma once

#include "tessary/Export.h"
#include "tessary/external/EventArgs.h"
#include "tessary/foundation/UnsafeDelegate.h"

#include <vector>

// The per-command handler table of a receiver: each entry pairs a command code with a handler;
// one command may have several entries, called in the order they were added.
class TESSARY_EXPORT BUSDelegate {
public:
    struct Entry {
        int Command;
        C11DelegateHandler<EventArgs_BUSMessage> Handler;
    };

    BUSDelegate() = default;
    BUSDelegate(const BUSDelegate&) = delete;
    BUSDelegate& operator=(const BUSDelegate&) = delete;
    virtual ~BUSDelegate();

    // Calls the handler of every entry for command, in table order. It walks the live table, so
    // the table is filled before the receiver starts and never changed by its own handlers. A
    // handler may destroy the table (let its receiver go) on the firing thread: the walk ends
    // there. Destroying it on another thread while a walk runs stays forbidden.
    virtual void Fire(int command, const void* sender, EventArgs_BUSMessage* args);

    void Add(int command, const C11DelegateHandler<EventArgs_BUSMessage>& handler);
    const std::vector<Entry>& Entries() const { return m_Entries; }

    // Raised by nobody in the library: the receivers register their no-response handler here.
    _tUnsafeDelegate<EventArgs_BUSMessage> NoResponse;

private:
    std::vector<Entry> m_Entries;
};
