#include "serialize/FFOutgoing.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace Quillet {

void FFOutgoing::Flush()
{
    LogInfo() << "FFOutgoing::Flush";
    {
        std::lock_guard<std::mutex> guard(_lock);
        _queue.clear();
    }
    RoomMade();
}

std::shared_ptr<const FFSerializedData> FFOutgoing::GetNextPacket()
{
    auto batch = _TakeBatch();
    if (batch)
        RoomMade(); // a source held back by this full queue may push again
    return batch;
}

std::shared_ptr<const FFSerializedData> FFOutgoing::_TakeBatch()
{
    std::lock_guard<std::mutex> guard(_lock);
    if (_queue.empty())
        return nullptr;

    // A batch must stay addressable by its int32 size: stop early rather
    // than overflow (only reachable with a very large count).
    const size_t limit = std::min<size_t>(_queue.size(), _numberOutgoingPackets);
    size_t taken = 0;
    int64_t total = 0;
    while (taken < limit) {
        const int64_t next = total + _queue[taken]->size;
        if (next > std::numeric_limits<int32_t>::max())
            break;
        total = next;
        ++taken;
    }

    auto batch = std::make_shared<FFSerializedData>();
    batch->attribute = FFAttribute::Batch;
    batch->size = static_cast<int32_t>(total);
    if (total > 0)
        batch->data = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(total));
    size_t at = 0;
    for (size_t i = 0; i < taken; ++i) {
        const FFSerializedData& record = *_queue.front();
        if (record.size > 0) {
            std::memcpy(batch->data.get() + at, record.data.get(), static_cast<size_t>(record.size));
            at += static_cast<size_t>(record.size);
        }
        _queue.pop_front();
    }
    return batch;
}

void FFOutgoing::SetNumberOutgoingPackets(uint32_t count)
{
    std::lock_guard<std::mutex> guard(_lock);
    _numberOutgoingPackets = count;
}

uint32_t FFOutgoing::GetNumberOutgoingPackets() const
{
    std::lock_guard<std::mutex> guard(_lock);
    return _numberOutgoingPackets;
}

size_t FFOutgoing::QueuedRecords() const
{
    std::lock_guard<std::mutex> guard(_lock);
    return _queue.size();
}

void FFOutgoing::SetArrivalNotice(std::function<void()> notice)
{
    std::lock_guard<std::mutex> guard(_lock);
    _arrivalNotice = std::move(notice);
}

void FFOutgoing::_PushLocked(std::shared_ptr<FFSerializedData> record)
{
    _queue.push_back(std::move(record));
    if (_arrivalNotice)
        _arrivalNotice();
}

void FFOutgoing::_DetachFromSerializer()
{
    if (auto* source = GetParent())
        source->RemoveNode(this);
    // A reader waiting for this queue learns that no more will come.
    std::lock_guard<std::mutex> guard(_lock);
    if (_arrivalNotice)
        _arrivalNotice();
}

bool FFOutgoing::_IsUsable(const std::shared_ptr<FFSerializedData>& record) const
{
    if (record && record->size >= 0 && (record->size == 0 || record->data))
        return true;
    LogWarn() << "FFOutgoing::FFProcess" << ": " << "empty or inconsistent record ignored";
    return false;
}

} // namespace Quillet
