#pragma once

#include <chrono>
#include <thread>

// The bound a test waits for something another thread or process makes true. Generous: a
// sanitised build on a loaded two-core machine is many times slower than a plain one.
inline constexpr std::chrono::milliseconds Bound{2000};

// Polls condition until it holds or bound runs out; false when it ran out.
template <typename F> bool Eventually(F condition, std::chrono::milliseconds bound = Bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}
