#pragma once
// Worker-thread wrappers. A worker runs one callable; joining waits at most a
// fixed time and, when the worker does not end in time, lets it go on
// detached. The worker's completion state is shared with the thread itself,
// so a detached worker never touches the wrapper that started it.
//
// Threads: one owning thread calls Start, Join and the queries; the worker
// thread only touches the shared completion state, whose own mutex guards
// its finished flag and exit code (see FFThread.cpp). The wrapper's
// `_handle` and `_state` belong to the owning thread and take no lock. A
// worker may Join itself: that returns at once.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace Quillet {

class threadex {
public:
    static constexpr std::chrono::milliseconds kJoinLimit{10000};

    threadex() = default;
    virtual ~threadex();
    threadex(const threadex&) = delete;
    threadex& operator=(const threadex&) = delete;

    // Throws "Thread is already defined" while a thread is held.
    void Start(std::function<void()> function);
    // True when there was no thread or it ended within the limit.
    bool Join(std::chrono::milliseconds limit = kJoinLimit);
    // True while a thread is held (started and not yet joined).
    bool IsStarted() const { return _handle != nullptr; }
    // True while the held thread has not finished.
    bool IsRunning() const;
    // 0 after a normal end, -1 after an escaped exception.
    int ExitCode() const;

private:
    struct Completion;
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

    void Start(T* object, Method method)
    {
        _worker.Start([object, method] { (object->*method)(); });
    }
    bool Join(std::chrono::milliseconds limit = threadex::kJoinLimit) { return _worker.Join(limit); }
    bool IsStarted() const { return _worker.IsStarted(); }
    bool IsRunning() const { return _worker.IsRunning(); }
    int ExitCode() const { return _worker.ExitCode(); }

private:
    // Used by the owning thread only, as threadex.
    threadex _worker;
};

} // namespace Quillet
