#pragma once

#include <algorithm>
#include <chrono>

namespace busd {

// How long the event loop polls for its next event before it sleeps. A wake-up costs the
// waker and the woken some microseconds each, the more when the CPU has gone idle meanwhile (on
// a VM an exit to the host each way); while events come sooner than that, polling for them is
// cheaper and answers sooner. The window grows while sleeps end soon enough that a longer poll
// would have caught their event, and halves after a sleep that no poll of Max would have
// spared: events further apart than Max are never polled for, and the time a poll can waste
// when traffic stops is at most Max.
class PollWindow {
public:
    using Duration = std::chrono::steady_clock::duration;
    static constexpr Duration Max = std::chrono::microseconds(50);
    static constexpr Duration First = std::chrono::microseconds(10);

    Duration Get() const { return m_Window; }

    // The loop polled for Get(), found nothing, then slept for slept until an event came.
    void Slept(Duration slept) {
        if (m_Window + slept < Max) {
            m_Window = std::clamp(2 * m_Window, First, Max);
        } else {
            m_Window /= 2;
            if (m_Window < First / 2) {
                m_Window = Duration::zero();
            }
        }
    }

private:
    Duration m_Window{};
};

} // namespace busd
