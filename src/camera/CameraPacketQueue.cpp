#include "camera/CameraPacketQueue.h"

#include <algorithm>

#include "camera/CameraLog.h"

namespace Quillet {

CameraPacketQueue::CameraPacketQueue(std::size_t capacity, std::string logPrefix)
    : _capacity(std::max<std::size_t>(capacity, 1)), _logPrefix(std::move(logPrefix))
{
}

void CameraPacketQueue::Push(std::shared_ptr<MediaPacketStruct> packet, std::shared_ptr<const MediaInfoStruct> info)
{
    std::lock_guard lock(_mutex);
    while (_queue.size() >= _capacity) {
        _queue.pop_front();
        ++_dropped;
        if (_dropped == 1 || _dropped % 100 == 0)
            CameraLog(CameraLogLevel::Warn, _logPrefix,
                      "Packet queue full, dropped the oldest packet (" + std::to_string(_dropped) + " so far)");
    }
    _queue.push_back({std::move(packet), std::move(info)});
}

void CameraPacketQueue::Publish(MediaPacket::MediaType type, std::shared_ptr<const MediaInfoStruct> info)
{
    std::lock_guard lock(_mutex);
    std::shared_ptr<const MediaInfoStruct> published = info;
    for (const auto& entry : _queue) {
        if (entry.packet->mediaType == type) {
            published = entry.info;
            break;
        }
    }
    if (published->configId == info->configId)
        published = info; // the same configuration, maybe with its size found meanwhile
    const int slot = _Slot(type);
    _published[slot] = published;
    _deliveredConfig[slot] = published->configId;
}

bool CameraPacketQueue::HasPacket() const
{
    std::lock_guard lock(_mutex);
    return !_queue.empty();
}

std::shared_ptr<MediaPacketStruct> CameraPacketQueue::Pop()
{
    std::lock_guard lock(_mutex);
    if (_queue.empty())
        return nullptr;
    Entry entry = std::move(_queue.front());
    _queue.pop_front();
    const int slot = _Slot(entry.packet->mediaType);
    if (entry.info->configId != _deliveredConfig[slot]) {
        entry.packet->codecChanged = true;
        _deliveredConfig[slot] = entry.info->configId;
        _published[slot] = entry.info;
    }
    return std::move(entry.packet);
}

std::unique_ptr<MediaInfoStruct> CameraPacketQueue::Info(MediaPacket::MediaType type) const
{
    std::lock_guard lock(_mutex);
    const auto& info = _published[_Slot(type)];
    return info ? std::make_unique<MediaInfoStruct>(*info) : nullptr;
}

void CameraPacketQueue::Clear()
{
    std::lock_guard lock(_mutex);
    _queue.clear();
    _published = {};
}

} // namespace Quillet
