#include "serialize/FFPlayOutgoing.h"

#include "core/QueueTrim.h"

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
    if (record->attribute == FFAttribute::VideoKey && _queue.size() >= kLiveSkipRecords) {
        LogWarn() << "Served client fell behind the live source; skipping " << _queue.size() << " records";
        ClearKeepingNewest(_queue, [](const auto& r) { return r->attribute == FFAttribute::Codec; });
    }
    _PushLocked(std::move(record));
    return FFStatus::Ready;
}

FFStatus FFPlayOutgoing::GetStatus()
{
    std::lock_guard<std::mutex> guard(_lock);
    return _queue.size() > kMaxQueuedRecords ? FFStatus::Full : FFStatus::Ready;
}

} // namespace Quillet
