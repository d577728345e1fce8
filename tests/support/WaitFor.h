#pragma once
// The one polling wait of the tests: for conditions that no event announces
// (a facade's answers, a queue's length), and the bound on a call that must
// not hang. Called on the test thread only.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
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

// Runs `work` on a thread of its own and reports whether it ended in time; a
// deadlock ends the test process, as nothing sensible can follow in it.
inline bool FinishesWithin(std::chrono::milliseconds limit, std::function<void()> work)
{
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    std::thread([done, work = std::move(work)] {
        work();
        done->set_value();
    }).detach();
    if (future.wait_for(limit) == std::future_status::ready)
        return true;
    std::fprintf(stderr, "deadlock: work did not finish within %lld ms\n", static_cast<long long>(limit.count()));
    std::_Exit(3);
}

} // namespace Quillet::Testing
