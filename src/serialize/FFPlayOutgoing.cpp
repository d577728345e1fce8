#include "serialize/FFPlayOutgoing.h"

namespace Quillet {

FFPlayOutgoing::FFPlayOutgoing()
{
    _numberOutgoingPackets = kDefaultNumberOutgoingPackets;
}

FFPlayOutgoing::~FFPlayOutgoing()
{
    _DetachFromSerializer();
}

FFStatus FFPlayOutgoing::FFProcess(std::shared_ptr<FFSerializedData> record)
{
    if (!_IsUsable(record))
        return FFStatus::Ready;
    std::lock_guard<std::mutex> guard(_lock);
    _queue.push_back(std::move(record));
    return FFStatus::Ready;
}

FFStatus FFPlayOutgoing::GetStatus()
{
    std::lock_guard<std::mutex> guard(_lock);
    return _queue.size() > kMaxQueuedRecords ? FFStatus::Full : FFStatus::Ready;
}

} // namespace Quillet
