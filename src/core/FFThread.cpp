#include "core/FFThread.h"

#include <exception>
#include <vector>

#include "core/FFError.h"
#include "events/FFLogger.h"

namespace Quillet {

struct threadex::Completion {
    std::mutex mutex;
    std::condition_variable ended;
    bool returned = false; // the function has returned; at-exit actions may still run
    bool done = false;     // nothing of the worker is left to run
    int exitCode = 0;
    std::thread::id id; // set by Start under the wrapper's `_lock`, then constant
};

namespace {

// What a worker knows about itself; lives on the worker's stack.
struct WorkerContext {
    const void* owner = nullptr;
    bool exiting = false; // the function has returned; at-exit actions run
    std::vector<std::function<void()>> atExit;
};

thread_local WorkerContext* tWorker = nullptr;

// Workers whose function or at-exit actions still run; `RunningLock` guards
// the count, `NoneRunning` tells waiters it reached 0.
std::mutex& RunningLock()
{
    static std::mutex lock;
    return lock;
}
std::condition_variable& NoneRunning()
{
    static std::condition_variable none;
    return none;
}
size_t gRunning = 0;
// Workers with at-exit actions still to run (a facade torn down on its own
// thread): the process's end waits for them, so no teardown runs on into the
// destruction of the process's statics (the logger's among them).
size_t gTearingDown = 0;

// Destroyed at the process's end, before the statics that existed when the
// first teardown was put off (the logger's): waits for the teardowns put off
// until their workers' exit. Bounded: an at-exit action that cannot finish
// must not keep the process from ending.
struct TeardownsAtProcessEnd {
    ~TeardownsAtProcessEnd()
    {
        std::unique_lock<std::mutex> counting(RunningLock());
        NoneRunning().wait_for(counting, std::chrono::seconds(10), [] { return gTearingDown == 0; });
    }
};
thread_local uint64_t tSelfStops = 0;

// Threads whose wrapper let go of them on the thread itself. Joined with no
// lock held: those that have ended at the next Start or Join anywhere, the
// rest when the process ends (a thread must not outlive the process's end
// unjoined). `lock` guards `threads` and is never held while joining.
class EndedThreads {
public:
    struct Ended {
        std::unique_ptr<std::thread> handle;
        std::shared_ptr<void> state;
        std::function<bool()> done;
    };

    static EndedThreads& Instance()
    {
        static EndedThreads collector;
        return collector;
    }

    void Adopt(Ended ended)
    {
        std::lock_guard<std::mutex> guard(_lock);
        _threads.push_back(std::move(ended));
    }

    void JoinEnded() { JoinWhere([](const Ended& e) { return e.done(); }); }

    ~EndedThreads() { JoinWhere([](const Ended&) { return true; }); }

private:
    template <typename Which>
    void JoinWhere(Which which)
    {
        std::vector<Ended> now;
        {
            std::lock_guard<std::mutex> guard(_lock);
            if (_threads.empty())
                return;
            for (auto it = _threads.begin(); it != _threads.end();) {
                if (it->handle->get_id() != std::this_thread::get_id() && which(*it)) {
                    now.push_back(std::move(*it));
                    it = _threads.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (Ended& e : now)
            e.handle->join();
    }

    std::mutex _lock;
    std::vector<Ended> _threads;
};

} // namespace

threadex::~threadex()
{
    // The owner has told the worker to stop; wait for it rather than let it
    // run on into whatever is being destroyed. On the worker itself (the
    // owner is torn down by the worker's own at-exit action, or a handler
    // destroyed it) the handle goes to the collector.
    if (Join())
        return;
    std::lock_guard<std::mutex> guard(_lock);
    if (_handle) {
        auto state = _state;
        EndedThreads::Instance().Adopt({std::move(_handle), state, [state] {
                                            std::lock_guard<std::mutex> g(state->mutex);
                                            return state->done;
                                        }});
    }
}

void threadex::Start(std::function<void()> function, const void* owner)
{
    EndedThreads::Instance().JoinEnded();
    std::unique_ptr<std::thread> previous;
    std::shared_ptr<Completion> previousState;
    std::unique_lock<std::mutex> guard(_lock);
    if (_joining)
        throw FFError("Thread is already defined");
    if (_handle) {
        bool done;
        {
            std::lock_guard<std::mutex> g(_state->mutex);
            done = _state->done;
        }
        if (_handle->get_id() == std::this_thread::get_id()) {
            // Restarted from a handler on the worker that was asked to stop:
            // it ends once the handler returns; the collector joins it.
            auto state = _state;
            EndedThreads::Instance().Adopt({std::move(_handle), state, [state] {
                                                std::lock_guard<std::mutex> g(state->mutex);
                                                return state->done;
                                            }});
        } else if (done) {
            previous = std::move(_handle);
            previousState = _state;
        } else {
            throw FFError("Thread is already defined");
        }
    }
    auto state = std::make_shared<Completion>();
    // The thread waits for this lock, so the wrapper is complete before the
    // function runs (a worker may join itself).
    std::unique_lock<std::mutex> starting(state->mutex);
    _handle = std::make_unique<std::thread>([state, owner, name = _name, function = std::move(function)] {
        { std::lock_guard<std::mutex> started(state->mutex); }
        WorkerContext context;
        context.owner = owner;
        tWorker = &context;
        int code = 0;
        try {
            function();
        } catch (const std::exception& e) {
            // The owner reads the exit code; the process is not told on stdout.
            LogStream(RootLogger(), LogLevel::Error) << "Thread '" << name << "' ended on an exception: " << e.what();
            code = -1;
        } catch (...) {
            code = -1;
        }
        context.exiting = true;
        {
            // Joiners wait for this, not for the at-exit actions: those may
            // tear down an owner whose other threads are joining this one.
            std::lock_guard<std::mutex> guard(state->mutex);
            state->returned = true;
            state->exitCode = code;
            state->ended.notify_all();
        }
        for (size_t i = 0; i < context.atExit.size(); ++i) {
            std::function<void()> action = std::move(context.atExit[i]);
            try {
                action();
            } catch (...) {
            }
        }
        tWorker = nullptr;
        {
            std::lock_guard<std::mutex> guard(state->mutex);
            state->done = true;
            state->ended.notify_all();
        }
        std::lock_guard<std::mutex> counting(RunningLock());
        if (!context.atExit.empty())
            --gTearingDown;
        --gRunning;
        NoneRunning().notify_all();
    });
    state->id = _handle->get_id();
    _state = state;
    {
        // Counted before the thread may run (it waits for `starting`).
        std::lock_guard<std::mutex> counting(RunningLock());
        ++gRunning;
    }
    starting.unlock();
    guard.unlock();
    if (previous)
        previous->join(); // it has ended: the join only lets go of it
}

bool threadex::Join(std::chrono::milliseconds warnPeriod)
{
    std::unique_lock<std::mutex> guard(_lock);
    const auto self = std::this_thread::get_id();
    if (_handle && _handle->get_id() == self) {
        if (tWorker && tWorker->exiting) {
            // Its function has returned: nothing of the worker is left to wait for.
            auto state = _state;
            EndedThreads::Instance().Adopt({std::move(_handle), state, [state] {
                                                std::lock_guard<std::mutex> g(state->mutex);
                                                return state->done;
                                            }});
            return true;
        }
        ++tSelfStops;
        return false;
    }
    if (_joining) {
        if (_joining->id == self) {
            ++tSelfStops;
            return tWorker && tWorker->exiting;
        }
        // Another thread is joining it: wait until that join is through.
        _joined.wait(guard, [this] { return !_joining; });
        return true;
    }
    if (!_handle)
        return true;
    std::unique_ptr<std::thread> handle = std::move(_handle);
    std::shared_ptr<Completion> state = _state;
    _joining = state;
    guard.unlock();
    EndedThreads::Instance().JoinEnded();
    _JoinHandle(std::move(handle), state, warnPeriod);
    return true;
}

void threadex::_JoinHandle(std::unique_ptr<std::thread> handle, const std::shared_ptr<Completion>& state,
                           std::chrono::milliseconds warnPeriod)
{
    bool done;
    {
        std::unique_lock<std::mutex> wait(state->mutex);
        for (auto waited = warnPeriod; !state->ended.wait_for(wait, warnPeriod, [&] { return state->returned; });
             waited += warnPeriod)
            LogStream(RootLogger(), LogLevel::Warn)
                << "Thread '" << _name << "' has not ended after " << waited.count() << " ms; still waiting";
        done = state->done;
    }
    {
        // Cleared and signalled under the lock: a second joiner may destroy
        // the wrapper as soon as it gets the lock after this.
        std::lock_guard<std::mutex> guard(_lock);
        _joining.reset();
        _joined.notify_all();
    }
    if (done) {
        handle->join(); // it has ended; this only lets go of it
        return;
    }
    // Its function has returned, its at-exit actions still run (they may be
    // waiting for this very thread): the collector joins it.
    EndedThreads::Instance().Adopt({std::move(handle), state, [state] {
                                        std::lock_guard<std::mutex> g(state->mutex);
                                        return state->done;
                                    }});
}

bool threadex::IsStarted() const
{
    std::lock_guard<std::mutex> guard(_lock);
    return _handle != nullptr || _joining != nullptr;
}

bool threadex::IsRunning() const
{
    std::shared_ptr<Completion> state;
    {
        std::lock_guard<std::mutex> guard(_lock);
        state = _state;
    }
    if (!state)
        return false;
    std::lock_guard<std::mutex> guard(state->mutex);
    return !state->returned; // as a Join sees it: its function still runs
}

bool threadex::IsCurrentThread() const
{
    std::lock_guard<std::mutex> guard(_lock);
    return _state && _state->id == std::this_thread::get_id() && (_handle || _joining);
}

int threadex::ExitCode() const
{
    std::shared_ptr<Completion> state;
    {
        std::lock_guard<std::mutex> guard(_lock);
        state = _state;
    }
    if (!state)
        return 0;
    std::lock_guard<std::mutex> guard(state->mutex);
    return state->exitCode;
}

const void* threadex::CurrentOwner()
{
    return tWorker ? tWorker->owner : nullptr;
}

bool threadex::AtThisWorkerExit(std::function<void()> action)
{
    if (!tWorker)
        return false;
    static TeardownsAtProcessEnd waitAtProcessEnd;
    if (tWorker->atExit.empty()) {
        std::lock_guard<std::mutex> counting(RunningLock());
        ++gTearingDown;
    }
    tWorker->atExit.push_back(std::move(action));
    return true;
}

bool threadex::WaitUntilNoWorkers(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> counting(RunningLock());
    return NoneRunning().wait_for(counting, limit, [] { return gRunning == 0; });
}

uint64_t threadex::SelfStops()
{
    return tSelfStops;
}

} // namespace Quillet
