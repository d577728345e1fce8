#include "source/FFTraffic.h"

#include "core/FFAVCodec.h"
#include "core/FFControlInfo.h"
#include "core/FFPacket.h"

namespace Quillet {

FFStatus FFTraffic::FFProcess(std::shared_ptr<FFData> record)
{
    if (!record)
        return FFStatus::Ready;

    bool forward = true;
    const bool marker = record->GetType() == FFType::SeekInfo;
    {
        std::lock_guard<std::recursive_mutex> guard(_lock);
        switch (record->GetType()) {
        case FFType::SeekInfo:
            if (auto* seek = dynamic_cast<FFSeekInfo*>(record.get()))
                _OnSeek(*seek);
            break;
        case FFType::EOSInfo:
            _OnEndOfStream();
            break;
        case FFType::AVCodec:
            if (auto* codec = dynamic_cast<const FFAVCodec*>(record.get()); codec && codec->video) {
                _timeBaseNum = codec->video->timeBaseNum;
                _timeBaseDen = codec->video->timeBaseDen;
            }
            break;
        case FFType::Packet:
            if (_FillingBandAfterPausedSeek()) {
                auto* packet = dynamic_cast<const FFPacket*>(record.get());
                if (packet && packet->GetStreamType() == FFStreamType::Video)
                    forward = _OnPacket(*packet);
            }
            break;
        default:
            break;
        }
    }

    // Downstream nodes take their own locks; never call them under ours.
    if (!forward)
        return FFStatus::Full;
    const auto answers = PushToDestinations(record);
    if (marker) {
        std::lock_guard<std::recursive_mutex> guard(_lock);
        _markerInFlight = false;
    }
    return answers.empty() ? FFStatus(FFStatus::Ready) : answers.front();
}

void FFTraffic::_OnSeek(FFSeekInfo& seek)
{
    // A second marker before the first one's picture keeps the state that was
    // in force before the first, so that the player falls back to it.
    if (_state != FFStatus::Seeking)
        _savedState = _state;
    _state = FFStatus::Seeking;
    _pictureDelivered = false;
    // A marker of an older seek, overtaken by a newer request, does not open
    // the gate: its picture would show for the newer seek.
    if (seek.time == _requestedTime)
        _seekRequested = false;
    _markerInFlight = true;

    bool keepBand = false;
    if (_optimizeSeek) {
        seek.flushQueues = false;
        seek.wasPaused = _savedState == FFStatus::Paused;
        const double t = seek.time;
        const bool bandHeld = _bandStart != kNoTime && (_bandEnd != kNoTime || t <= _bandLastTime);
        if (seek.wasPaused && bandHeld) {
            if (t < _bandStart || t > _bandLastTime) {
                // Outside what the decoder holds: it must start over.
                seek.flushQueues = true;
                _ResetBandTimes();
                _bandFlag = false;
            } else {
                // The decoder already has the pictures for this time.
                keepBand = true;
            }
        }
    }
    if (!keepBand)
        _bandPhase = 0;
}

void FFTraffic::_OnEndOfStream()
{
    // The stream ended inside the band: the band is as complete as it gets.
    if (_bandPhase == 1) {
        _bandPhase = 2;
        if (_bandEnd == kNoTime)
            _bandEnd = _bandLastTime;
    }
}

bool FFTraffic::_OnPacket(const FFPacket& packet)
{
    if (_bandPhase == 2)
        return false;

    const AVPacket* p = packet.Get();
    const int64_t ts = p->pts != AV_NOPTS_VALUE ? p->pts : p->dts;
    // A packet without any timestamp cannot be placed in the band; let it
    // through without moving the band's limits.
    if (ts == AV_NOPTS_VALUE)
        return true;
    const double t = _timeBaseDen != 0 ? static_cast<double>(_timeBaseNum) / _timeBaseDen * static_cast<double>(ts) : 0.0;
    if (_bandEnd != kNoTime) {
        // The band is closing (phase 1 with its end known). After the
        // closing key frame come pictures shown before it (open groups of
        // pictures): they belong to the band. The first one shown at or
        // after it still goes through, telling the decoder that the band is
        // complete.
        if (t >= _bandEnd)
            _bandPhase = 2;
        return true;
    }
    _bandLastTime = t;

    if (packet.IsKey()) {
        if (_bandStart < 0) {
            _bandStart = t;
            _bandPhase = 1;
            _bandFlag = false;
        } else if (_bandEnd < 0) {
            if (t > _bandStart && _bandFlag) {
                // The key frame that closes the band still goes through: the
                // decoder needs it to finish the last picture of the interval.
                _bandEnd = t;
            } else if (t <= _bandStart) {
                _bandStart = t;
                _bandPhase = 1;
            }
        }
    } else if (_bandStart > kNoTime && _bandEnd < 0) {
        _bandFlag = true;
    }
    return true;
}

bool FFTraffic::_FillingBandAfterPausedSeek() const
{
    return _state == FFStatus::Seeking && _savedState == FFStatus::Paused && _optimizeSeek;
}

void FFTraffic::_ResetBandTimes()
{
    _bandStart = kNoTime;
    _bandEnd = kNoTime;
    _bandLastTime = kNoTime;
}

FFStatus FFTraffic::GetStatus()
{
    {
        std::lock_guard<std::recursive_mutex> guard(_lock);
        if (_bandPhase == 2)
            return FFStatus::Full;
        if (_state == FFStatus::Paused)
            return FFStatus::Paused;
        // The band is filled whatever the decoder says about its queues.
        if (_FillingBandAfterPausedSeek())
            return FFStatus::Ready;
    }
    std::lock_guard<std::recursive_mutex> guard(lock);
    return destinations.empty() ? FFStatus(FFStatus::Ready) : destinations.front()->GetStatus();
}

void FFTraffic::Flush()
{
    {
        std::lock_guard<std::recursive_mutex> guard(_lock);
        _state = FFStatus::Ready;
        _savedState = FFStatus::Ready;
        _bandPhase = 0;
        _optimizeSeek = true;
        _ResetBandTimes();
        _pictureDelivered = false;
        _bandFlag = false;
        _seekRequested = false;
    }
    RoomMade();
}

std::shared_ptr<FFData> FFTraffic::GetMetaInfo()
{
    LogInfo() << "FFTraffic::GetMetaInfo";
    if (FFSourceNode<FFData>* source = GetParent())
        return source->GetMetaInfo();
    LogInfo() << "Parent to set";
    return nullptr;
}

void FFTraffic::Pause()
{
    std::lock_guard<std::recursive_mutex> guard(_lock);
    _state = FFStatus::Paused;
}

void FFTraffic::Continue()
{
    {
        std::lock_guard<std::recursive_mutex> guard(_lock);
        _state = FFStatus::Ready;
        _savedState = FFStatus::Ready;
        _bandPhase = 0;
        _ResetBandTimes();
        _pictureDelivered = true;
        _bandFlag = false;
        _seekRequested = false;
    }
    RoomMade();
}

bool FFTraffic::IsPaused() const
{
    std::lock_guard<std::recursive_mutex> guard(_lock);
    return _state == FFStatus::Paused;
}

void FFTraffic::ClearState()
{
    {
        std::lock_guard<std::recursive_mutex> guard(_lock);
        _state = FFStatus::Ready;
        // Forget a pause remembered by a seek in flight as well; otherwise the
        // first picture after a restart would fall back into it.
        _savedState = FFStatus::Ready;
        // A stopped source drops the seek it had not taken up yet.
        _seekRequested = false;
    }
    RoomMade();
}

void FFTraffic::SetOptimizeSeek(bool optimize)
{
    {
        std::lock_guard<std::recursive_mutex> guard(_lock);
        _optimizeSeek = optimize;
    }
    RoomMade();
}

void FFTraffic::SeekRequested(double seconds)
{
    std::lock_guard<std::recursive_mutex> guard(_lock);
    _seekRequested = true;
    _requestedTime = seconds;
}

bool FFTraffic::MayDeliverPicture() const
{
    std::lock_guard<std::recursive_mutex> guard(_lock);
    if (_state == FFStatus::Paused || _seekRequested || _markerInFlight)
        return false;
    return !(_state == FFStatus::Seeking && _pictureDelivered);
}

bool FFTraffic::MayDeliverAudio() const
{
    std::lock_guard<std::recursive_mutex> guard(_lock);
    return _state != FFStatus::Paused && _state != FFStatus::Seeking && !_seekRequested && !_markerInFlight;
}

void FFTraffic::PictureDelivered()
{
    {
        std::lock_guard<std::recursive_mutex> guard(_lock);
        _pictureDelivered = true;
        // While the band is still filling, the state stays Seeking; the fall back
        // to Paused comes with NoPictureTaken once the band is complete.
        if (_FillingBandAfterPausedSeek() && _bandPhase != 2)
            return;
        _state = _savedState;
        if (_state != FFStatus::Paused && _state != FFStatus::Seeking) {
            _bandPhase = 0;
            _ResetBandTimes();
            _bandFlag = false;
        }
    }
    RoomMade();
}

void FFTraffic::NoPictureTaken()
{
    std::lock_guard<std::recursive_mutex> guard(_lock);
    // Until the decoder has the marker its "nothing to show" says nothing
    // about the new band.
    if (!_markerInFlight && _FillingBandAfterPausedSeek() && _bandPhase == 2)
        _state = FFStatus::Paused;
}

bool FFTraffic::IsOOB(bool& later, double seconds) const
{
    std::lock_guard<std::recursive_mutex> guard(_lock);
    if (!_optimizeSeek)
        return true;
    if (_bandStart > kNoTime && _bandEnd == kNoTime && seconds > _bandLastTime) {
        later = true;
        return false;
    }
    if (_bandStart == kNoTime)
        return true;
    return _bandLastTime == kNoTime || seconds < _bandStart || seconds > _bandLastTime;
}

} // namespace Quillet
