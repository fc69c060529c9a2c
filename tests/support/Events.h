#pragma once

#include "tessary/external/EventArgs.h"
#include "tessary/foundation/UnsafeDelegate.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

// A message table's entry from a lambda.
inline C11DelegateHandler<EventArgs_BUSMessage>
Handler(std::function<void(const void*, EventArgs_BUSMessage*)> function) {
    return C11DelegateHandler<EventArgs_BUSMessage>(std::move(function));
}

// What a handler saw of an error event; the record itself lives only during Fire.
struct SeenError {
    int Code;
    int SysCode;
    std::string Text;
    std::string Origin;
    std::u16string WText;
    int Command;
    std::string SourceID;
    std::string TargetID;
};

// Adds a handler that copies every event into into (the library raises its own with a null
// sender). into must outlive the event's last Fire.
inline void Collect(_tUnsafeDelegate<EventArgs_Error>& event, std::vector<SeenError>& into) {
    event.Add(C11DelegateHandler<EventArgs_Error>([&into](const void* sender, EventArgs_Error* e) {
        EXPECT_EQ(sender, nullptr);
        into.push_back({e->Code, e->SysCode, e->Text.str(), e->Origin.str(), e->WText.str(),
                        e->Command, e->SourceID.str(), e->TargetID.str()});
    }));
}
