// The engine's close worker and the sources it retires: end of stream and
// source errors close the source on a thread of the engine's own, never on
// the thread that reported them (a handler there may be the one reading).
// `_closeLock` guards the worker's start and `_destroying`; `_retireLock` the
// sources stopped from their own threads. Neither is taken with `_mutex` held.
#include "engine/FFEngine.h"

#include "core/CallScope.h"
#include "engine/EngineLock.h"

namespace Quillet {

using Lock = EngineLock;

namespace {
// The engine whose close job runs on this thread, if any.
thread_local const FFEngine* tCloseJobOf = nullptr;
} // namespace

void FFEngine::ShutDownCloseWorker()
{
    {
        std::lock_guard<std::mutex> guard(_closeLock);
        _destroying = true;
    }
    // Nobody starts the worker once the flag is set, so the wait needs no
    // lock; a node reporting meanwhile is turned away instead of blocking.
    _closeThread.Join();
}

void FFEngine::ScheduleOnCloseWorker(std::function<void()> job)
{
    // Starting a job joins the previous one, so it happens once the caller
    // has let go of its locks (the previous job may need them).
    CallScope::AfterLocks([this, job = std::move(job)] {
        for (;;) {
            {
                std::lock_guard<std::mutex> guard(_closeLock);
                if (_destroying)
                    return;
                // Asked on the worker itself (a handler of its job), the
                // running job ends when the handler returns: start anew.
                if (!_closeThread.IsStarted() || _closeThread.IsCurrentThread()) {
                    _closeThread.Start(
                        [this, job] {
                            tCloseJobOf = this;
                            job();
                        },
                        this);
                    return;
                }
            }
            _closeThread.Join();
        }
    });
}

void FFEngine::WaitForCloseJob()
{
    if (tCloseJobOf == this)
        return;
    {
        std::lock_guard<std::mutex> guard(_closeLock);
        if (_destroying)
            return;
    }
    _closeThread.Join();
}

void FFEngine::_RetireSource(std::shared_ptr<IFFSource> source)
{
    if (source->StopReadThread()) {
        source->CloseSource();
        return;
    }
    // Asked on its own read thread: that thread ends when the handler returns.
    std::lock_guard<std::mutex> guard(_retireLock);
    _retiring.push_back(std::move(source));
}

void FFEngine::_FinishRetired()
{
    std::vector<std::shared_ptr<IFFSource>> retiring;
    {
        std::lock_guard<std::mutex> guard(_retireLock);
        retiring.swap(_retiring);
    }
    for (auto& source : retiring)
        _RetireSource(std::move(source));
}

void FFEngine::_JoinStoppedReader()
{
    std::shared_ptr<IFFSource> source;
    {
        Lock lock(_mutex);
        if (_source && !_source->IsReading())
            source = _source;
    }
    if (source)
        source->StopReadThread();
}

} // namespace Quillet
