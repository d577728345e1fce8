#pragma once
// How every facade operation reaches its engine, written once. Internal
// header: the facades' sources include it, where the engine types are
// complete; the public FFWrapper.h only declares the templates.
//
// Threads: any application thread and any event handler. `Shared::lock`
// guards `Shared::engine` only, and is held just long enough to copy it: no
// facade lock is held across an engine call. A call keeps its copy of the
// engine until its CallScope has closed (the scope is opened after the copy,
// so it closes first), so deferred events and joins run on a live engine.
// The engine is deleted by whoever lets go of it last; on one of the
// engine's own threads the delete waits for that thread's exit
// (EngineDeleter).
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "core/CallScope.h"
#include "core/FFThread.h"
#include "facade/FFWrapper.h"

namespace Quillet::FFWrapperCLI {

// The application's handlers of one facade, apart from the facade object so
// that an event still in flight finds them after the facade has gone. `lock`
// guards `list`, `closed` and `running`; never held while a handler runs.
// Raise comes from whichever thread reports the event; Close from Dispose.
struct FacadeHandlers {
    std::mutex lock;
    std::condition_variable idle; // notified when `running` drops
    std::vector<ManagedEventDelegate> list;
    bool closed = false; // disposed: later events reach no handler
    int running = 0;     // Raise calls inside the application's handlers

    void Raise(const EventArgs& args);
    // No handler is called from now on, and none is still running on another
    // thread when this returns: the application may destroy what its handlers
    // use once Dispose has returned. A handler running on this very thread
    // (the one that disposes) is not waited for.
    void Close();

private:
    void Finished();
};

struct FFWrapper::Shared {
    // Guards `engine`.
    std::mutex lock;
    std::shared_ptr<Quillet::FFEngine> engine;
    // Held while ReadFrameGetSize copies a picture (one reader at a time).
    std::mutex readLock;
    // Set at construction, never changed.
    std::shared_ptr<Quillet::SourceInterrupt> interrupt;
    std::shared_ptr<FacadeHandlers> handlers = std::make_shared<FacadeHandlers>();

    std::shared_ptr<Quillet::FFEngine> Engine()
    {
        std::lock_guard<std::mutex> guard(lock);
        return engine;
    }
};

template <class EngineType, class Result, class Call>
Result FFWrapper::WithEngine(Result none, Call call)
{
    const std::shared_ptr<Quillet::FFEngine> engine = _shared->Engine();
    if (!engine)
        return none;
    // Events and joins of the call run when it has let go of its locks.
    Quillet::CallScope scope;
    return call(*static_cast<EngineType*>(engine.get()));
}

template <class EngineType, class Call>
void FFWrapper::WithEngine(Call call)
{
    const std::shared_ptr<Quillet::FFEngine> engine = _shared->Engine();
    if (!engine)
        return;
    Quillet::CallScope scope;
    call(*static_cast<EngineType*>(engine.get()));
}

template <class EngineType, class Call>
StopResult FFWrapper::Stopping(Call call)
{
    const uint64_t before = Quillet::threadex::SelfStops();
    WithEngine<EngineType>(call);
    return Quillet::threadex::SelfStops() != before ? StopResult::AfterHandler : StopResult::Done;
}

} // namespace Quillet::FFWrapperCLI
