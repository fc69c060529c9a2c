#include "tessary/external/EventArgs.h"
#include "tessary/external/internal/LogCapture.h"
#include "tessary/foundation/BUSDelegate.h"
#include "tessary/foundation/UnsafeDelegate.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

using ORVEX::Log::LogCapture;

namespace {

// Every handler appends a word to one shared trace, so order and counts are visible at once.
class Listener {
public:
    Listener(std::vector<std::string>& trace, std::string name)
        : m_Trace(trace), m_Name(std::move(name)) {}

    void OnValue(const void*, EventArgs_Int* args) {
        m_Trace.push_back(m_Name + ":" + std::to_string(args ? args->Value : -1));
    }
    void OnOther(const void*, EventArgs_Int*) { m_Trace.push_back(m_Name + ":other"); }

private:
    std::vector<std::string>& m_Trace;
    std::string m_Name;
};

// Lends its address as an identity word.
void IdentityAnchor(const void*, EventArgs_Int*) {}

class DelegateTest : public ::testing::Test {
protected:
    C11DelegateHandler<EventArgs_Int> Named(const std::string& word) {
        return C11DelegateHandler<EventArgs_Int>(
            [this, word](const void*, EventArgs_Int*) { trace.push_back(word); });
    }

    std::vector<std::string> trace;
    _tUnsafeDelegate<EventArgs_Int> event;
    EventArgs_Int args{7};
};

TEST_F(DelegateTest, FireCallsInOrderAddClassHandlerSkipsTheSamePairAndRemoveTakesTheFirstMatch) {
    Listener first(trace, "first");
    Listener second(trace, "second");
    const void* seenSender = nullptr;
    event.Add(C11DelegateHandler<EventArgs_Int>(
        [&](const void* sender, EventArgs_Int*) { seenSender = sender; }));
    AddClassHandler(event, &first, &Listener::OnValue);
    AddClassHandler(event, &first, &Listener::OnValue);
    AddClassHandler(event, &second, &Listener::OnValue);
    AddClassHandler(event, &first, &Listener::OnOther);
    EXPECT_EQ(event.Handlers().size(), 4u);
    // Add itself never checks.
    event.Add(C11ClassDelegateHandler<Listener, EventArgs_Int>(&first, &Listener::OnValue));
    const int sender = 0;
    event.Fire(&sender, &args);
    EXPECT_EQ(trace, (std::vector<std::string>{"first:7", "second:7", "first:other", "first:7"}));
    EXPECT_EQ(seenSender, &sender);

    // Removing by the function alone takes out its first handler, whatever the object; a
    // handler without an identity is never taken.
    trace.clear();
    EXPECT_TRUE(event.Remove(DelegateId(&Listener::OnValue)));
    event.Fire(nullptr, &args);
    EXPECT_EQ(trace, (std::vector<std::string>{"second:7", "first:other", "first:7"}));
    EXPECT_TRUE(RemoveClassHandler(event, &second, &Listener::OnValue));
    EXPECT_FALSE(event.Remove(DelegateId(&Listener::OnValue), &second));
    EXPECT_TRUE(event.Remove(DelegateId(&Listener::OnValue)));
    EXPECT_FALSE(event.Remove(DelegateId(&Listener::OnValue)));
    EXPECT_EQ(event.Handlers().size(), 2u);
}

TEST_F(DelegateTest, FireRunsOverACopyOfTheList) {
    const void* selfId = DelegateId(&IdentityAnchor);
    event.Add(C11DelegateHandler<EventArgs_Int>(
        [&](const void*, EventArgs_Int*) {
            trace.push_back("self");
            event.Remove(selfId);
            event.Add(Named("late"));
        },
        selfId));
    event.Add(Named("next"));

    event.Fire(nullptr, &args);
    EXPECT_EQ(trace, (std::vector<std::string>{"self", "next"}));
    trace.clear();
    event.Fire(nullptr, &args);
    EXPECT_EQ(trace, (std::vector<std::string>{"next", "late"}));
}

TEST_F(DelegateTest, AThrowingHandlerBeepsOnceAndTheNextRuns) {
    LogCapture capture;
    event.Add(C11DelegateHandler<EventArgs_Int>(
        [](const void*, EventArgs_Int*) { throw std::runtime_error("handler failed"); }));
    event.Add(C11DelegateHandler<EventArgs_Int>([](const void*, EventArgs_Int*) { throw 42; }));
    event.Add(C11DelegateHandler<EventArgs_Int>(nullptr));
    event.Add(Named("after"));

    EXPECT_NO_THROW(event.Fire(nullptr, &args));
    EXPECT_EQ(trace, (std::vector<std::string>{"after"}));
    EXPECT_EQ(capture.Count("Beep 1000 Hz, 1000 ms"), 3);
}

class BUSDelegateTest : public ::testing::Test {
protected:
    C11DelegateHandler<EventArgs_BUSMessage> Named(const std::string& word) {
        return C11DelegateHandler<EventArgs_BUSMessage>(
            [this, word](const void*, EventArgs_BUSMessage* e) {
                trace.push_back(word + ":" + std::to_string(e->Command));
            });
    }

    std::vector<std::string> trace;
    BUSDelegate table;
    EventArgs_BUSMessage message{300, "A", "B", "text", WString(), 9};
};

TEST_F(BUSDelegateTest, AnEntryThatDestroysItsOwnTableEndsTheWalkAndNoOther) {
    // As a handler that lets its own receiver go does; a walk that went on would read the
    // freed table (ASan). Destroying another table ends nothing.
    auto* owned = new BUSDelegate;
    auto* other = new BUSDelegate;
    const auto deleting = [](BUSDelegate*& doomed) {
        return C11DelegateHandler<EventArgs_BUSMessage>(
            [&doomed](const void*, EventArgs_BUSMessage*) {
                delete std::exchange(doomed, nullptr);
            });
    };
    owned->Add(7, deleting(other));
    owned->Add(7, Named("kept"));
    owned->Add(7, deleting(owned));
    owned->Add(7, Named("after"));
    owned->Fire(7, nullptr, &message);
    EXPECT_EQ(owned, nullptr);
    EXPECT_EQ(trace, (std::vector<std::string>{"kept:300"}));
}

} // namespace
