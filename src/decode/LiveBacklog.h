#pragma once
// How the decoder's video queue copes with a live source, which pushes every
// packet as it arrives and never waits for the reader. Two policies:
// - Newest: every queued packet before a newly arrived key picture is given
//   up (nothing can be shown from them once a newer key is there), and while
//   the reader catches up, the pictures before the newest are decoded but not
//   converted;
// - Every: every picture in order, held up to kLiveReadingBacklog
//   (core/BacklogBounds.h); past that bound the queue drops to the next key
//   picture.
// Files (NotLive) keep the decoder's own overflow rule.
//
// Pure functions on the caller's queue, called with the decoder's `_lock`
// held; no state of their own.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

#include "core/BacklogBounds.h"
#include "core/FFData.h"

namespace Quillet {

enum class LiveReadingRule : int {
    NotLive = -1,
    Newest = 0, // the numbers of FFWrapperCLI::LiveReading
    Every = 1,
};

// The rule for a source: files are never live; a live source takes the
// application's choice (an unknown number falls back to Newest).
LiveReadingRule LiveRuleFor(bool live, int reading);


// Drops every packet in `queue` and all but the newest stream description;
// other control records (connection changes, end of stream) stay in order.
// Returns the number of video packets dropped, i.e. pictures missed.
uint64_t GiveUpQueuedPictures(std::deque<std::shared_ptr<FFData>>& queue);

// Whether the queued video packets span at least kLiveReadingBacklog.seconds of camera
// wall-clock time up to `arriving`, or hold its bytes.
bool BeyondEveryBound(const std::deque<std::shared_ptr<FFData>>& queue, const FFData& arriving);

// Video packets waiting in `queue`.
size_t QueuedVideoPackets(const std::deque<std::shared_ptr<FFData>>& queue);

} // namespace Quillet
