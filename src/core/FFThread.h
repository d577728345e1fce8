#pragma once
// Worker-thread wrappers. A worker runs one callable under a name. Joining
// always waits for the worker to end: a worker let go on its own would run
// on into the object that is being destroyed around it. Each time a join has
// waited another kJoinWarnPeriod, a warning naming the worker is logged, so a
// stop that hangs shows which thread holds it up.
//
// Threads: one owning thread calls Start, Join and the queries; the worker
// thread only touches the shared completion state, whose own mutex guards
// its finished flag and exit code (see FFThread.cpp). The wrapper's
// `_handle` and `_state` belong to the owning thread and take no lock. A
// worker may Join itself (it cannot wait for its own end): that lets the
// thread finish on its own and returns at once.
#include <chrono>
#include <condition_variable>
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

    // Throws "Thread is already defined" while a thread is held.
    void Start(std::function<void()> function);
    // Waits until the held thread (if any) has ended, warning every
    // `warnPeriod`; the owner must have told it to stop.
    void Join(std::chrono::milliseconds warnPeriod = kJoinWarnPeriod);
    // True while a thread is held (started and not yet joined).
    bool IsStarted() const { return _handle != nullptr; }
    // True while the held thread has not finished.
    bool IsRunning() const;
    // 0 after a normal end, -1 after an escaped exception.
    int ExitCode() const;
    const std::string& Name() const { return _name; }

    // True on a worker some other thread is waiting to join right now: a
    // lock that joiner holds will not come free for it, so a call it makes
    // (an application's event handler calling back into the engine) gives up
    // instead of waiting. Any thread; takes a process-wide lock of its own.
    static bool IsThisThreadBeingJoined();

private:
    struct Completion;
    const std::string _name;
    // The owning thread's alone, no lock; the Completion behind `_state` is
    // shared with the worker and guarded by its own mutex.
    std::shared_ptr<Completion> _state;
    std::unique_ptr<std::thread> _handle;
};

// A worker bound to a member function of an object.
template <typename T>
class thread {
public:
    using Method = void (T::*)();

    explicit thread(std::string name) : _worker(std::move(name)) {}

    void Start(T* object, Method method)
    {
        _worker.Start([object, method] { (object->*method)(); });
    }
    void Join(std::chrono::milliseconds warnPeriod = threadex::kJoinWarnPeriod) { _worker.Join(warnPeriod); }
    bool IsStarted() const { return _worker.IsStarted(); }
    bool IsRunning() const { return _worker.IsRunning(); }
    int ExitCode() const { return _worker.ExitCode(); }

private:
    // Used by the owning thread only, as threadex.
    threadex _worker;
};

} // namespace Quillet
