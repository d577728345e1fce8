#include "decode/LiveBacklog.h"

#include <algorithm>

#include "core/FFPacket.h"
#include "decode/DecodeRecords.h"

namespace Quillet {
namespace {

constexpr double kWallTicksPerSecond = 1e7; // FFPacket::liveTime counts 100 ns

const FFPacket* AsVideoPacket(const FFData& d)
{
    if (d.type != FFType::Packet)
        return nullptr;
    const auto& p = static_cast<const FFPacket&>(d);
    return p.streamType == FFStreamType::Video ? &p : nullptr;
}

} // namespace

LiveReadingRule LiveRuleFor(bool live, int reading)
{
    if (!live)
        return LiveReadingRule::NotLive;
    return reading == static_cast<int>(LiveReadingRule::Every) ? LiveReadingRule::Every : LiveReadingRule::Newest;
}

uint64_t GiveUpQueuedPictures(std::deque<std::shared_ptr<FFData>>& queue)
{
    const auto newestCodec =
        std::find_if(queue.rbegin(), queue.rend(), [](const auto& d) { return IsCodecRecord(*d); });
    const FFData* keepCodec = newestCodec != queue.rend() ? newestCodec->get() : nullptr;
    uint64_t pictures = 0;
    std::deque<std::shared_ptr<FFData>> kept;
    for (auto& d : queue) {
        if (d->type == FFType::Packet) {
            pictures += AsVideoPacket(*d) ? 1 : 0;
            continue;
        }
        if (IsCodecRecord(*d) && d.get() != keepCodec)
            continue;
        kept.push_back(std::move(d));
    }
    queue.swap(kept);
    return pictures;
}

bool BeyondEveryBound(const std::deque<std::shared_ptr<FFData>>& queue, const FFData& arriving)
{
    const FFPacket* last = AsVideoPacket(arriving);
    int64_t bytes = 0;
    int64_t oldestWallTime = 0;
    for (const auto& d : queue) {
        if (const FFPacket* p = AsVideoPacket(*d)) {
            bytes += p->Get()->size;
            if (!oldestWallTime)
                oldestWallTime = p->liveTime;
        }
    }
    if (bytes >= kLiveReadingBacklog.bytes)
        return true;
    if (!last || !oldestWallTime || !last->liveTime)
        return false;
    return static_cast<double>(last->liveTime - oldestWallTime) / kWallTicksPerSecond >= kLiveReadingBacklog.seconds;
}

size_t QueuedVideoPackets(const std::deque<std::shared_ptr<FFData>>& queue)
{
    return static_cast<size_t>(
        std::count_if(queue.begin(), queue.end(), [](const auto& d) { return AsVideoPacket(*d) != nullptr; }));
}

} // namespace Quillet
