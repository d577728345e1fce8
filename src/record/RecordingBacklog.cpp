#include "record/RecordingBacklog.h"

#include "core/FFPacket.h"

namespace Quillet {
namespace {

constexpr double kWallTicksPerSecond = 1e7; // FFPacket::liveTime counts 100 ns
// Used for the seconds lost when the packets carry no wall time.
constexpr double kAssumedPacketsPerSecond = 25.0;

} // namespace

bool RecordingBacklog::Admit(const FFData& arriving, std::deque<std::shared_ptr<FFData>>& queue,
                             double& lostSeconds)
{
    if (arriving.type != FFType::Packet)
        return true;
    const auto& packet = static_cast<const FFPacket&>(arriving);
    if (!_skipping && Beyond(packet.liveTime))
        GiveUp(queue);
    if (_skipping) {
        if (!IsVideoKey(packet)) {
            ++_lostPackets;
            return false;
        }
        _skipping = false;
        lostSeconds = _lostFrom && packet.liveTime
                          ? static_cast<double>(packet.liveTime - _lostFrom) / kWallTicksPerSecond
                          : static_cast<double>(_lostPackets) / kAssumedPacketsPerSecond;
    }
    _bytes += packet.Get()->size;
    if (!_oldestWallTime)
        _oldestWallTime = packet.liveTime;
    return true;
}

void RecordingBacklog::Taken()
{
    _bytes = 0;
    _oldestWallTime = 0;
}

bool RecordingBacklog::Beyond(int64_t wallTime) const
{
    if (_bytes >= kRecordingBacklog.bytes)
        return true;
    return _oldestWallTime && wallTime &&
           static_cast<double>(wallTime - _oldestWallTime) / kWallTicksPerSecond >= kRecordingBacklog.seconds;
}

void RecordingBacklog::GiveUp(std::deque<std::shared_ptr<FFData>>& queue)
{
    // Descriptions, connection changes and the end stay: they shape the files.
    std::deque<std::shared_ptr<FFData>> kept;
    _lostPackets = 0;
    for (auto& d : queue) {
        if (d && d->type == FFType::Packet)
            ++_lostPackets;
        else
            kept.push_back(std::move(d));
    }
    queue.swap(kept);
    _lostFrom = _oldestWallTime;
    _bytes = 0;
    _oldestWallTime = 0;
    _skipping = true;
}

} // namespace Quillet
