#include "tessary/protocol/internal/Command2String.h"

#include "tessary/external/BSTJSON.h"
#include "tessary/external/Log.h"

#include <algorithm>
#include <vector>

using ORVEX::Log::_XDWLog;
using ORVEX::Utility::BSTJSON;
using ORVEX::Utility::BSTTree;

namespace {

// Sorted by Command; replaced as a whole by each Load.
std::vector<Command2String::_tLUT> g_Table;

struct RangeLabel {
    int32_t From;
    int32_t UpTo; // not included
    const char* Label;
};

constexpr RangeLabel kRangeLabels[] = {
    {5100, 6000, "SubTask"},     {6000, 6500, "BUSSetting"},    {6500, 7000, "BUSConfig"},
    {10000, 11000, "Trelw.App"}, {25000, 26000, "for Testing"},
};

void EmptyLine() {
    _XDWLog log;
    log.NewLine();
}

} // namespace

int32_t Command2String::Load(const WString& path) {
    EmptyLine();
    {
        _XDWLog log(_XDWLog::SeverityDebug);
        log << "Enter Command2String::Load " << '[' << path.ToDString() << ']';
    }

    std::vector<_tLUT> entries;
    const BSTTree names = BSTJSON::LoadFile(path).Into("Command2String");
    if (!names.IsEmpty()) {
        // Counted to the end rather than stopped at the first empty pair: an element that is
        // {} or null is an entry too (with code 0 and no name), and the ones after it count.
        BSTTree::Iterator children = names.GetIterator();
        while (!children.AtEnd()) {
            const auto child = children.Next();
            if (child.first == BSTTree::XMLATTR) {
                continue;
            }
            entries.push_back({child.second.Get<DString>("Command").To<int>(),
                               child.second.Get<DString>("String")});
        }
    }
    std::sort(entries.begin(), entries.end(),
              [](const _tLUT& a, const _tLUT& b) { return a.Command < b.Command; });

    g_Table.clear();
    g_Table.shrink_to_fit();
    g_Table = std::move(entries);

    const auto count = static_cast<int32_t>(g_Table.size());
    EmptyLine();
    _debug("Leave Command2String::Load, NbOfItem : %d", count);
    EmptyLine();
    return count;
}

DString Command2String::Lookup(int32_t code) {
    int32_t lo = 0;
    int32_t hi = static_cast<int32_t>(g_Table.size()) - 1;
    while (lo <= hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        const _tLUT& entry = g_Table[static_cast<size_t>(mid)];
        if (entry.Command == code) {
            return entry.String;
        }
        if (code < entry.Command) {
            hi = mid - 1;
        } else {
            lo = mid + 1;
        }
    }
    for (const RangeLabel& range : kRangeLabels) {
        if (code >= range.From && code < range.UpTo) {
            return DString(range.Label);
        }
    }
    return DString();
}

int32_t Command2String::Count() {
    return static_cast<int32_t>(g_Table.size());
}

void Command2String::Clear() {
    g_Table.clear();
    g_Table.shrink_to_fit();
}
