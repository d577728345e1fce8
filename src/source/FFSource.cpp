#include "source/FFSource.h"

#include "core/AVErrorText.h"
#include "core/CallScope.h"
#include "core/FFError.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>


#include "core/FFAVCodec.h"
#include "core/FFControlInfo.h"
#include "core/FFPacket.h"
#include "source/SeekLanding.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/time.h>
}

namespace Quillet {
namespace {

// After a failed read of a network input (not the end of a local file) the
// next attempt comes this much later, sooner on a command or a stop.
constexpr auto kNetworkRetryWait = std::chrono::milliseconds(100);

} // namespace

FFSource::~FFSource()
{
    // Engines stop the thread first; stopping it here as well keeps a source
    // that is destroyed while reading from running on freed members.
    StopReadThread();
    CloseSource();
    std::lock_guard<std::recursive_mutex> guard(_commandLock);
    _commands.clear();
}

// ---------------------------------------------------------------- open / close

void FFSource::SetSourceSettings(std::shared_ptr<FFSourceSettings>)
{
    LogInfo() << "FFSource :" << "FFSource::SetSourceSettings" << " Not implemented";
}

void FFSource::CloseSource()
{
    LogInfo() << "FFSource::CloseSource";
    // Closing under a running reader would pull the demuxer from under it;
    // on the reader itself (a handler) the close waits for its end.
    if (!StopReadThread())
        return;
    if (_videoCodecContext) {
        LogInfo() << "avcodec_close";
        _videoCodecContext.reset(); // freed under the codec lock by its deleter
    }
    if (_audioCodecContext) {
        LogInfo() << "avcodec_close";
        _audioCodecContext.reset();
    }
    if (_srcFormatContext) {
        LogInfo() << "av_close_input_file";
        _srcFormatContext.reset();
    }
    _memoryInput.reset(); // only after the demuxer that reads from it
    _videoStreamIndex = -1;
    _audioStreamIndex = -1;
}

// ---------------------------------------------------------------- stream facts

std::shared_ptr<FFData> FFSource::GetMetaInfo()
{
    LogInfo() << "FFSource::GetMetaInfo";
    std::lock_guard<std::recursive_mutex> guard(_demuxLock);
    return std::make_shared<FFAVCodec>(_GetVideoCodecInfo(), _GetAudioCodecInfo());
}

std::shared_ptr<FFCodecInfo> FFSource::_GetVideoCodecInfo()
{
    LogInfo() << "FFSource::_GetVideoCodecInfo";
    const AVCodecContext* context = _GetVideoCodecContext();
    const AVStream* stream = _GetVideoStream();
    if (!context || !stream) {
        LogInfo() << "Returning null codec context";
        return nullptr;
    }
    auto info = FFCodecInfo::FromStream(stream);
    info->SetStreamType(FFStreamType::Video);
    LogInfo() << "Returning: " << "Video ID: " << context->codec_id << " - Width: " << context->width
              << " - Height: " << context->height << " - Format: " << context->pix_fmt
              << " - Timebase: " << info->timeBaseNum << "/" << info->timeBaseDen;
    return info;
}

std::shared_ptr<FFCodecInfo> FFSource::_GetAudioCodecInfo()
{
    LogInfo() << "FFSource::_GetAudioCodecInfo";
    const AVCodecContext* context = _GetAudioCodecContext();
    const AVStream* stream = _GetAudioStream();
    if (!context || !stream) {
        LogInfo() << "Returning null codec context";
        return nullptr;
    }
    auto info = FFCodecInfo::FromStream(stream);
    info->SetStreamType(FFStreamType::Audio);
    LogInfo() << "Returning: " << "Audio ID: " << context->codec_id << " - Sample Format: " << context->sample_fmt
              << " - Bit Rate: " << context->bit_rate << " - Sample Rate: " << context->sample_rate
              << " - Channels: " << context->ch_layout.nb_channels << " - Timebase: " << info->timeBaseNum << "/"
              << info->timeBaseDen;
    return info;
}

AVStream* FFSource::_StreamAt(int index, const char* getter)
{
    if (!_srcFormatContext || index < 0 || index >= static_cast<int>(_srcFormatContext->nb_streams)) {
        LogInfo() << getter << ": returning null";
        return nullptr;
    }
    return _srcFormatContext->streams[index];
}

AVCodecContext* FFSource::_OpenedContext(const AVCodecContextPtr& context, const char* getter)
{
    if (!_srcFormatContext || !context) {
        LogInfo() << getter << ": returning null";
        return nullptr;
    }
    return context.get();
}

AVStream* FFSource::_GetVideoStream()
{
    return _StreamAt(_videoStreamIndex, "FFSource::_GetVideoStream");
}

AVCodecContext* FFSource::_GetVideoCodecContext()
{
    return _OpenedContext(_videoCodecContext, "FFSource::_GetVideoCodecContext");
}

AVStream* FFSource::_GetAudioStream()
{
    return _StreamAt(_audioStreamIndex, "FFSource::_GetAudioStream");
}

AVCodecContext* FFSource::_GetAudioCodecContext()
{
    return _OpenedContext(_audioCodecContext, "FFSource::_GetAudioCodecContext");
}

bool FFSource::IsReading() { return _running; }

bool FFSource::IsOpen() { return _srcFormatContext != nullptr; }

int FFSource::Width()
{
    const AVCodecContext* context = _GetVideoCodecContext();
    const int width = context ? context->width : 0;
    LogInfo() << "FFSource::Width" << ": " << width;
    return width;
}

int FFSource::Height()
{
    const AVCodecContext* context = _GetVideoCodecContext();
    const int height = context ? context->height : 0;
    LogInfo() << "FFSource::Height" << ": " << height;
    return height;
}

void FFSource::GetDimensions(int* width, int* height)
{
    LogInfo() << "FFSource::GetDimensions";
    const AVCodecContext* context = _GetVideoCodecContext();
    const int w = context ? context->width : 0;
    const int h = context ? context->height : 0;
    if (width)
        *width = w;
    if (height)
        *height = h;
    LogInfo() << "Returning - width: " << w << " - height: " << h;
}

// Display aspect of the coded picture with its sample aspect applied.
double FFSource::_RenderAspect()
{
    std::lock_guard<std::recursive_mutex> guard(_demuxLock);
    AVStream* stream = _GetVideoStream();
    const AVCodecContext* context = _GetVideoCodecContext();
    if (!stream || !context || context->height <= 0)
        return 1.0;
    const AVRational sar = av_guess_sample_aspect_ratio(nullptr, stream, nullptr);
    double sampleAspect = sar.den != 0 ? static_cast<double>(sar.num) / sar.den : 0.0;
    if (sampleAspect <= 0.0)
        sampleAspect = 1.0;
    return static_cast<double>(context->width) / context->height * sampleAspect;
}

// The products below are exact integers in theory; the small bias keeps a
// rounding error of the division (319.9999...) from losing a pixel.
int FFSource::RenderWidth()
{
    const double aspect = _RenderAspect();
    const AVCodecContext* context = _GetVideoCodecContext();
    int width = 640;
    if (context) {
        width = context->width;
        if (aspect > 1.0)
            width = static_cast<int>(aspect * context->height + 1e-6);
    }
    LogInfo() << "FFSource::RenderWidth" << ": " << width;
    return width;
}

int FFSource::RenderHeight()
{
    const double aspect = _RenderAspect();
    const AVCodecContext* context = _GetVideoCodecContext();
    int height = 480;
    if (context) {
        height = context->height;
        if (aspect < 1.0)
            height = static_cast<int>(context->width / aspect + 1e-6);
    }
    LogInfo() << "FFSource::RenderHeight" << ": " << height;
    return height;
}

bool FFSource::HasAudio() { return _audioStreamIndex >= 0; }

bool FFSource::GetAudioFormat(int* rate, int* bits, int* channels)
{
    const AVCodecContext* context = _GetAudioCodecContext();
    if (!context)
        return false;
    // The decoder hands out signed 16-bit samples, at most two channels.
    const int r = context->sample_rate;
    const int b = 16;
    const int c = std::min(context->ch_layout.nb_channels, 2);
    if (rate)
        *rate = r;
    if (bits)
        *bits = b;
    if (channels)
        *channels = c;
    LogInfo() << "Returning - rate: " << r << " - bits: " << b << " - channels: " << c;
    return true;
}

double FFSource::GetDuration()
{
    if (!_srcFormatContext) {
        LogWarn() << "FFSource::GetDuration" << ": _srcFormatContext is null";
        return 0;
    }
    const double reported = static_cast<double>(_srcFormatContext->duration) / 1000000.0;
    double duration = reported;
    if (_searchedDuration > -1.0 && (reported < 0 || _searchedDuration * 1.1 < reported))
        duration = _searchedDuration;
    LogInfo() << "FFSource::GetDuration" << ": " << duration;
    return duration;
}

// ---------------------------------------------------------------- commands

void FFSource::Seek(double seconds)
{
    LogInfo() << "FFSource::Seek" << ": " << seconds;
    if (!_srcFormatContext) {
        LogWarn() << "FFSource::Seek" << ": _srcFormatContext is null";
        return;
    }
    {
        // From now on nothing read before the seek reaches the graph. Both
        // steps under the push lock: the read thread, taking up an earlier
        // seek, sees either neither or both (see _TakeUpSeek).
        std::lock_guard<std::recursive_mutex> pushGuard(_pushLock);
        _pushEnabled = false;
        std::lock_guard<std::recursive_mutex> guard(_commandLock);
        const auto isSeek = [](const std::unique_ptr<FFSourceCommand>& c) { return c->type == FFCommandType::Seek; };
        const auto pending = std::count_if(_commands.begin(), _commands.end(), isSeek);
        if (pending > 0) {
            // Only the newest position matters.
            LogDebug() << "Deleting " << pending << " seek requests.";
            _commands.erase(std::remove_if(_commands.begin(), _commands.end(), isSeek), _commands.end());
        }
        _commands.push_back(std::make_unique<FFSeekCommand>(seconds));
    }
    roomSignal->Ring(); // a reader waiting for room or idle at the end takes it up
}

void FFSource::StartReadThread()
{
    LogInfo() << "FFSource::StartReadThread";
    if (_running || !IsOpen())
        return;
    // A reader asked to stop from its own handler is still inside its loop.
    if (_readThread.IsCurrentThread())
        throw FFError("The read thread cannot start itself again");
    // One that stopped before is joined (and its stop undone) first; this
    // runs under the engine's lock, so only once it has ended.
    if (_readThread.IsRunning())
        throw FFError("The read thread is still stopping");
    StopReadThread();
    LogInfo() << "Starting source thread";
    {
        std::lock_guard<std::recursive_mutex> guard(_commandLock);
        _commands.push_back(std::make_unique<FFReadFrameCommand>());
    }
    _running = true;
    _readThread.Start(this, &FFSource::_ReadFramesFromSource, _messenger);
}

void FFSource::RequestStop()
{
    if (!_running)
        return;
    LogInfo() << "Stopping source thread";
    _running = false;
    // Ends a read blocked on the network, and any wait, at once.
    _stopSignal.Raise();
    roomSignal->Ring();
}

bool FFSource::StopReadThread()
{
    LogInfo() << "FFSource::StopReadThread";
    RequestStop();
    if (!_readThread.IsStarted())
        return true;
    if (!_readThread.Join())
        return false; // on the reader itself: it ends when its handler returns
    _stopSignal.Reset();
    LogInfo() << "Stopped waiting for source thread";
    {
        std::lock_guard<std::recursive_mutex> guard(_commandLock);
        _commands.clear();
    }
    // A seek dropped with the queue must not keep the next run from pushing.
    std::lock_guard<std::recursive_mutex> guard(_pushLock);
    _pushEnabled = true;
    return true;
}

std::unique_ptr<FFSourceCommand> FFSource::_TakeCommand()
{
    std::lock_guard<std::recursive_mutex> guard(_commandLock);
    if (_commands.empty())
        return nullptr;
    std::unique_ptr<FFSourceCommand> command = std::move(_commands.front());
    _commands.pop_front();
    return command;
}

void FFSource::_PutBack(std::unique_ptr<FFSourceCommand> command)
{
    std::lock_guard<std::recursive_mutex> guard(_commandLock);
    _commands.push_back(std::move(command));
}

bool FFSource::_SeekQueued()
{
    std::lock_guard<std::recursive_mutex> guard(_commandLock);
    return std::any_of(_commands.begin(), _commands.end(),
                       [](const std::unique_ptr<FFSourceCommand>& c) { return c->type == FFCommandType::Seek; });
}

void FFSource::_WaitForCommand(bool retryLater)
{
    // Every queued command and every stop rings the room signal.
    for (;;) {
        const uint64_t seen = roomSignal->Generation();
        if (!_running || _SeekQueued())
            return;
        if (retryLater) {
            roomSignal->WaitPast(seen, kNetworkRetryWait);
            return;
        }
        roomSignal->WaitPast(seen);
    }
}

// ---------------------------------------------------------------- read thread

void FFSource::_ReadFramesFromSource()
{
    LogInfo() << "FFSource::_ReadFramesFromSource";
    try {
        _RunReadLoop();
    } catch (const std::exception& e) {
        // The thread ends here; _running stays set until the owner stops it.
        ReportError("FFSource::_ReadFramesFromSource", e, FFMessageType::SourceError);
    }
    LogInfo() << "Exiting " << "FFSource::_ReadFramesFromSource";
}

void FFSource::_RunReadLoop()
{
    if (_cutShort)
        _ResumeAfterCut();
    bool lastReadOk = true;
    while (_running) {
        std::unique_ptr<FFSourceCommand> command = _TakeCommand();
        if (!command) {
            _WaitForCommand(false);
            continue;
        }
        // Events raised by this command reach their handlers once it is
        // done, with no lock of the graph held, and before any wait.
        std::optional<CallScope> scope(std::in_place);
        switch (command->type) {
        case FFCommandType::ReadFrame: {
            const int result = _ReadFrame(lastReadOk);
            lastReadOk = result >= 0;
            // The read command goes round for as long as the thread runs, so
            // anything queued meanwhile is taken up after at most one read.
            _PutBack(std::move(command));
            // At the end of a local file only a seek brings more to read; a
            // network input may recover, so it is tried again a little later.
            if (!lastReadOk) {
                scope.reset();
                _WaitForCommand(_network);
            }
            break;
        }
        case FFCommandType::Seek:
            // A seek's landing may read to the end itself: the end after it
            // is announced anew.
            if (_TakeUpSeek(std::move(command)))
                lastReadOk = true;
            break;
        default:
            LogWarn() << "Unknown command: " << static_cast<int32_t>(command->type);
            break;
        }
    }
}

bool FFSource::_TakeUpSeek(std::unique_ptr<FFSourceCommand> command)
{
    {
        // A newer seek asked for after this one was taken supersedes it:
        // its packets would be stale before they reached the graph.
        std::lock_guard<std::recursive_mutex> guard(_pushLock);
        if (_SeekQueued())
            return false;
        _pushEnabled = true;
    }
    if (_FirstDestinationAcceptsSeek()) {
        _SeekTo(static_cast<const FFSeekCommand&>(*command).time);
        return true;
    }
    // Downstream is still working off an earlier seek: try again later, unless
    // a newer request has arrived meanwhile.
    std::lock_guard<std::recursive_mutex> guard(_commandLock);
    if (!_SeekQueued())
        _commands.push_back(std::move(command));
    return false;
}

bool FFSource::_FirstDestinationAcceptsSeek()
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (destinations.empty())
        return true;
    const FFStatus status = destinations.front()->GetStatus();
    return status == FFStatus::Ready || status == FFStatus::Full || status == FFStatus::Paused;
}

int FFSource::ReadNextPacket()
{
    if (!_srcFormatContext || _running)
        return AVERROR(EINVAL);
    return _ReadFrame(true);
}

int FFSource::_ReadFrame(bool lastReadOk)
{
    AVPacketPtr packet = MakePacket();
    int result;
    {
        std::lock_guard<std::recursive_mutex> guard(_demuxLock);
        _ArmDeadline();
        result = av_read_frame(_srcFormatContext.get(), packet.get());
        _deadline = 0;
        if (_ReadCutByStop()) {
            // What the demuxer handed out of the cut read may be part of a
            // packet; the next reader reads it again whole.
            _cutShort = true;
            return result < 0 ? result : AVERROR_EXIT;
        }
    }
    if (result < 0 && _stopSignal.Raised())
        return result; // cut short by a stop, not the end of the media
    if (result < 0) {
        // Announced once per run of failures; a later seek may make reading
        // succeed again, and the next end is announced anew.
        if (lastReadOk) {
            LogInfo() << "Done reading stream!";
            _PushPacket(std::make_shared<FFEOSInfo>());
        }
        return result;
    }
    _PushReadPacket(*packet);
    return result;
}

void FFSource::_PushReadPacket(AVPacket& packet)
{
    FFStreamType kind;
    if (packet.stream_index == _videoStreamIndex)
        kind = FFStreamType::Video;
    else if (packet.stream_index == _audioStreamIndex)
        kind = FFStreamType::Audio;
    else
        return; // subtitles, data: nobody downstream uses them
    if (_network && _resume.PassesOver(packet))
        return; // after a cut: handed on before it, or no use without what it lost
    const int stream = packet.stream_index;
    const int64_t time = ResumePoint::TimeOf(packet);
    auto record = std::make_shared<FFPacket>(&packet); // takes the packet's data
    record->SetStreamType(kind);
    if (_PushPacket(record) && _network)
        _resume.Delivered(stream, time);
}

bool FFSource::_ReadCutByStop() const
{
    // The input failed or ended while the stop was raised: the stop cut it.
    // A demuxer that reads through inputs of its own (a playlist's segments)
    // read its own input, the playlist, to the end while opening, so every
    // read the stop runs into counts as cut: the segment input the stop cut
    // cannot be seen from here, and a finished playlist seeks back.
    const AVIOContext* input = _srcFormatContext->pb;
    return _network && _stopSignal.Raised() && input && (input->error || input->eof_reached);
}

void FFSource::_ResumeAfterCut()
{
    _cutShort = false;
    std::lock_guard<std::recursive_mutex> guard(_demuxLock);
    AVIOContext* input = _srcFormatContext->pb;
    // The failure was the stop's, not the input's.
    input->error = 0;
    input->eof_reached = 0;
    const int stream = _videoStreamIndex >= 0 ? _videoStreamIndex : _audioStreamIndex;
    const int64_t newest = _resume.NewestIn(stream);
    if (newest != AV_NOPTS_VALUE && (input->seekable & AVIO_SEEKABLE_NORMAL)) {
        _ArmDeadline();
        const int result = av_seek_frame(_srcFormatContext.get(), stream, newest, AVSEEK_FLAG_BACKWARD);
        _deadline = 0;
        if (result >= 0) {
            _resume.PassOverDelivered();
            return;
        }
        LogWarn() << "Cannot go back to where the stop cut the reading: " << AVErrorText(result);
    }
    LogInfo() << "The input goes on after the stop from its next key picture";
    avformat_flush(_srcFormatContext.get());
    _resume.PassOverUntilKeyPicture(_videoStreamIndex);
}

bool FFSource::_MayPush()
{
    std::lock_guard<std::recursive_mutex> guard(_pushLock);
    return _pushEnabled && !AnyDestinationBusy();
}

bool FFSource::_PushPacket(const std::shared_ptr<FFData>& record)
{
    for (;;) {
        // Read before looking: a ring after the look ends the sleep at once.
        const uint64_t seen = roomSignal->Generation();
        if (!_running || _MayPush())
            break;
        if (_SeekQueued()) {
            // After the seek this record would be stale.
            LogInfo() << "FFSource::_PushPacket" << ": seek command found";
            return false;
        }
        // Asleep until a destination makes room, a seek is queued or a stop.
        roomSignal->WaitPast(seen);
    }
    // Also reached when stopping: the record is delivered rather than lost.
    PushToDestinations(record);
    return true;
}

void FFSource::_SeekTo(double seconds)
{
    std::vector<AVPacketPtr> lead;
    std::unique_lock<std::recursive_mutex> guard(_demuxLock);
    _ArmDeadline();
    const int result = SeekForPictures(_srcFormatContext.get(), _videoStreamIndex, seconds, lead);
    _deadline = 0;
    if (_ReadCutByStop()) {
        // The stop drops the seek, as it drops one still queued; the next
        // reader goes on from what was handed on before it.
        _cutShort = true;
        return;
    }
    guard.unlock();
    if (result < 0)
        LogError() << "Seek failed: " << result;
    // Downstream flushes on the marker whether or not the demuxer moved.
    PushToDestinations(std::make_shared<FFSeekInfo>(seconds));
    _resume.Forget();
    for (const auto& packet : lead)
        _PushReadPacket(*packet);
}

} // namespace Quillet
