#pragma once
// Where the library hands control back to the application: a thread-local
// scope that every library entry point (facade calls, EngineLock) and every
// worker loop iteration opens before it takes a lock. Events raised and work
// deferred while a scope is open on a thread are queued on that thread and
// run, in order, when the outermost scope closes: after every lock taken
// inside it has been let go, and before the call that opened it returns. So
// an event reaches its handler synchronously on the reporting thread, with
// no library lock held, and the handler may call anything.
//
// Threads: each thread has its own depth and queue (thread_local); nothing
// is shared, so nothing is locked. A scope must be opened before, and so
// closed after, every lock of the call it brackets.
#include <functional>

namespace Quillet {

class CallScope {
public:
    CallScope() noexcept;
    // Closing the outermost scope runs what was queued (see the header).
    ~CallScope();
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

    // True while a scope is open on this thread.
    static bool IsOpen() noexcept;
    // Library work that must run with no lock held (the join of a stopped
    // thread, the rest of a stop): queued while a scope is open, else run at
    // once. It runs inside a scope of its own, so what it raises follows it.
    static void AfterLocks(std::function<void()> work);
    // Application code (an event handler): queued while a scope is open,
    // else run at once. It runs with no scope open, so the calls it makes
    // complete before they return.
    static void Raise(std::function<void()> handler);
};

} // namespace Quillet
