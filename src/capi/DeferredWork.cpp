#include "capi/DeferredWork.h"

namespace Quillet::CApi {

DeferredWork& DeferredWork::Instance()
{
    static DeferredWork work;
    return work;
}

DeferredWork::~DeferredWork()
{
    {
        std::lock_guard<std::mutex> guard(_lock);
        _stopping = true;
    }
    _changed.notify_all();
    if (_thread.joinable())
        _thread.join();
}

void DeferredWork::Post(std::function<void()> job)
{
    {
        std::lock_guard<std::mutex> guard(_lock);
        _jobs.push_back(std::move(job));
        if (!_running) {
            // The previous worker has decided to end and takes no lock any more.
            if (_thread.joinable())
                _thread.join();
            _running = true;
            _thread = std::thread([this] { Run(); });
        }
    }
    _changed.notify_all();
}

void DeferredWork::Run()
{
    std::unique_lock<std::mutex> lock(_lock);
    for (;;) {
        _changed.wait_for(lock, kIdle, [this] { return _stopping || !_jobs.empty(); });
        if (_jobs.empty()) {
            _running = false;
            return;
        }
        std::function<void()> job = std::move(_jobs.front());
        _jobs.pop_front();
        lock.unlock();
        try {
            job();
        } catch (...) {
            // A deferred stop or destroy has nobody to report to; the facades log their own failures.
        }
        job = nullptr; // the handle a destroy held goes here, outside the lock
        lock.lock();
    }
}

} // namespace Quillet::CApi
