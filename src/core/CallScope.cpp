#include "core/CallScope.h"

#include <deque>
#include <exception>
#include <utility>

#include "events/FFLogger.h"
#include "events/LogCapture.h"

namespace Quillet {
namespace {

struct Deferred {
    std::function<void()> work;
    bool library; // library work runs inside a scope, handlers outside
};

struct ScopeState {
    int depth = 0;
    std::deque<Deferred> queue;
};

ScopeState& State()
{
    thread_local ScopeState state;
    return state;
}

void RunOne(ScopeState& state, Deferred& item)
{
    try {
        if (item.library) {
            CallScope inner; // what it queues runs when it is done, before the next item
            item.work();
        } else {
            item.work();
        }
    } catch (const std::exception& e) {
        LogStream(RootLogger(), LogLevel::Error) << "A deferred call ended on an exception: " << e.what();
    } catch (...) {
        LogStream(RootLogger(), LogLevel::Error) << "A deferred call ended on an exception";
    }
    (void)state;
}

// Runs the queue with no scope open. Each batch is taken whole, so what an
// item queues (inside its own scopes) is run by those scopes, not here.
void Drain(ScopeState& state)
{
    for (;;) {
        std::deque<Deferred> batch;
        batch.swap(state.queue);
        if (batch.empty())
            break;
        for (Deferred& item : batch)
            RunOne(state, item);
    }
    LogCapture::Instance().DeliverPending();
}

} // namespace

CallScope::CallScope() noexcept
{
    ++State().depth;
}

CallScope::~CallScope()
{
    ScopeState& state = State();
    if (--state.depth == 0)
        Drain(state);
}

bool CallScope::IsOpen() noexcept
{
    return State().depth > 0;
}

void CallScope::AfterLocks(std::function<void()> work)
{
    ScopeState& state = State();
    if (state.depth > 0) {
        state.queue.push_back(Deferred{std::move(work), true});
        return;
    }
    Deferred item{std::move(work), true};
    RunOne(state, item);
}

void CallScope::Raise(std::function<void()> handler)
{
    ScopeState& state = State();
    if (state.depth > 0) {
        state.queue.push_back(Deferred{std::move(handler), false});
        return;
    }
    Deferred item{std::move(handler), false};
    RunOne(state, item);
}

} // namespace Quillet
