#pragma once
// The guard every engine operation takes the engine's `_mutex` with. It waits
// like any lock, except on a worker the lock's holder is joining right now:
// a stop or close holds `_mutex` while it waits for the recording's write
// thread or a source's read thread to end, and an application's event
// handler running on that very thread and calling back into the engine
// would wait for the stop forever. There the call gives up instead
// (EngineClosingForThisThread, which the operations answer with their
// neutral value), and the thread can end.
//
// Threads: any thread that calls into the engine; the wait is on the mutex
// itself, rechecking the join registry (core/FFThread.h) every kRecheck.
#include <chrono>
#include <exception>
#include <mutex>

#include "core/FFThread.h"

namespace Quillet {

struct EngineClosingForThisThread : std::exception {
    const char* what() const noexcept override { return "the engine is stopping and waits for this very thread"; }
};

class EngineLock {
public:
    explicit EngineLock(std::recursive_timed_mutex& mutex) : _mutex(mutex)
    {
        while (!_mutex.try_lock_for(kRecheck))
            if (threadex::IsThisThreadBeingJoined())
                throw EngineClosingForThisThread();
    }
    ~EngineLock() { _mutex.unlock(); }
    EngineLock(const EngineLock&) = delete;
    EngineLock& operator=(const EngineLock&) = delete;

private:
    static constexpr std::chrono::milliseconds kRecheck{20};
    std::recursive_timed_mutex& _mutex;
};

} // namespace Quillet
