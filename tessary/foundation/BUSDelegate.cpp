#include "tessary/foundation/BUSDelegate.h"

#include <cstddef>
#include <cstdint>

namespace {

// The tables destroyed on this thread, most recent last, as addresses that are only ever
// compared: a walk notes the count before each handler and afterwards looks among the tables
// destroyed since for its own. Nothing here is owned by a walk or undone by it, so a walk
// abandoned by a fault's long jump (which skips Fire's frame) leaves nothing behind; plain
// data, so the thread needs no destructor for it.
constexpr size_t EndedRingSize = 32;
struct EndedTables {
    const void* Tables[EndedRingSize];
    uint64_t Count;
};
thread_local EndedTables t_Ended{};

// Whether table was destroyed on this thread since the count stood at before. A handler that
// destroyed more tables than the ring holds counts as having destroyed this one too: the walk
// stops rather than risk reading a freed table.
bool EndedSince(const void* table, uint64_t before) {
    const uint64_t now = t_Ended.Count;
    if (now - before > EndedRingSize) {
        return true;
    }
    for (uint64_t i = before; i < now; ++i) {
        if (t_Ended.Tables[i % EndedRingSize] == table) {
            return true;
        }
    }
    return false;
}

} // namespace

BUSDelegate::~BUSDelegate() {
    t_Ended.Tables[t_Ended.Count % EndedRingSize] = this;
    ++t_Ended.Count;
    // NoResponse's handlers are released before the table's.
    NoResponse.Clear();
    m_Entries.clear();
}

void BUSDelegate::Fire(int command, const void* sender, EventArgs_BUSMessage* args) {
    // By index, and nothing of the table is touched once a handler has destroyed it (a handler
    // that lets its own receiver go, on this thread).
    for (size_t i = 0; i < m_Entries.size(); ++i) {
        if (m_Entries[i].Command != command) {
            continue;
        }
        const uint64_t before = t_Ended.Count;
        m_Entries[i].Handler.Invoke(sender, args);
        if (t_Ended.Count != before && EndedSince(this, before)) {
            return;
        }
    }
}

void BUSDelegate::Add(int command, const C11DelegateHandler<EventArgs_BUSMessage>& handler) {
    m_Entries.push_back({command, handler});
}
