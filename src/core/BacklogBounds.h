#pragma once
// How much a queue may hold for a consumer that falls behind a live source
// (a camera never waits for anybody). Each bound is a span of the source's
// time and a size; past either, the queue gives up what it holds, goes on
// from the next video key picture (IsVideoKey, core/FFPacket.h) and the
// application hears what was lost. A file source waits for its consumers
// instead and stays far below every bound. Constants only, any thread.
#include <cstddef>
#include <cstdint>

namespace Quillet {

struct BacklogBound {
    double seconds;   // of the camera's wall clock (or the stream's time where it has none)
    int64_t bytes;    // of packet data; 0: no byte bound
    size_t records;   // queued records; 0: no record bound
};

// The decoder's video queue under the Every live-reading policy: a reader
// that falls this far behind misses pictures up to the next key picture
// (counted, and announced by a missed-pictures event).
inline constexpr BacklogBound kLiveReadingBacklog{10.0, int64_t{64} * 1024 * 1024, 0};
// A recording's queue ahead of its disk: a stalled disk loses this much
// before the recording gives packets up and reports that it fell behind.
inline constexpr BacklogBound kRecordingBacklog{30.0, int64_t{256} * 1024 * 1024, 0};
// A publishing target's queue ahead of its connection: a slow or reconnecting
// server is sent the newest group of pictures, not a growing backlog.
inline constexpr BacklogBound kPublishingBacklog{4.0, 0, 3000};

} // namespace Quillet
