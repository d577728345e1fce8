#pragma once
// What a producer that waits for room downstream sleeps on. Each source side
// of the graph owns one and hands it to the destinations it connects; a
// destination that answered Full or Paused rings it once it may take records
// again (it took a queued record, was resumed, flushed, cut off). A filter's
// signal is linked to the one of its own source, so a ring anywhere below
// reaches the producer at the top. The producer also rings its own signal for
// what else ends its wait (a command queued, a stop).
//
// A waiter reads Generation() before it looks at the state it waits for and
// sleeps only while the generation is still the one it read, so a ring between
// its look and its sleep is never lost.
//
// Threads: any thread rings or links; the producer's thread waits. `_mutex`
// guards `_upstream` and the changes of `_generation` (read without it);
// nothing else is locked under it, and the ring of the upstream signal
// happens after it is released.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace Quillet {

class RoomSignal {
public:
    uint64_t Generation() const { return _generation.load(); }

    // Wakes every waiter, then the linked upstream signal.
    void Ring()
    {
        std::shared_ptr<RoomSignal> upstream;
        {
            std::lock_guard<std::mutex> guard(_mutex);
            _generation.fetch_add(1);
            upstream = _upstream.lock();
        }
        _changed.notify_all();
        if (upstream)
            upstream->Ring();
    }

    // Sleeps until the generation moves past `seen`.
    void WaitPast(uint64_t seen)
    {
        std::unique_lock<std::mutex> guard(_mutex);
        _changed.wait(guard, [&] { return _generation.load() != seen; });
    }

    // As WaitPast, for at most `limit`; false when the time ran out.
    template <typename Rep, typename Period>
    bool WaitPast(uint64_t seen, std::chrono::duration<Rep, Period> limit)
    {
        std::unique_lock<std::mutex> guard(_mutex);
        return _changed.wait_for(guard, limit, [&] { return _generation.load() != seen; });
    }

    // From now on every ring is passed on to `upstream` (empty: to nobody).
    // Held weakly: a filter never keeps its former source's signal alive.
    void Link(const std::shared_ptr<RoomSignal>& upstream)
    {
        std::lock_guard<std::mutex> guard(_mutex);
        _upstream = upstream;
    }

private:
    std::mutex _mutex;
    std::condition_variable _changed;
    std::atomic<uint64_t> _generation{0};
    std::weak_ptr<RoomSignal> _upstream;
};

} // namespace Quillet
