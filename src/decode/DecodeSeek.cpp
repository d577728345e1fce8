#include "decode/DecodeSeek.h"

#include "decode/DecodeRecords.h"

namespace Quillet {
namespace {

// Sound decoded ahead of a landing so that its first block sounds as in
// sequential playback.
constexpr double kSoundPreroll = 0.1;

} // namespace

void DecodeSeek::CacheFrame(const FFBufferFrame& picture)
{
    if (!seekInfo->wasPaused)
        return;
    const double t = picture.GetFrameTime();
    std::shared_ptr<FFCachedFrame> freeEntry;
    for (const auto& entry : cache) {
        if (entry->IsCached()) {
            if (entry->GetFrameTime() == t)
                return;
        } else if (!freeEntry) {
            freeEntry = entry;
        }
    }
    if (freeEntry)
        freeEntry->Store(picture);
    else
        cache.push_back(std::make_shared<FFCachedFrame>(picture));
}

void DecodeSeek::InvalidateCache()
{
    for (auto& entry : cache)
        entry->Clear();
    keyPackets = 0;
    nonKeySinceFirst = false;
    bandComplete = false;
    flushPending = true;
}

std::shared_ptr<FFCachedFrame> DecodeSeek::FindCached(double time) const
{
    for (const auto& entry : cache) {
        if (entry->IsCached() && entry->GetFrameTime() >= time)
            return entry;
    }
    return nullptr;
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
    } else if (!IsVideoKeyPacket(record)) {
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
