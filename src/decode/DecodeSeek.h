#pragma once
// The state of one seek worked off by the decoder: the marker with its target
// time, and, while the stream is paused, the pictures decoded on the way so
// that scrubbing inside one key-frame interval needs no further decoding.
#include <cstdint>
#include <list>
#include <memory>

#include "core/FFControlInfo.h"
#include "core/FFFrame.h"

namespace Quillet {

class DecodeSeek {
public:
    explicit DecodeSeek(std::shared_ptr<FFSeekInfo> marker) : seekInfo(std::move(marker)) {}

    // Keeps a copy of `picture` (paused seeks only); a time already held is
    // not stored twice, and invalidated entries are reused first.
    void CacheFrame(const FFBufferFrame& picture);
    // Marks every cached picture stale and restarts the key-packet count;
    // the codecs must be flushed before the next read.
    void InvalidateCache();
    // The first valid cached picture at or after `time`, or empty.
    std::shared_ptr<FFCachedFrame> FindCached(double time) const;

    std::shared_ptr<FFSeekInfo> seekInfo;
    std::list<std::shared_ptr<FFCachedFrame>> cache;
    // Video key packets received while paused; 2 also means the stream ended
    // after the first one.
    int32_t keyPackets = 0;
    bool flushPending = true;
    bool videoPending = true;
    bool reached = false;
};

} // namespace Quillet
