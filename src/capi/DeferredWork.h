#pragma once
// Runs the stops, closes and destroys an event callback asked for on its own
// handle, once the callback has returned: they wait for the very thread the
// callback runs on, so they cannot run there. One library thread, started on
// first use, works the jobs off in order; it is stopped and joined when the
// library is unloaded (after finishing the jobs queued).
//
// Threads: Post from any thread (typically a reporting thread inside a
// callback); the jobs run on the worker. `_lock` guards the queue and the
// flags; jobs run without it.
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
    DeferredWork() = default;
    void Run();

    std::mutex _lock;
    std::condition_variable _changed;
    std::deque<std::function<void()>> _jobs;
    bool _stopping = false;
    std::thread _thread;
};

} // namespace Quillet::CApi
