#include "tessary/foundation/BUSDelegate.h"

BUSDelegate::~BUSDelegate() {
    // NoResponse's handlers are released before the table's.
    NoResponse.Clear();
    m_Entries.clear();
}

void BUSDelegate::Fire(int command, const void* sender, EventArgs_BUSMessage* args) {
    for (Entry& entry : m_Entries) {
        if (entry.Command == command) {
            entry.Handler.Invoke(sender, args);
        }
    }
}

void BUSDelegate::Add(int command, const C11DelegateHandler<EventArgs_BUSMessage>& handler) {
    m_Entries.push_back({command, handler});
}
