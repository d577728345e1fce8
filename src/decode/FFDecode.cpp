#include "decode/FFDecode.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "core/FFCodecLock.h"
#include "core/FFError.h"
#include "decode/DecodeRecords.h"
#include "decode/PictureOrder.h"
#include "events/FFEventArgs.h"

extern "C" {
#include <libavutil/avutil.h>
}

namespace Quillet {

// ------------------------------------------------------------------- codecs

void FFDecode::FlushVideoDecoder()
{
    if (_videoContext)
        avcodec_flush_buffers(_videoContext.get());
    _videoFramesPending = false;
    _videoDrainSent = false;
    _videoNeedsDrain = false;
}

void FFDecode::FlushAudioDecoder()
{
    if (_audioContext)
        avcodec_flush_buffers(_audioContext.get());
    _audioFramesPending = false;
}

void FFDecode::RestartVideo()
{
    FlushVideoDecoder();
    _firstVideoFrame = true;
    _lastVideoTime = kNoTime;
}

void FFDecode::RestartAudio()
{
    // The sound codec belongs to the sound reader, which may be decoding
    // right now on its own thread: it applies the restart on its next step.
    _audioRestartPending = true;
}

void FFDecode::RestartDecoders()
{
    RestartVideo();
    RestartAudio();
}

const AVCodec* FFDecode::FindDecoder(const FFCodecInfo& info, const char* kind)
{
    const int id = static_cast<int>(info.Context()->codec_id);
    LogInfo() << "Find " << kind << " codec: " << id;
    const AVCodec* codec = nullptr;
    {
        std::lock_guard<std::mutex> guard(CodecLock());
        codec = avcodec_find_decoder(info.Context()->codec_id);
    }
    if (!codec)
        LogError() << (kind[0] == 'v' ? "Video" : "Audio") << " codec NOT found: " << id;
    return codec;
}

AVCodecContextPtr FFDecode::OpenDecoder(const FFCodecInfo& info, const AVCodec* codec)
{
    // A fresh context carrying the description: nothing is shared with the
    // record, which other nodes may read while this one decodes.
    AVCodecContextPtr context = info.CopyContext(codec);
    // One thread unless asked: extra codec threads compete with the rest of
    // the process, and frame threads hold pictures back (drained at the end).
    if (info.Context()->codec_type == AVMEDIA_TYPE_VIDEO) {
        const DecoderThreads threads = GetDecodingThreads();
        threads.ApplyTo(context.get());
        // A live stream whose pictures are never reordered is handed out
        // picture by picture, with no reorder delay a decoder may assume.
        const std::size_t setsSize = std::size_t(std::max(context->extradata_size, 0));
        if (threads.live && NeverReordered(context->codec_id, context->extradata, setsSize)) {
            context->flags |= AV_CODEC_FLAG_LOW_DELAY;
            context->has_b_frames = 0;
        }
    } else {
        context->thread_count = 1;
    }
    if (!context->pkt_timebase.num)
        context->pkt_timebase = info.TimeBase();
    int result = 0;
    {
        std::lock_guard<std::mutex> guard(CodecLock());
        result = avcodec_open2(context.get(), codec, nullptr);
    }
    LogInfo() << "avcodec_open: " << result;
    if (result < 0)
        return nullptr;
    return context;
}

void FFDecode::_InitializeVideoCodec()
{
    LogInfo() << "FFDecode::_InitializeVideoCodec";
    if (!_videoCodec || _dstPixelFormat == -1)
        throw std::logic_error("Not enough information to decode video");
    _videoContext.reset();
    _captureTimes.Clear();
    _videoRefused = false;
    const AVCodec* codec = FindDecoder(*_videoCodec, "video");
    if (!codec) {
        _videoCodec.reset();
        throw FFError("Video codec not found");
    }
    _videoContext = OpenDecoder(*_videoCodec, codec);
    if (!_videoContext) {
        _videoCodec.reset();
        return;
    }
    _colorSpace.SetMessenger(_messenger);
    _colorSpace.Initialize(_videoContext->pix_fmt, _videoContext->width, _videoContext->height, _dstPixelFormat);
    _colorSpace.SetConversionHelpers(GetDecodingThreads().ConversionHelpers());
    _videoFrame.Reset();
    _videoFramesPending = _videoDrainSent = _videoNeedsDrain = false;
}

void FFDecode::_InitializeAudioCodec()
{
    LogInfo() << "FFDecode::_InitializeAudioCodec";
    if (!_audioCodec)
        throw std::logic_error("Not enough information to decode audio");
    _audioContext.reset();
    _audioRefused = false;
    const AVCodec* codec = FindDecoder(*_audioCodec, "audio");
    if (codec)
        _audioContext = OpenDecoder(*_audioCodec, codec);
    if (!_audioContext) {
        _audioCodec.reset();
        return;
    }
    _pcmConvert.SetMessenger(_messenger);
    _pcmConvert.Reset();
    _audioFrame.Reset();
    _audioFramesPending = false;
}

// --------------------------------------------------------------- video read

FFCLIFrame FFDecode::ReadVideo(PictureTarget* target)
{
    FFCLIFrame result;
    std::shared_ptr<FFBufferFrame> out;
    _target = target;
    {
        std::lock_guard<std::recursive_mutex> guard(_lock);
        _skipBudget = _liveRule == LiveReadingRule::Newest ? QueuedVideoPackets(_videoQueue) : 0;
    }
    try {
        result.size = _ReadVideoFrame(out);
    } catch (...) {
        _target = nullptr;
        throw;
    }
    _target = nullptr;
    ReportMissedPictures();
    if (result.size > 0)
        result.frame = std::move(out);
    std::lock_guard<std::recursive_mutex> guard(_lock);
    result.status = _seek ? FFStatus::Seeking : FFStatus::Ready;
    return result;
}

int FFDecode::_ReadVideoFrame(std::shared_ptr<FFBufferFrame>& out)
{
    out.reset();
    for (;;) {
        std::unique_lock<std::recursive_mutex> lock(_lock);
        if (_seek && _seek->flushPending) {
            RestartDecoders();
            _seek->flushPending = false;
        }

        if (_seek && _seek->seekInfo->wasPaused) {
            if (const auto* cached = _seek->FindCached(_seek->seekInfo->time)) {
                out = _ConvertCached(*cached);
                if (!out) {
                    RefuseVideo();
                    return 0;
                }
                _seek->videoPending = false;
                _seek->reached = true;
                return out->GetVideoSize();
            }
        }

        // Pictures still inside the codec from an earlier packet come first.
        if (_videoFramesPending) {
            lock.unlock();
            if (ReceiveVideo(out) == Picture::Delivered)
                return out->GetVideoSize();
            continue;
        }

        if (_videoQueue.empty() && !_seek) {
            if (!_eosPending)
                return 0;
            const int drained = DrainStep(out);
            if (drained == kStepAgain)
                continue;
            if (drained > 0)
                return drained;
            LogInfo() << "FFDecode::_ReadVideoFrame" << ": Sending EOS to top side";
            _eosPending = false;
            lock.unlock();
            ReportEndOfStream();
            return -1;
        }

        if (_seek && _videoQueue.empty()) {
            // The stream ended while the target was still ahead: the codec's
            // delayed pictures may hold it (a seek to the last picture).
            if (_eosPending) {
                const int drained = DrainStep(out);
                if (drained == kStepAgain)
                    continue;
                if (drained > 0)
                    return drained;
                _eosPending = false;
                // Played on to the end after the sought picture: the end is
                // announced as usual. A seek past the end just stays pending.
                if (!_seek->reached || _seek->seekInfo->wasPaused)
                    return 0;
                LogInfo() << "FFDecode::_ReadVideoFrame" << ": Sending EOS to top side";
                lock.unlock();
                ReportEndOfStream();
                return -1;
            }
            if (_seek->seekInfo->wasPaused && _seek->bandComplete) {
                _seek->videoPending = false;
                const int drained = DrainStep(out);
                if (drained == kStepAgain)
                    continue;
                return drained;
            }
            _eosPending = false;
            return 0;
        }

        bool again = false;
        const int result = TakeVideoRecord(out, lock, again);
        if (!again)
            return result;
    }
}

int FFDecode::TakeVideoRecord(std::shared_ptr<FFBufferFrame>& out, std::unique_lock<std::recursive_mutex>& lock,
                              bool& again)
{
    std::shared_ptr<FFData> record = _videoQueue.front();
    // A new description replaces the decoder; the old one first gives up the
    // pictures it still holds, so none is lost at a codec change.
    if (record->type == FFType::CodecInfo && _videoContext && _videoNeedsDrain && !_seek) {
        const int drained = DrainStep(out);
        again = drained <= 0;
        return std::max(drained, 0);
    }
    _videoQueue.pop_front();
    if (_seek)
        _seek->videoPending = false;
    _eosPending = false;
    lock.unlock();
    RoomMade(); // a source held back by the full queue may push again

    switch (record->type) {
    case FFType::Packet:
        SendVideoPacket(static_cast<const FFPacket&>(*record));
        again = true;
        return 0;
    case FFType::CodecInfo: {
        std::lock_guard<std::recursive_mutex> guard(_lock);
        RestartVideo();
        _videoCodec = std::static_pointer_cast<FFCodecInfo>(record);
        _InitializeVideoCodec();
        return 0;
    }
    case FFType::EOSInfo: {
        LogInfo() << "FFDecode::_ReadVideoFrame" << ": End of stream";
        std::lock_guard<std::recursive_mutex> guard(_lock);
        if (!_seek) {
            _eosPending = true;
            again = true;
            return 0;
        }
        if (_seek->seekInfo->wasPaused && _seek->keyPackets >= 1 && !_seek->bandComplete) {
            _seek->bandComplete = true;
            return 0;
        }
        _eosPending = true;
        again = true;
        return 0;
    }
    case FFType::ConnectionInfo: {
        // The source told the application on its own thread as the status
        // changed; here the decoders only start afresh for the new stream.
        LogInfo() << "FFDecode::_ReadVideoFrame" << ": Connection status change";
        std::lock_guard<std::recursive_mutex> guard(_lock);
        RestartDecoders();
        return 0;
    }
    default:
        return 0;
    }
}

void FFDecode::RefuseVideo()
{
    LogError() << "Video pictures of format " << _videoFrame.CFrame()->format << " at "
               << _videoFrame.CFrame()->width << "x" << _videoFrame.CFrame()->height
               << " cannot be converted; the video stream is refused";
    {
        std::lock_guard<std::recursive_mutex> guard(_lock);
        _videoContext.reset();
        _videoFramesPending = _videoDrainSent = _videoNeedsDrain = false;
        _videoRefused = true;
    }
    ReportError("FFDecode::DeliverPicture", FFError("Video stream cannot be converted"), FFMessageType::StreamRefused);
}

void FFDecode::SendVideoPacket(const FFPacket& packet)
{
    if (!_videoContext && _videoRefused)
        return; // the stream was refused: its packets go nowhere
    if (!_videoContext)
        throw FFError("_videoCodec may not be nullptr before decoding");
    const int r = avcodec_send_packet(_videoContext.get(), packet.Get());
    if (r < 0) {
        // A damaged packet simply yields no picture.
        LogDebug() << "avcodec_send_packet: " << r;
        return;
    }
    // A camera's packets carry the time the camera captured them; the
    // picture that comes out of the decoder finds it by its time.
    if (packet.liveTime != 0)
        _captureTimes.Note(packet.Get()->pts, packet.liveTime, packet.liveFlag);
    _videoNeedsDrain = true;
    _videoFramesPending = true;
}

int FFDecode::DrainStep(std::shared_ptr<FFBufferFrame>& out)
{
    const Picture p = DrainVideo(out);
    if (p == Picture::Delivered)
        return out->GetVideoSize();
    return p == Picture::Dropped || _videoFramesPending ? kStepAgain : 0;
}

FFDecode::Picture FFDecode::DrainVideo(std::shared_ptr<FFBufferFrame>& out)
{
    if (!_videoContext)
        return Picture::None;
    if (!_videoDrainSent) {
        if (!_videoNeedsDrain)
            return Picture::None;
        avcodec_send_packet(_videoContext.get(), nullptr);
        _videoDrainSent = true;
        _videoFramesPending = true;
    }
    return ReceiveVideo(out);
}

FFDecode::Picture FFDecode::ReceiveVideo(std::shared_ptr<FFBufferFrame>& out)
{
    if (!_videoContext) {
        _videoFramesPending = false;
        throw FFError("_videoCodec may not be nullptr before decoding");
    }
    const int r = avcodec_receive_frame(_videoContext.get(), _videoFrame.CFrame());
    if (r == 0)
        return DeliverPicture(out);
    _videoFramesPending = false;
    if (r == AVERROR_EOF || _videoDrainSent) {
        // Drained (or the drain failed): the codec takes packets again only
        // after a flush, and a failed drain must not be retried forever.
        std::lock_guard<std::recursive_mutex> guard(_lock);
        avcodec_flush_buffers(_videoContext.get());
        _videoDrainSent = false;
        _videoNeedsDrain = false;
        if (r != AVERROR_EOF)
            LogDebug() << "avcodec_receive_frame while draining: " << r;
    } else if (r != AVERROR(EAGAIN)) {
        LogDebug() << "avcodec_receive_frame: " << r;
    }
    return Picture::None;
}

FFDecode::Picture FFDecode::DeliverPicture(std::shared_ptr<FFBufferFrame>& out)
{
    AVFrame* f = _videoFrame.CFrame();
    const double tb = SecondsPerTick(*_videoCodec);
    double t = f->best_effort_timestamp == AV_NOPTS_VALUE ? kNoTime : static_cast<double>(f->best_effort_timestamp) * tb;
    // A picture without a time (the last one some AVI files give) follows
    // the one before it, also while a seek decodes towards its target; with
    // none before it, it starts the stream. A time of 0 is a real time.
    if (std::isnan(t) && std::isnan(_lastVideoTime)) {
        t = 0.0;
    } else if (std::isnan(t)) {
        t = _lastVideoTime + tb + f->repeat_pict * tb * 0.5;
        LogInfo() << "Position = 0 not in first frame. Set to " << t;
    }
    _lastVideoTime = t;

    std::shared_ptr<FFSeekInfo> judgedFor;
    if (_CacheOrDropBeforeTarget(t, f, judgedFor) || SkipForNewerPicture())
        return Picture::Dropped;
    // While a seek is worked off the picture may be dropped or cached, so it
    // stays in the decoder's own picture; the running stream goes straight
    // into the caller's buffer.
    PictureTarget* target = nullptr;
    {
        std::lock_guard<std::recursive_mutex> guard(_lock);
        target = _seek ? nullptr : _target;
        _colorSpace.SetPictureBox(_pictureWidth, _pictureHeight);
    }
    out = _colorSpace.Convert(_videoFrame, target);
    if (!out) {
        RefuseVideo();
        return Picture::None;
    }
    const CaptureTimes::Time capture = _captureTimes.Take(f->pts);
    {
        std::lock_guard<std::recursive_mutex> frameGuard(out->lock);
        out->CFrame()->key_frame = f->key_frame;
        out->SetFrameTime(t);
        out->SetCaptureTime(capture.ticks, capture.trusted);
    }

    std::lock_guard<std::recursive_mutex> guard(_lock);
    // A seek that came while the picture was converted outside the lock made
    // it stale: shown now it would stand for the new target (which may lie
    // before it) and end that seek. It stays in the paused band's cache, and
    // the next step finds the new target's picture there or decodes on.
    if (_seek && _seek->seekInfo != judgedFor)
        return Picture::Dropped;
    if (!_seek) {
        out->SetFirstFrame(_firstVideoFrame);
        _firstVideoFrame = false;
        return Picture::Delivered;
    }
    out->SetFirstFrame(true);
    if (t >= _seek->seekInfo->time) {
        _seek->seekInfo->time = t;
        _seek->reached = true;
        // This picture was the first one after the seek; the next one, once
        // the seek is over, continues the stream.
        _firstVideoFrame = false;
        // Audio ends the seek when it is read; with audio off or no reader
        // nobody reads it, and a seek left open would mark every following
        // picture first and swallow the end of the stream.
        const bool noAudioToSync = !_audioEnabled || !_audioReader || (!_audioCodec && _audioQueue.empty());
        if (noAudioToSync && !_seek->seekInfo->wasPaused)
            _seek.reset();
        return Picture::Delivered;
    }
    return Picture::Dropped;
}

} // namespace Quillet
