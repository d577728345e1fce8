#pragma once
// How much a recording may hold in memory while its disk has not taken it
// yet. A live source never waits for the recording, so a disk that stalls
// lets the queue grow; past kRecordingBacklog (core/BacklogBounds.h) the
// queued packets are given up and the recording goes on from the next
// video key picture, and the sink reports how many seconds were lost. A file
// source, which waits while the sink answers Full, stays far below the bound.
//
// Not thread-safe on its own: the sink calls every operation with its
// `_queueLock` held, on the source's thread (Admit) or the write thread
// (Taken).
#include <cstdint>
#include <deque>
#include <memory>

#include "core/BacklogBounds.h"
#include "core/FFData.h"

namespace Quillet {

class RecordingBacklog {
public:
    // Decides whether `arriving` joins `queue` (the sink's queue, which this
    // may trim). Sets `lostSeconds` (else left alone) when recording resumes
    // at a key picture after giving packets up.
    bool Admit(const FFData& arriving, std::deque<std::shared_ptr<FFData>>& queue, double& lostSeconds);
    // The write thread took the whole queue.
    void Taken();

private:
    bool Beyond(int64_t wallTime) const;
    void GiveUp(std::deque<std::shared_ptr<FFData>>& queue);

    int64_t _bytes = 0;
    int64_t _oldestWallTime = 0; // of the oldest queued packet; 0 when unknown
    bool _skipping = false;      // packets are dropped until a video key picture
    int64_t _lostFrom = 0;       // wall time of the first packet given up
    uint64_t _lostPackets = 0;
};

} // namespace Quillet
