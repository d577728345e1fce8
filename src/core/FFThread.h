#pragma once
// Worker-thread wrappers. A worker runs one callable under a name. Joining
// always waits for the worker to end: a worker let go on its own would run
// on into the object that is being destroyed around it. Each time a join has
// waited another kJoinWarnPeriod, a warning naming the worker is logged, so a
// stop that hangs shows which thread holds it up. No worker is ever detached.
//
// A stop asked on the worker itself (an application's event handler that
// stops the very thread it runs on) cannot wait for its own end: Join then
// returns false at once and keeps the handle; the owner has marked the stop,
// so the worker ends when the handler returns, and the next Join or Start
// from another thread joins it. When the wrapper is destroyed or restarted on
// that very thread, the handle goes to a process-wide collector of ended
// threads, which joins them without any lock held: those already ended at
// later Starts and Joins, the rest at the end of the process.
//
// Threads: the owner calls Start, Join and the queries, possibly from two
// threads at once (an application thread and a handler on the worker);
// `_lock` guards `_handle`, `_state` and `_joining`, never held while
// waiting. The worker thread only touches the shared completion state, whose
// own mutex guards its finished flag and exit code (see FFThread.cpp).
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace Quillet {

class threadex {
public:
    // How long a join waits between two warnings. The one limit for every worker.
    static constexpr std::chrono::milliseconds kJoinWarnPeriod{2000};

    explicit threadex(std::string name = "worker") : _name(std::move(name)) {}
    virtual ~threadex();
    threadex(const threadex&) = delete;
    threadex& operator=(const threadex&) = delete;

    // Runs `function` on a new thread. `owner` tags the thread (see
    // CurrentOwner): the engine the worker belongs to. A previous thread that
    // has ended is joined first; one asked to stop on itself and still
    // running its handler goes to the collector when this is called on it;
    // otherwise throws "Thread is already defined" while a thread is held.
    void Start(std::function<void()> function, const void* owner = nullptr);
    // Waits until the held thread (if any) has ended, warning every
    // `warnPeriod`; the owner must have told it to stop. True once it has
    // ended (or none was held); false when called on the held thread itself,
    // which then ends when its handler returns (see the header).
    bool Join(std::chrono::milliseconds warnPeriod = kJoinWarnPeriod);
    // True while a thread is held (started and not yet joined).
    bool IsStarted() const;
    // True while the held thread's function has not returned.
    bool IsRunning() const;
    // True on the held thread itself.
    bool IsCurrentThread() const;
    // 0 after a normal end, -1 after an escaped exception.
    int ExitCode() const;
    const std::string& Name() const { return _name; }

    // The `owner` given to Start for the worker this is called on, or null on
    // a thread this wrapper did not start.
    static const void* CurrentOwner();
    // Runs `action` on this worker once its function has returned (nothing of
    // the worker's own code is then on its stack): what a handler cannot
    // finish while the thread it runs on is still inside the object being torn
    // down. False, and nothing kept, on a thread this wrapper did not start.
    static bool AtThisWorkerExit(std::function<void()> action);
    // How many stops this thread has asked of itself so far (Joins that
    // returned false); a caller compares two readings to learn whether its
    // call completes only once the handler returns.
    static uint64_t SelfStops();
    // Waits up to `limit` until no worker started by these wrappers is
    // running (their functions and at-exit actions done); true then. Lets a
    // process that disposed of everything, also from handlers, wait for the
    // teardowns that finish on the handlers' threads.
    static bool WaitUntilNoWorkers(std::chrono::milliseconds limit);

private:
    struct Completion;
    void _JoinHandle(std::unique_ptr<std::thread> handle, const std::shared_ptr<Completion>& state,
                     std::chrono::milliseconds warnPeriod);
    const std::string _name;
    mutable std::mutex _lock;
    std::condition_variable _joined;
    // Guarded by `_lock`. `_joining` is the completion a Join in progress
    // waits for; a second joiner waits until it is cleared.
    std::shared_ptr<Completion> _state;
    std::unique_ptr<std::thread> _handle;
    std::shared_ptr<Completion> _joining;
};

// A worker bound to a member function of an object.
template <typename T>
class thread {
public:
    using Method = void (T::*)();

    explicit thread(std::string name) : _worker(std::move(name)) {}

    void Start(T* object, Method method, const void* owner = nullptr)
    {
        _worker.Start([object, method] { (object->*method)(); }, owner);
    }
    bool Join(std::chrono::milliseconds warnPeriod = threadex::kJoinWarnPeriod) { return _worker.Join(warnPeriod); }
    bool IsStarted() const { return _worker.IsStarted(); }
    bool IsRunning() const { return _worker.IsRunning(); }
    bool IsCurrentThread() const { return _worker.IsCurrentThread(); }
    int ExitCode() const { return _worker.ExitCode(); }

private:
    threadex _worker;
};

} // namespace Quillet
