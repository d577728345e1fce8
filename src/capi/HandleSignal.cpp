#include "capi/HandleSignal.h"

namespace Quillet::CApi {

quillet_event QueuedEvent::View() const
{
    quillet_event e{};
    e.type = type;
    e.code = code;
    e.text = text.c_str();
    e.url = url.c_str();
    e.video_time = videoTime;
    e.pc_time = pcTime;
    e.is_good = isGood;
    e.missed = missed;
    e.missed_total = missedTotal;
    e.dropped = dropped;
    return e;
}

void HandleSignal::Bump()
{
    {
        std::lock_guard<std::mutex> guard(_lock);
        ++_progress;
    }
    _changed.notify_all();
}

HandleSignal::Mark HandleSignal::Now() const
{
    std::lock_guard<std::mutex> guard(_lock);
    return Mark{_progress, _interrupts};
}

HandleSignal::Woken HandleSignal::WaitForProgress(const Mark& mark, Clock::time_point deadline, bool forever)
{
    std::unique_lock<std::mutex> lock(_lock);
    const auto done = [&] { return Ended(mark) || _progress != mark.progress; };
    if (forever)
        _changed.wait(lock, done);
    else if (!_changed.wait_until(lock, deadline, done))
        return Woken::TimedOut;
    return Ended(mark) ? Woken::Interrupted : Woken::Progress;
}

void HandleSignal::Interrupt()
{
    {
        std::lock_guard<std::mutex> guard(_lock);
        ++_interrupts;
    }
    _changed.notify_all();
}

void HandleSignal::Close()
{
    {
        std::lock_guard<std::mutex> guard(_lock);
        _closed = true;
        ++_interrupts;
    }
    _changed.notify_all();
}

bool HandleSignal::Push(QueuedEvent event)
{
    {
        std::lock_guard<std::mutex> guard(_lock);
        ++_progress; // an event (end of stream, an error) may end a read's wait too
        if (_capacity == 0) {
            _changed.notify_all();
            return false;
        }
        while (_events.size() >= _capacity) {
            _events.pop_front();
            ++_droppedSinceTaken;
            ++_droppedTotal;
        }
        _events.push_back(std::move(event));
    }
    _changed.notify_all();
    return true;
}

HandleSignal::Woken HandleSignal::TakeEvent(const Mark& mark, Clock::time_point deadline, bool forever,
                                            QueuedEvent& out)
{
    std::unique_lock<std::mutex> lock(_lock);
    const auto done = [&] { return Ended(mark) || !_events.empty(); };
    if (forever)
        _changed.wait(lock, done);
    else if (!_changed.wait_until(lock, deadline, done))
        return Woken::TimedOut;
    if (_events.empty())
        return Woken::Interrupted;
    out = std::move(_events.front());
    _events.pop_front();
    out.dropped = _droppedSinceTaken;
    _droppedSinceTaken = 0;
    return Woken::Progress;
}

void HandleSignal::SetCapacity(size_t capacity)
{
    std::lock_guard<std::mutex> guard(_lock);
    _capacity = capacity;
    while (_events.size() > _capacity) {
        _events.pop_front();
        ++_droppedSinceTaken;
        ++_droppedTotal;
    }
}

uint64_t HandleSignal::DroppedTotal() const
{
    std::lock_guard<std::mutex> guard(_lock);
    return _droppedTotal;
}

} // namespace Quillet::CApi
