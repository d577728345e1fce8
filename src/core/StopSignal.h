#pragma once
// A stop that ends timed waits at once. A worker that must wait (for a full
// destination to make room, for a command to arrive) waits on the signal
// rather than sleeping, so a stop never waits for the sleep to run out.
//
// Threads: any thread raises or resets; any number of threads wait. `_raised`
// changes under `_mutex` (so no waiter misses the wake-up) and is read
// without it, so Raised() is cheap enough for a read loop or an interrupt
// callback.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace Quillet {

class StopSignal {
public:
    // Wakes every waiter; later waits return at once until Reset.
    void Raise()
    {
        {
            std::lock_guard<std::mutex> guard(_mutex);
            _raised = true;
        }
        _changed.notify_all();
    }

    void Reset()
    {
        std::lock_guard<std::mutex> guard(_mutex);
        _raised = false;
    }

    bool Raised() const { return _raised.load(); }

    // Waits up to `limit`; true when the stop was raised.
    template <typename Rep, typename Period>
    bool WaitFor(std::chrono::duration<Rep, Period> limit)
    {
        std::unique_lock<std::mutex> guard(_mutex);
        return _changed.wait_for(guard, limit, [this] { return _raised.load(); });
    }

private:
    std::mutex _mutex;
    std::condition_variable _changed;
    std::atomic<bool> _raised{false};
};

} // namespace Quillet
