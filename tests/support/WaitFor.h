#pragma once
// The one polling wait of the tests: for conditions that no event announces
// (a facade's answers, a queue's length), and the bound on a call that must
// not hang. Called on the test thread only.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
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

// The watchdog: runs `work` on a thread of its own, joined once it has ended,
// and passes on what it threw. A call that does not come back within `limit`
// is a deadlock and ends the test process naming `what`, as nothing sensible
// can follow in it. Returns true, for use in an expectation.
inline bool FinishesWithin(std::chrono::milliseconds limit, const char* what, std::function<void()> work)
{
    std::future<void> done = std::async(std::launch::async, std::move(work));
    if (done.wait_for(limit) != std::future_status::ready) {
        std::fprintf(stderr, "deadlock: %s did not finish within %lld ms\n", what, static_cast<long long>(limit.count()));
        std::_Exit(3);
    }
    done.get();
    return true;
}

} // namespace Quillet::Testing
