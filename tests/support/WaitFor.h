#pragma once
// The one polling wait of the tests: for conditions that no event announces
// (a facade's answers, a queue's length). Called on the test thread only.
#include <chrono>
#include <functional>
#include <thread>

namespace Quillet::Testing {

// Waits until `done` holds or `limit` passes; returns the condition's last answer.
inline bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace Quillet::Testing
