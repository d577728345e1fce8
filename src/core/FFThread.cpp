#include "core/FFThread.h"

#include <exception>
#include <iostream>

#include "core/FFError.h"

namespace Quillet {

struct threadex::Completion {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    int exitCode = 0;
};

threadex::~threadex()
{
    // The owner has stopped the worker; a thread still held is let go rather
    // than terminating the process.
    if (_handle && _handle->joinable())
        _handle->detach();
}

void threadex::Start(std::function<void()> function)
{
    if (_handle)
        throw FFError("Thread is already defined");
    auto state = std::make_shared<Completion>();
    // The thread waits for this lock, so the wrapper is complete before the
    // function runs (a worker may join itself).
    std::unique_lock<std::mutex> starting(state->mutex);
    _handle = std::make_unique<std::thread>([state, function = std::move(function)] {
        { std::lock_guard<std::mutex> started(state->mutex); }
        int code = 0;
        try {
            function();
        } catch (const std::exception& e) {
            std::cout << "OOOHHHH - unhandled exception in thread" << std::endl << e.what() << std::endl;
            code = -1;
        }
        std::lock_guard<std::mutex> guard(state->mutex);
        state->exitCode = code;
        state->done = true;
        state->ended.notify_all();
    });
    _state = state;
}

bool threadex::Join(std::chrono::milliseconds limit)
{
    if (!_handle)
        return true;
    if (_handle->get_id() == std::this_thread::get_id()) {
        // A worker cannot wait for its own end: let it finish on its own.
        _handle->detach();
        _handle.reset();
        return true;
    }
    bool ended;
    {
        std::unique_lock<std::mutex> guard(_state->mutex);
        ended = _state->ended.wait_for(guard, limit, [this] { return _state->done; });
    }
    if (ended)
        _handle->join();
    else
        _handle->detach();
    _handle.reset();
    return ended;
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
