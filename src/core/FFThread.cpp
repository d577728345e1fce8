#include "core/FFThread.h"

#include <algorithm>
#include <vector>

#include <exception>

#include "core/FFError.h"
#include "events/FFLogger.h"

namespace Quillet {

struct threadex::Completion {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    int exitCode = 0;
};

threadex::~threadex()
{
    // The owner has told the worker to stop; wait for it rather than let it
    // run on into whatever is being destroyed.
    Join();
}

void threadex::Start(std::function<void()> function)
{
    if (_handle)
        throw FFError("Thread is already defined");
    auto state = std::make_shared<Completion>();
    // The thread waits for this lock, so the wrapper is complete before the
    // function runs (a worker may join itself).
    std::unique_lock<std::mutex> starting(state->mutex);
    _handle = std::make_unique<std::thread>([state, name = _name, function = std::move(function)] {
        { std::lock_guard<std::mutex> started(state->mutex); }
        int code = 0;
        try {
            function();
        } catch (const std::exception& e) {
            // The owner reads the exit code; the process is not told on stdout.
            RootLogger().getStream(LogLevel::Error) << "Thread '" << name << "' ended on an exception: " << e.what();
            code = -1;
        } catch (...) {
            code = -1;
        }
        std::lock_guard<std::mutex> guard(state->mutex);
        state->exitCode = code;
        state->done = true;
        state->ended.notify_all();
    });
    _state = state;
}

namespace {

// The workers some thread is waiting to join. Guarded by JoinedLock().
std::mutex& JoinedLock()
{
    static std::mutex lock;
    return lock;
}
std::vector<std::thread::id>& Joined()
{
    static std::vector<std::thread::id> ids;
    return ids;
}

// Marks `id` as being joined for the life of the guard.
class BeingJoined {
public:
    explicit BeingJoined(std::thread::id id) : _id(id)
    {
        std::lock_guard<std::mutex> guard(JoinedLock());
        Joined().push_back(_id);
    }
    ~BeingJoined()
    {
        std::lock_guard<std::mutex> guard(JoinedLock());
        auto& ids = Joined();
        ids.erase(std::find(ids.begin(), ids.end(), _id));
    }
    BeingJoined(const BeingJoined&) = delete;
    BeingJoined& operator=(const BeingJoined&) = delete;

private:
    std::thread::id _id;
};

} // namespace

bool threadex::IsThisThreadBeingJoined()
{
    std::lock_guard<std::mutex> guard(JoinedLock());
    const auto& ids = Joined();
    return std::find(ids.begin(), ids.end(), std::this_thread::get_id()) != ids.end();
}

void threadex::Join(std::chrono::milliseconds warnPeriod)
{
    if (!_handle)
        return;
    if (_handle->get_id() == std::this_thread::get_id()) {
        // A worker cannot wait for its own end: let it finish on its own.
        _handle->detach();
        _handle.reset();
        return;
    }
    {
        const BeingJoined marked(_handle->get_id());
        std::unique_lock<std::mutex> guard(_state->mutex);
        for (auto waited = warnPeriod; !_state->ended.wait_for(guard, warnPeriod, [this] { return _state->done; });
             waited += warnPeriod)
            RootLogger().getStream(LogLevel::Warn)
                << "Thread '" << _name << "' has not ended after " << waited.count() << " ms; still waiting";
    }
    _handle->join();
    _handle.reset();
}

bool threadex::IsRunning() const
{
    if (!_state)
        return false;
    std::lock_guard<std::mutex> guard(_state->mutex);
    return !_state->done;
}

int threadex::ExitCode() const
{
    if (!_state)
        return 0;
    std::lock_guard<std::mutex> guard(_state->mutex);
    return _state->exitCode;
}

} // namespace Quillet
