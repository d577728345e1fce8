#pragma once
// The state of one seek worked off by the decoder: the marker with its target
// time, and, while the stream is paused, the pictures decoded on the way so
// that scrubbing inside one key-frame interval needs no further decoding.
// They are kept as the codec gave them (references, not copies) and converted
// only when a scrub shows one, so a paused seek costs one conversion.
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "core/FFAVPtr.h"
#include "core/FFControlInfo.h"
#include "core/FFData.h"
#include "core/FFFrame.h"

namespace Quillet {

class DecodeSeek {
public:
    explicit DecodeSeek(std::shared_ptr<FFSeekInfo> marker) : seekInfo(std::move(marker)) {}

    struct CachedPicture {
        double time = 0.0;
        AVFramePtr frame;
    };
    // Keeps a reference to the decoded `picture` shown at `time` (paused
    // seeks only); a time already held is not stored twice.
    void CacheFrame(double time, const AVFrame* picture);
    // Forgets every cached picture and restarts the band;
    // the codecs must be flushed before the next read.
    void InvalidateCache();
    // The first cached picture at or after `time`, or null.
    const CachedPicture* FindCached(double time) const;

    // Drops queued sound packets that start more than a short pre-roll before
    // `seconds` (`unit`: seconds per timestamp count). A codec description
    // among the dropped records stays in front of what remains. The pre-roll
    // lets the codec settle (overlap, bit reservoir) before the landing;
    // the decoder drops the blocks it yields by their decoded time.
    static void DropSoundBefore(std::deque<std::shared_ptr<FFData>>& queue, double seconds, double unit);

    std::shared_ptr<FFSeekInfo> seekInfo;
    std::vector<CachedPicture> cache;
    // Follows the band a paused seek reads (source thread, decoder lock held):
    // it starts at a key packet and closes at the next key packet after a
    // non-key one, as the traffic node cuts it. The pictures that show before
    // the closing key but are coded after it (open groups of pictures) still
    // belong to it; the first video packet shown at or after the closing key,
    // or the end of the stream, completes it.
    void FollowBand(const FFData& record);

    // Video key packets of the band (0, 1, or 2 once the closing one came).
    int32_t keyPackets = 0;
    bool nonKeySinceFirst = false;
    int64_t closingTime = 0;
    // No further video of the band will come: the codec may be drained.
    bool bandComplete = false;
    bool flushPending = true;
    bool videoPending = true;
    bool reached = false;
};

} // namespace Quillet
