#pragma once
// Runs the stops, closes and destroys an event callback asked for on its own
// handle, once the callback has returned: they wait for the very thread the
// callback runs on, so they cannot run there. One library thread works the
// jobs off in order. It is started by the first job and ends once it has
// been idle for kIdle, so no thread of ours outlives the work (a managed
// runtime that saw the thread in a callback waits for it at exit); the
// destructor, when the library is unloaded, finishes the jobs queued.
//
// Threads: Post from any thread (typically a reporting thread inside a
// callback); the jobs run on the worker. `_lock` guards the queue and the
// flags; jobs run without it.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace Quillet::CApi {

class DeferredWork {
public:
    // The process's worker.
    static DeferredWork& Instance();
    ~DeferredWork();

    void Post(std::function<void()> job);

private:
    static constexpr std::chrono::milliseconds kIdle{500};

    DeferredWork() = default;
    void Run();

    std::mutex _lock;
    std::condition_variable _changed;
    std::deque<std::function<void()>> _jobs;
    bool _stopping = false;
    // True from a start until the worker decides to end (under `_lock`).
    bool _running = false;
    std::thread _thread;
};

} // namespace Quillet::CApi
