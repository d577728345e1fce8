#include "decode/DecodeSeek.h"

#include <algorithm>

#include "decode/DecodeRecords.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace Quillet {
namespace {

// Sound decoded ahead of a landing so that its first block sounds as in
// sequential playback.
constexpr double kSoundPreroll = 0.1;

} // namespace

void DecodeSeek::CacheFrame(double time, const AVFrame* picture)
{
    if (!seekInfo->wasPaused)
        return;
    const auto later = std::find_if(cache.begin(), cache.end(), [&](const auto& c) { return c.time >= time; });
    if (later != cache.end() && later->time == time)
        return;
    AVFramePtr reference = MakeFrame();
    if (av_frame_ref(reference.get(), picture) < 0)
        return; // not cached: a scrub to it decodes again
    cache.insert(later, CachedPicture{time, std::move(reference)});
}

void DecodeSeek::InvalidateCache()
{
    cache.clear();
    keyPackets = 0;
    nonKeySinceFirst = false;
    bandComplete = false;
    flushPending = true;
}

const DecodeSeek::CachedPicture* DecodeSeek::FindCached(double time) const
{
    const auto found = std::find_if(cache.begin(), cache.end(), [&](const auto& c) { return c.time >= time; });
    return found == cache.end() ? nullptr : &*found;
}

void DecodeSeek::FollowBand(const FFData& record)
{
    if (!seekInfo->wasPaused || bandComplete || record.type != FFType::Packet)
        return;
    const auto& packet = static_cast<const FFPacket&>(record);
    if (packet.streamType != FFStreamType::Video)
        return;
    const AVPacket* p = packet.Get();
    const int64_t t = p->pts != AV_NOPTS_VALUE ? p->pts : p->dts;
    if (keyPackets == 2) {
        if (t == AV_NOPTS_VALUE || t >= closingTime)
            bandComplete = true;
    } else if (!IsVideoKey(record)) {
        nonKeySinceFirst = keyPackets == 1;
    } else if (keyPackets == 0) {
        keyPackets = 1;
    } else if (nonKeySinceFirst && t != AV_NOPTS_VALUE) {
        keyPackets = 2;
        closingTime = t;
    }
}

void DecodeSeek::DropSoundBefore(std::deque<std::shared_ptr<FFData>>& queue, double seconds, double unit)
{
    if (unit <= 0.0)
        return;
    const auto from = static_cast<int64_t>((seconds - kSoundPreroll) / unit);
    std::shared_ptr<FFData> codec;
    while (!queue.empty()) {
        const auto& front = queue.front();
        if (IsCodecRecord(*front)) {
            codec = front;
        } else if (front->type == FFType::Packet) {
            const int64_t pts = static_cast<const FFPacket&>(*front).packet->pts;
            if (pts != AV_NOPTS_VALUE && pts >= from)
                break;
        } else {
            break;
        }
        queue.pop_front();
    }
    if (codec && !queue.empty())
        queue.push_front(std::move(codec));
}

} // namespace Quillet
