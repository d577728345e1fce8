#include "serialize/FFStreamOutgoing.h"

#include <algorithm>

#include "core/QueueTrim.h"

namespace Quillet {

FFStreamOutgoing::~FFStreamOutgoing()
{
    _DetachFromSerializer();
}

FFStatus FFStreamOutgoing::FFProcess(std::shared_ptr<FFSerializedData> record)
{
    if (!_IsUsable(record))
        return FFStatus::Ready;
    std::lock_guard<std::mutex> guard(_lock);
    if (record->attribute == FFAttribute::VideoKey && _HoldsVideoKey())
        _SkipToNewKeyFrame();
    _PushLocked(std::move(record));
    return FFStatus::Ready;
}

bool FFStreamOutgoing::_HoldsVideoKey() const
{
    return std::any_of(_queue.begin(), _queue.end(),
                       [](const auto& r) { return r->attribute == FFAttribute::VideoKey; });
}

void FFStreamOutgoing::_SkipToNewKeyFrame()
{
    LogWarn() << "Emptying output queue: " << _queue.size();
    // The client still needs the description that the coming key frame
    // belongs to; only the newest one is worth keeping.
    if (ClearKeepingNewest(_queue, [](const auto& r) { return r->attribute == FFAttribute::Codec; }))
        LogWarn() << "Found a codec packet in queue";
}

} // namespace Quillet
