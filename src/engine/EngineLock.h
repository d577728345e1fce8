#pragma once
// The guard every engine operation takes the engine's `_mutex` with: a
// CallScope (core/CallScope.h) opened before the lock and closed after it is
// let go, then the lock itself, a plain recursive mutex that waits like any
// lock. Events raised and stops finished inside the operation therefore run
// once the outermost scope on the thread closes, with no library lock held.
//
// Threads: any thread that calls into the engine.
#include <mutex>

#include "core/CallScope.h"

namespace Quillet {

class EngineLock {
public:
    explicit EngineLock(std::recursive_mutex& mutex) : _lock(mutex) {}
    EngineLock(const EngineLock&) = delete;
    EngineLock& operator=(const EngineLock&) = delete;

private:
    // Declared first: opened before the lock is taken, closed after it is let go.
    CallScope _scope;
    std::unique_lock<std::recursive_mutex> _lock;
};

} // namespace Quillet
