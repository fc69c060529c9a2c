#include "server/internal/PollWindow.h"

#include <gtest/gtest.h>

#include <chrono>

using busd::PollWindow;
using std::chrono::microseconds;

TEST(PollWindowTest, OpensForCloseEventsOnlyAndClosesWhenTheyStop) {
    PollWindow window;
    // Events further apart than a poll may last are slept for.
    for (int i = 0; i < 5; ++i) {
        window.Slept(microseconds(80));
        EXPECT_EQ(window.Get(), PollWindow::Duration::zero());
    }
    // Events 30 µs apart: the window grows until a poll catches them, and no further.
    PollWindow::Duration last{};
    while (window.Get() < microseconds(30)) {
        window.Slept(microseconds(30) - window.Get());
        EXPECT_GT(window.Get(), last);
        last = window.Get();
    }
    // It never grows past the most a poll may last.
    window.Slept(PollWindow::Max - window.Get() - microseconds(1));
    EXPECT_EQ(window.Get(), PollWindow::Max);
    // Once they stop, each long sleep halves it, down to none.
    window.Slept(std::chrono::seconds(1));
    EXPECT_EQ(window.Get(), PollWindow::Max / 2);
    for (int i = 0; i < 4; ++i) {
        window.Slept(std::chrono::seconds(1));
    }
    EXPECT_EQ(window.Get(), PollWindow::Duration::zero());
}
