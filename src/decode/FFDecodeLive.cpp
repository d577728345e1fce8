// The decoder's live-reading side: how a live source's backlog is given up
// and how the pictures missed are counted and reported (see LiveBacklog.h).
#include "decode/FFDecode.h"

#include "decode/DecodeRecords.h"
#include "events/FFEventArgs.h"

namespace Quillet {

void FFDecode::SetLiveReading(LiveReadingRule rule)
{
    std::lock_guard<std::recursive_mutex> guard(_lock);
    _liveRule = rule;
}

LiveReadingRule FFDecode::GetLiveReading() const
{
    std::lock_guard<std::recursive_mutex> guard(_lock);
    return _liveRule;
}

void FFDecode::ResetMissedPictures()
{
    std::lock_guard<std::recursive_mutex> guard(_lock);
    _missedPictures = 0;
    _missedUnreported = 0;
    _lastMissedEvent = {};
}

void FFDecode::CountMissed(uint64_t pictures)
{
    if (!pictures)
        return;
    _missedPictures += pictures;
    _missedUnreported += pictures;
}

void FFDecode::TrimLiveBacklog(const FFData& arriving)
{
    // Only a key picture can restart decoding, so the backlog goes only when
    // one arrives: with Newest always (nothing before it will be shown),
    // with Every once the queue holds more than its bound.
    if (!IsVideoKey(arriving) || _seek)
        return;
    if (_liveRule == LiveReadingRule::Every && !BeyondEveryBound(_videoQueue, arriving))
        return;
    const uint64_t dropped = GiveUpQueuedPictures(_videoQueue);
    if (dropped && _liveRule == LiveReadingRule::Every)
        LogWarn() << "The reader fell more than " << kLiveReadingBacklog.seconds << " s behind the camera: " << dropped
                  << " pictures given up";
    CountMissed(dropped);
}

bool FFDecode::SkipForNewerPicture()
{
    std::lock_guard<std::recursive_mutex> guard(_lock);
    // At most the pictures that were queued when the read began: a reader
    // that cannot decode as fast as the camera sends still gets a picture.
    if (_liveRule != LiveReadingRule::Newest || _seek || !_skipBudget || !QueuedVideoPackets(_videoQueue))
        return false;
    --_skipBudget;
    CountMissed(1);
    return true;
}

void FFDecode::ReportMissedPictures()
{
    FFMissedPicturesArgs args;
    {
        std::lock_guard<std::recursive_mutex> guard(_lock);
        const auto now = std::chrono::steady_clock::now();
        if (!_missedUnreported || now - _lastMissedEvent < kMissedEventInterval)
            return;
        args.missed = _missedUnreported;
        args.total = _missedPictures.load();
        _missedUnreported = 0;
        _lastMissedEvent = now;
    }
    RaiseEvent(args);
}

} // namespace Quillet
