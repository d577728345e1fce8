// The decoder's node side: records queued from the source, the settings
// the engine gives, and the state it asks about. Locking as in FFDecode.h.
#include "decode/FFDecode.h"

#include "core/FFAVCodec.h"
#include "core/QueueTrim.h"
#include "decode/DecodeRecords.h"

namespace Quillet {
namespace {

// A source without a stream of one kind still sends a blank description for it.
bool DescribesStream(const std::shared_ptr<FFCodecInfo>& info)
{
    return info && info->Context() && info->Context()->codec_id != AV_CODEC_ID_NONE;
}

// A description that nothing has followed yet is superseded by the next one:
// a sender repeating its description (a remote player fed the same batch
// again and again) replaces it rather than piling descriptions up.
void QueueDescription(std::deque<std::shared_ptr<FFData>>& queue, std::shared_ptr<FFCodecInfo> info)
{
    if (!queue.empty() && queue.back()->type == FFType::CodecInfo)
        queue.back() = std::move(info);
    else
        queue.push_back(std::move(info));
}

} // namespace

FFDecode::FFDecode() = default;

FFDecode::~FFDecode()
{
    std::lock_guard<std::recursive_mutex> guard(_lock);
    _videoQueue.clear();
    _audioQueue.clear();
}

// ---------------------------------------------------------------- node side

void FFDecode::SetArrivalNotice(std::function<void()> notice)
{
    std::lock_guard<std::mutex> guard(_noticeLock);
    _arrivalNotice = std::move(notice);
}

FFStatus FFDecode::FFProcess(std::shared_ptr<FFData> record)
{
    const FFStatus status = QueueRecord(std::move(record));
    std::lock_guard<std::mutex> guard(_noticeLock);
    if (_arrivalNotice)
        _arrivalNotice();
    return status;
}

FFStatus FFDecode::QueueRecord(std::shared_ptr<FFData> record)
{
    if (!record)
        return FFStatus::Ready;
    std::lock_guard<std::recursive_mutex> guard(_lock);
    switch (record->type) {
    case FFType::SeekInfo:
        OnSeekMarker(std::static_pointer_cast<FFSeekInfo>(record));
        return FFStatus::Ready;
    case FFType::AVCodec: {
        const auto& av = static_cast<const FFAVCodec&>(*record);
        if (DescribesStream(av.video))
            QueueDescription(_videoQueue, av.video);
        if (DescribesStream(av.audio))
            QueueDescription(_audioQueue, av.audio);
        return FFStatus::Ready;
    }
    default:
        break;
    }
    if (IsAudioRecord(*record)) {
        if (!_audioEnabled)
            return FFStatus::Ready;
        if (!_seek && _audioQueue.size() > kAudioOverflow)
            ApplyOverflowRule(_audioQueue, *record);
        _audioQueue.push_back(std::move(record));
        return FFStatus::Ready;
    }
    if (_liveRule != LiveReadingRule::NotLive)
        TrimLiveBacklog(*record);
    else if (!_seek && _videoQueue.size() > kVideoOverflow)
        ApplyOverflowRule(_videoQueue, *record);
    if (_seek)
        _seek->FollowBand(*record);
    _videoQueue.push_back(std::move(record));
    return FFStatus::Ready;
}

FFStatus FFDecode::GetStatus()
{
    std::lock_guard<std::recursive_mutex> guard(_lock);
    return _videoQueue.size() < kVideoQueueFull ? FFStatus::Ready : FFStatus::Full;
}

void FFDecode::ClearKeepingCodec(std::deque<std::shared_ptr<FFData>>& queue)
{
    if (ClearKeepingNewest(queue, [](const auto& d) { return IsCodecRecord(*d); }))
        LogDebug() << "The queue contains a codec info";
}

void FFDecode::ApplyOverflowRule(std::deque<std::shared_ptr<FFData>>& queue, const FFData& arriving)
{
    // Only a key packet can restart decoding, so only then is the backlog dropped.
    if (arriving.type == FFType::Packet && static_cast<const FFPacket&>(arriving).IsKey())
        ClearKeepingCodec(queue);
}

void FFDecode::Flush()
{
    LogInfo() << "FFDecode::Flush";
    _FlushLocked();
    RoomMade();
}

void FFDecode::_FlushLocked()
{
    // The sound codec goes: wait for a sound read in progress.
    std::lock_guard<std::mutex> side(_soundSide);
    std::lock_guard<std::recursive_mutex> guard(_lock);
    _videoQueue.clear();
    _audioQueue.clear();
    _seek.reset();
    RestartDecoders();
    ApplyAudioRestart();
    _videoContext.reset();
    _audioContext.reset();
    _videoCodec.reset();
    _audioCodec.reset();
    _videoRefused = _audioRefused = false;
    _eosPending = false;
    _soundFrom = kNoTime;
}

void FFDecode::Continue()
{
    LogInfo() << "FFDecode::Continue";
    _ContinueLocked();
    RoomMade();
}

void FFDecode::_ContinueLocked()
{
    std::lock_guard<std::recursive_mutex> guard(_lock);
    // Without a seek the queued records follow on from the picture shown,
    // the end of the stream among them: dropping them would lose pictures,
    // and once the source has read to the end, the end itself.
    if (!_seek)
        return;
    // After a seek the engine reads again from its target.
    ClearKeepingCodec(_videoQueue);
    ClearKeepingCodec(_audioQueue);
    RestartDecoders();
    _soundFrom = kNoTime;
    _seek.reset();
}

void FFDecode::SetColorSpace(int pixelFormat)
{
    LogInfo() << "Color space set to: " << pixelFormat;
    std::lock_guard<std::recursive_mutex> guard(_lock);
    _dstPixelFormat = pixelFormat;
}

void FFDecode::SetPictureSize(int width, int height)
{
    std::lock_guard<std::recursive_mutex> guard(_lock);
    _pictureWidth = width;
    _pictureHeight = height;
}

void FFDecode::SetOptimizeSeek(bool optimize)
{
    std::lock_guard<std::recursive_mutex> guard(_lock);
    _optimizeSeek = optimize;
}

void FFDecode::SetDecodingThreads(int threads)
{
    if (threads > DecoderThreads::kMostThreads) {
        LogWarn() << "Decoding threads: " << threads << " asked for, " << DecoderThreads::kMostThreads
                  << " used (the most a decoder puts to use)";
        threads = DecoderThreads::kMostThreads;
    }
    std::lock_guard<std::recursive_mutex> guard(_lock);
    _threads.threads = threads;
}

void FFDecode::SetLiveSource(bool live)
{
    std::lock_guard<std::recursive_mutex> guard(_lock);
    _threads.live = live;
}

DecoderThreads FFDecode::GetDecodingThreads() const
{
    std::lock_guard<std::recursive_mutex> guard(_lock);
    return _threads;
}

bool FFDecode::HasVideoCodec() const
{
    std::lock_guard<std::recursive_mutex> guard(_lock);
    return _videoContext != nullptr;
}

bool FFDecode::IsReadyToSeek() const
{
    std::lock_guard<std::recursive_mutex> guard(_lock);
    return _videoContext || (!_videoQueue.empty() && _videoQueue.front()->type == FFType::CodecInfo);
}

bool FFDecode::IsSeekPending() const
{
    std::lock_guard<std::recursive_mutex> guard(_lock);
    return _seek != nullptr;
}

double FFDecode::GetSeekTime() const
{
    std::lock_guard<std::recursive_mutex> guard(_lock);
    return _seek ? _seek->seekInfo->time : -1.0;
}

size_t FFDecode::VideoQueueSize() const
{
    std::lock_guard<std::recursive_mutex> guard(_lock);
    return _videoQueue.size();
}

size_t FFDecode::AudioQueueSize() const
{
    std::lock_guard<std::recursive_mutex> guard(_lock);
    return _audioQueue.size();
}

} // namespace Quillet
