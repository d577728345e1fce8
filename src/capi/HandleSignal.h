#pragma once
// What a C handle's blocked calls wait on: a progress count the library bumps
// whenever a picture may have become readable (a record reached the decoder,
// an event, a seek, a resume), an interrupt count bumped by
// quillet_player_interrupt(), a closed flag set by destroy, and the bounded
// queue of events waiting to be taken.
//
// Threads: the reporting threads (source read thread, decoder, recording
// write thread, publishing workers, the application thread inside a read)
// call Bump and Push; application threads call the waits, Interrupt, Close
// and the queue settings. `_lock` guards every field; `_changed` is notified
// on each change. Nothing else is locked while `_lock` is held, and no
// callback runs under it.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "quillet.h"

namespace Quillet::CApi {

// One event as the C interface hands it out, owning its strings.
struct QueuedEvent {
    int type = QUILLET_EVENT_NONE;
    int code = 0;
    std::string text;
    std::string url;
    double videoTime = 0.0;
    int64_t pcTime = 0;
    int isGood = 0;
    uint64_t missed = 0;
    uint64_t missedTotal = 0;
    uint64_t dropped = 0;

    // The C view of this event; its strings point into this record.
    quillet_event View() const;
};

class HandleSignal {
public:
    using Clock = std::chrono::steady_clock;
    // What a waiting call captured when it began.
    struct Mark {
        uint64_t progress;
        uint64_t interrupts;
    };
    enum class Woken { Progress, Interrupted, TimedOut };

    // Progress: something a reader may be waiting for happened.
    void Bump();
    Mark Now() const;
    // Waits until progress moved past `mark`, an interrupt came after it, or
    // `deadline` (none when `forever`).
    Woken WaitForProgress(const Mark& mark, Clock::time_point deadline, bool forever);

    // Ends every wait that began before now; Close also every later one.
    void Interrupt();
    void Close();

    // Queues `event`, dropping the oldest when the queue is full; false when
    // the queue keeps no events (capacity 0). Counts what it drops.
    bool Push(QueuedEvent event);
    // Takes the oldest event into `out`, waiting as WaitForProgress does.
    Woken TakeEvent(const Mark& mark, Clock::time_point deadline, bool forever, QueuedEvent& out);
    void SetCapacity(size_t capacity);
    uint64_t DroppedTotal() const;

private:
    bool Ended(const Mark& mark) const { return _closed || _interrupts != mark.interrupts; }

    mutable std::mutex _lock;
    std::condition_variable _changed;
    uint64_t _progress = 0;
    uint64_t _interrupts = 0;
    bool _closed = false;
    std::deque<QueuedEvent> _events;
    size_t _capacity = 1000;
    // Dropped since the last event taken (reported with the next one), and in all.
    uint64_t _droppedSinceTaken = 0;
    uint64_t _droppedTotal = 0;
};

} // namespace Quillet::CApi
