#include "source/FFRTSPSource.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <thread>

#include "core/FFCodecLock.h"
#include "core/FFControlInfo.h"
#include "core/FFPacket.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
#include <libavutil/time.h>
}

namespace Quillet {
namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

constexpr auto kJoinLimit = std::chrono::milliseconds(10000);
constexpr unsigned kPollUs = 1000;      // between two reads from the client
constexpr unsigned kPushWaitUs = 10000; // while a destination is full or paused
constexpr auto kBackOffStep = std::chrono::milliseconds(10);
// The RTP clock of video; used when a description comes without a clock.
constexpr int32_t kDefaultVideoClock = 90000;
// A whole description's disposition: the stream is the default one.
constexpr int32_t kDefaultDisposition = 4;

// Sampling frequencies by their AudioSpecificConfig index.
constexpr int kAacSampleRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
constexpr int kAacNoRateIndex = 16;

bool BeginsWithRtsp(const std::string& url) { return url.size() >= 4 && url.compare(0, 4, "rtsp") == 0; }

AVCodecID VideoCodecId(MediaPacket::Codec codec)
{
    switch (codec) {
    case MediaPacket::MPEG4:
        return AV_CODEC_ID_MPEG4;
    case MediaPacket::MJPEG:
    case MediaPacket::JPEG:
        return AV_CODEC_ID_MJPEG;
    default: // H.264 and everything this system cannot tell apart from it
        return AV_CODEC_ID_H264;
    }
}

AVCodecID AudioCodecId(MediaPacket::Codec codec)
{
    switch (codec) {
    case MediaPacket::G726:
        return AV_CODEC_ID_ADPCM_G726;
    case MediaPacket::AAC:
        return AV_CODEC_ID_AAC;
    default: // mu-law and everything else
        return AV_CODEC_ID_PCM_MULAW;
    }
}

::AVPixelFormat PixelFormatOf(MediaPacket::AVPixelFormat format)
{
    switch (format) {
    case MediaPacket::YUV422:
        return AV_PIX_FMT_YUV422P;
    case MediaPacket::YUV444:
        return AV_PIX_FMT_YUV444P;
    default:
        return AV_PIX_FMT_YUV420P;
    }
}

int32_t WholeMilliseconds(double ms) { return static_cast<int32_t>(ms); }

} // namespace

// ---------------------------------------------------------------- life cycle

void FFRTSPSource::ContextDeleter::operator()(AVCodecContext* context) const
{
    if (owner)
        owner->LogInfo() << "Freeing codec context";
    std::lock_guard<std::mutex> guard(CodecLock());
    avcodec_free_context(&context);
}

FFRTSPSource::FFRTSPSource() : _rtspSource(CreateRTSPClient()) {}

FFRTSPSource::~FFRTSPSource()
{
    LogInfo() << "FFRTSPSource::~FFRTSPSource";
    // Engines stop the thread first; a worker still running would read from
    // a client that is about to go.
    StopReadThread();
    {
        std::lock_guard<std::mutex> guard(_clientGuard);
        _rtspSource.reset();
    }
    LogInfo() << "RTSP source destruction Done";
}

void FFRTSPSource::SetSourceSettings(std::shared_ptr<FFSourceSettings> settings)
{
    Lock lock(_lock);
    _sourceSettings = std::move(settings);
}

void FFRTSPSource::SetReconnectInterval(std::chrono::milliseconds interval)
{
    Lock lock(_lock);
    _reconnectInterval = interval;
}

RTSPSourceSettings FFRTSPSource::MakeClientSettings(const FFSourceSettings* s)
{
    RTSPSourceSettings settings;
    settings.streamUsingTCP = false;
    settings.enableTimeFilter = false;
    settings.requireRTCP = true;
    settings.packetTimeoutMs = 10000;
    settings.rtcpTimeoutMs = 30000;
    settings.mediaTypes = {MediaPacket::Video, MediaPacket::Audio};
    if (!s)
        return settings;
    settings.streamUsingTCP = s->streamUsingTCP;
    settings.enableTimeFilter = s->useTimeFilter;
    settings.requireRTCP = s->requireRTCP;
    settings.username = s->username;
    settings.password = s->password;
    settings.createTimingLog = s->createTimingLog;
    settings.timingLogFolder = s->timingLogFolder;
    settings.audioLatencyMs = s->audioLatencyMs;
    settings.videoLatencyMs = s->videoLatencyMs;
    settings.syncShiftMs = s->syncShiftMs;
    settings.packetTimeoutMs = WholeMilliseconds(s->packetTimeoutMs);
    settings.rtcpTimeoutMs = WholeMilliseconds(s->rtcpTimeoutMs);
    if (s->useOnlyVideo)
        settings.mediaTypes = {MediaPacket::Video};
    return settings;
}

// ---------------------------------------------------------------- open / close

bool FFRTSPSource::OpenSource(const std::string& url)
{
    LogInfo() << "FFRTSPSource::OpenSource" << ": " << url;
    bool connected = false;
    const bool ok = _Open(url, connected);
    // Raised outside the lock: a handler may well ask this source (through
    // its engine) about the stream it has just been told about.
    if (connected) {
        FFSourceConnectionStatusArgs args(ConnectionStatus::Connected, "RTSP connected");
        RaiseEvent(args);
    }
    return ok;
}

bool FFRTSPSource::_Open(const std::string& url, bool& connected)
{
    Lock lock(_lock);
    _url = url;
    if (!BeginsWithRtsp(url)) {
        LogWarn() << "Attempting to open non-rtsp";
        return false;
    }

    RTSPSourceSettings settings = MakeClientSettings(_sourceSettings.get());
    LogInfo() << "Applying Settings: " << "streamUsingTCP=" << settings.streamUsingTCP << ", "
              << "enableTimeFilter=" << settings.enableTimeFilter;
    for (MediaPacket::MediaType type : settings.mediaTypes)
        LogInfo() << "mediaTypes=" << static_cast<int>(type);

    _rtspSource->SetupSource(settings);
    if (!_rtspSource->Connect(url)) {
        LogWarn() << "Failed to connect " << url;
        return false;
    }
    connected = true;

    bool videoOk = false;
    if (auto info = _rtspSource->GetVideoInfo()) {
        _videoStreamIndex = info->streamIndex;
        LogInfo() << "Video stream index: " << _videoStreamIndex;
        videoOk = _InitVideoCodec(*info);
    } else {
        LogWarn() << "No video info available";
    }
    bool audioOk = false;
    if (auto info = _rtspSource->GetAudioInfo()) {
        _audioStreamIndex = info->streamIndex;
        LogInfo() << "Audio stream index: " << _audioStreamIndex;
        audioOk = _InitAudioCodec(*info);
    } else {
        LogWarn() << "No audio info available";
    }
    return videoOk || audioOk;
}

void FFRTSPSource::CloseSource()
{
    LogInfo() << "FFRTSPSource::CloseSource";
    Lock lock(_lock);
    _rtspSource->Close();
    _videoStreamIndex = -1;
    _audioStreamIndex = -1;
}

// ---------------------------------------------------------------- descriptions

FFRTSPSource::ContextPtr FFRTSPSource::_AllocateContext(AVMediaType type)
{
    AVCodecContext* context;
    {
        std::lock_guard<std::mutex> guard(CodecLock());
        context = avcodec_alloc_context3(nullptr);
    }
    if (!context)
        throw std::bad_alloc();
    context->codec_type = type;
    return ContextPtr(context, ContextDeleter{this});
}

bool FFRTSPSource::_InitVideoCodec(const MediaInfoStruct& info)
{
    LogInfo() << "FFRTSPSource::_InitVideoCodec";
    const AVCodecID codecId = VideoCodecId(info.codec);
    const ::AVPixelFormat pixelFormat = PixelFormatOf(info.pixelFormat);
    int width = info.width;
    int height = info.height;
    if (width < 0 || height < 0) {
        LogInfo() << "MediaInfo::UNKNOWN_OR_CORRUPT_PARAMETER";
        return false;
    }
    if (width == 0 || height == 0) {
        // The size comes with the first picture; decoders and writers
        // refuse a stream without one.
        LogInfo() << "Faking Video Dimensions, reported as 0 from RTSP-Source";
        width = 100;
        height = 100;
    }
    ContextPtr context = _AllocateContext(AVMEDIA_TYPE_VIDEO);
    context->codec_id = codecId;
    context->width = width;
    context->height = height;
    context->pix_fmt = pixelFormat;
    if (info.clockRate > 0) {
        context->time_base = AVRational{1, info.clockRate};
        context->pkt_timebase = context->time_base;
    }
    // Parameter sets that a camera announces only out of band (in its
    // session description) must travel with the description, or neither
    // the decoder nor a recorded file can make sense of the pictures.
    if (!info.extradata.empty()) {
        const size_t size = info.extradata.size();
        context->extradata = static_cast<uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!context->extradata)
            throw std::bad_alloc();
        std::memcpy(context->extradata, info.extradata.data(), size);
        context->extradata_size = static_cast<int>(size);
    }
    LogInfo() << "Setting VideoCodecContext: " << "ID: " << context->codec_id << " - Width: " << context->width
              << " - Height: " << context->height << " - Format: " << context->pix_fmt;
    _videoCodecContext = std::move(context);
    return true;
}

bool FFRTSPSource::_InitAudioCodec(const MediaInfoStruct& info)
{
    LogInfo() << "FFRTSPSource::_InitAudioCodec";
    ContextPtr context = _AllocateContext(AVMEDIA_TYPE_AUDIO);
    context->codec_id = AudioCodecId(info.codec);
    if (context->codec_id == AV_CODEC_ID_ADPCM_G726 && info.sampleRate > 0)
        context->bits_per_coded_sample = info.bitRateKbps * 1000 / info.sampleRate;
    context->bit_rate = int64_t(info.bitRateKbps) * 1000;
    av_channel_layout_uninit(&context->ch_layout);
    av_channel_layout_default(&context->ch_layout, std::max(0, info.channels));
    context->sample_rate = info.sampleRate;
    if (info.clockRate > 0) {
        context->time_base = AVRational{1, info.clockRate};
        context->pkt_timebase = context->time_base;
    }
    if (context->codec_id == AV_CODEC_ID_AAC) {
        _FillAACExtradata(context.get());
        // An AAC-LC frame always holds 1024 samples; container writers
        // want to know it.
        context->frame_size = 1024;
    }
    LogInfo() << "Setting AudioCodecContext: " << "Audio ID: " << context->codec_id
              << " - Sample Format: " << context->sample_fmt << " - Bit Rate: " << context->bit_rate
              << " - Sample Rate: " << context->sample_rate << " - Channels: " << context->ch_layout.nb_channels
              << " - Timebase: " << context->time_base.num << "/" << context->time_base.den;
    _audioCodecContext = std::move(context);
    return true;
}

void FFRTSPSource::_FillAACExtradata(AVCodecContext* context) const
{
    const auto* begin = std::begin(kAacSampleRates);
    const auto* found = std::find(begin, std::end(kAacSampleRates), context->sample_rate);
    int index = static_cast<int>(found - begin);
    if (found == std::end(kAacSampleRates)) {
        LogError() << "FFRTSPSource::_FillAACExtradata" << "AACV Extradata error";
        index = kAacNoRateIndex;
    }
    av_freep(&context->extradata);
    context->extradata = static_cast<uint8_t*>(av_mallocz(2 + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!context->extradata)
        throw std::bad_alloc();
    context->extradata_size = 2;
    const int channels = context->ch_layout.nb_channels;
    // Object type 2 (AAC LC) in five bits, the rate index in four, the
    // channel configuration in four, three zero bits.
    context->extradata[0] = static_cast<uint8_t>(0x10 | (index >> 1));
    context->extradata[1] = static_cast<uint8_t>((((index << 4) | channels) << 3) & 0xFF);
}

std::shared_ptr<FFCodecInfo> FFRTSPSource::_GetVideoCodecInfo()
{
    LogInfo() << "FFRTSPSource::_GetVideoCodecInfo";
    if (!_videoCodecContext) {
        LogWarn() << "Returning null codec info";
        return nullptr;
    }
    auto mediaInfo = _rtspSource->GetVideoInfo();
    if (!mediaInfo) {
        LogWarn() << "videoInfo null from source - returning null";
        return nullptr;
    }
    auto info = std::make_shared<FFCodecInfo>(_videoCodecContext.get());
    info->timeBaseNum = 1;
    info->timeBaseDen = mediaInfo->clockRate > 0 ? mediaInfo->clockRate : kDefaultVideoClock;
    info->disposition = kDefaultDisposition;
    info->SetStreamType(FFStreamType::Video);
    const AVCodecContext* c = info->Context();
    LogInfo() << "Returning: " << "ID: " << c->codec_id << " - Width: " << c->width << " - Height: " << c->height
              << " - Format: " << c->pix_fmt << " - Timebase: " << info->timeBaseNum << "/" << info->timeBaseDen;
    return info;
}

std::shared_ptr<FFCodecInfo> FFRTSPSource::_GetAudioCodecInfo()
{
    LogInfo() << "FFRTSPSource::_GetAudioCodecInfo";
    if (!_audioCodecContext) {
        LogWarn() << "Returning null codec info";
        return nullptr;
    }
    auto mediaInfo = _rtspSource->GetAudioInfo();
    if (!mediaInfo) {
        LogWarn() << "Returning null codec info 2";
        return nullptr;
    }
    auto info = std::make_shared<FFCodecInfo>(_audioCodecContext.get());
    info->timeBaseNum = 1;
    info->timeBaseDen = mediaInfo->clockRate > 0   ? mediaInfo->clockRate
                        : mediaInfo->sampleRate > 0 ? mediaInfo->sampleRate
                                                    : kDefaultVideoClock;
    info->disposition = kDefaultDisposition;
    info->SetStreamType(FFStreamType::Audio);
    const AVCodecContext* c = info->Context();
    LogInfo() << "Returning: " << "Audio ID: " << c->codec_id << " - Sample Format: " << c->sample_fmt
              << " - Bit Rate: " << c->bit_rate << " - Sample Rate: " << c->sample_rate
              << " - Channels: " << c->ch_layout.nb_channels << " - Timebase: " << info->timeBaseNum << "/"
              << info->timeBaseDen;
    return info;
}

std::shared_ptr<FFAVCodec> FFRTSPSource::_GetCodecInfo()
{
    LogInfo() << "FFRTSPSource::_GetCodecInfo";
    auto video = _GetVideoCodecInfo();
    auto audio = _GetAudioCodecInfo();
    if (!video && !audio)
        return nullptr;
    return std::make_shared<FFAVCodec>(std::move(video), std::move(audio));
}

std::shared_ptr<FFData> FFRTSPSource::GetMetaInfo()
{
    LogInfo() << "FFRTSPSource::GetMetaInfo";
    Lock lock(_lock);
    auto codec = _GetCodecInfo();
    if (!codec) {
        LogWarn() << "Returning null codec info";
        return nullptr;
    }
    return codec;
}

// ---------------------------------------------------------------- read thread

void FFRTSPSource::StartReadThread()
{
    LogInfo() << "FFRTSPSource::StartReadThread";
    Lock lock(_lock);
    if (_running)
        return;
    LogInfo() << "Starting source thread";
    // A worker that ended on an error is finished; let go of its handle.
    _readThread.Join(kJoinLimit);
    _stopRequested = false;
    _running = true;
    _readThread.Start(this, &FFRTSPSource::_ReadFramesFromSource);
}

void FFRTSPSource::StopReadThread()
{
    LogInfo() << "FFRTSPSource::StopReadThread";
    _stopRequested = true;
    _InterruptConnect();
    std::unique_lock<std::recursive_mutex> lock(_lock);
    if (!_running) {
        lock.unlock();
        _readThread.Join(kJoinLimit); // ended on its own after an error
        return;
    }
    LogInfo() << "Stopping rtsp source thread";
    _running = false;
    lock.unlock();
    _readThread.Join(kJoinLimit);
    LogInfo() << "Stopped waiting for rtsp source thread";
}

void FFRTSPSource::_InterruptConnect()
{
    if (!_reconnecting)
        return;
    std::lock_guard<std::mutex> guard(_clientGuard);
    if (_rtspSource)
        _rtspSource->Close();
}

bool FFRTSPSource::IsReading() { return _running; }

bool FFRTSPSource::IsOpen() { return _running; }

void FFRTSPSource::_ReadFramesFromSource()
{
    LogInfo() << "FFRTSPSource::_ReadFramesFromSource";
    try {
        _ReadLoop();
    } catch (const std::exception& e) {
        _running = false;
        ReportError("Error in FFRTSPSource::_ReadFramesFromSource", e, RTSPSourceError);
    }
}

void FFRTSPSource::_ReadLoop()
{
    while (_running && !_stopRequested) {
        std::shared_ptr<MediaPacketStruct> mp;
        bool lost = false;
        {
            Lock lock(_lock);
            // What the camera sent before the connection ended is still
            // waiting in the client; it belongs in the graph (and in the file
            // that the loss closes) before the client goes.
            const bool running = _rtspSource->IsRunning();
            mp = _rtspSource->ReadFrame();
            lost = !running && !mp;
        }
        if (lost && !_Reconnect())
            _WaitBeforeNextAttempt();
        if (mp && (mp->mediaType == MediaPacket::Video || mp->mediaType == MediaPacket::Audio))
            _ForwardPacket(*mp);
        av_usleep(kPollUs);
    }
}

void FFRTSPSource::_ForwardPacket(const MediaPacketStruct& mp)
{
    auto packet = std::make_shared<FFPacket>();
    _ConvertPacket(mp, *packet);
    packet->liveTime = mp.timing ? mp.timing->pcTimeUTC : 0;
    packet->liveFlag = mp.timing && mp.timing->trustIndex == MediaPacket::SenderReport;
    packet->SetStreamType(mp.mediaType == MediaPacket::Video ? FFStreamType::Video : FFStreamType::Audio);
    _PushData(packet);
}

void FFRTSPSource::_ConvertPacket(const MediaPacketStruct& mp, FFPacket& packet)
{
    AVPacket* p = packet.Get();
    if (mp.size < 0 || av_new_packet(p, mp.size) < 0)
        return;
    const bool video = mp.mediaType == MediaPacket::Video;
    p->stream_index = video ? 1 : 2;
    p->pts = p->dts = mp.timing ? mp.timing->timestamp : AV_NOPTS_VALUE;
    p->flags = 0;

    MediaPacket::Frametype frameType = mp.frameType;
    if (video) {
        Lock lock(_lock);
        // Only H.264 and MPEG-4 have pictures that depend on others.
        if (_videoCodecContext && _videoCodecContext->codec_id != AV_CODEC_ID_MPEG4 &&
            _videoCodecContext->codec_id != AV_CODEC_ID_H264)
            frameType = MediaPacket::KeyFrame;
    } else {
        frameType = MediaPacket::KeyFrame;
    }
    if (frameType == MediaPacket::KeyFrame)
        p->flags |= AV_PKT_FLAG_KEY;

    const int32_t lastConfigId = video ? _lastVideoConfigId : _lastAudioConfigId;
    if (mp.codecChanged || mp.configId != lastConfigId)
        _HandleCodecChange(mp);

    if (mp.size > 0 && mp.data)
        std::memcpy(p->data, mp.data, static_cast<size_t>(mp.size));
}

void FFRTSPSource::_HandleCodecChange(const MediaPacketStruct& mp)
{
    const bool video = mp.mediaType == MediaPacket::Video;
    LogInfo() << (video ? "Video: Codec Change" : "Audio: Codec Change");
    std::shared_ptr<FFAVCodec> codec;
    {
        Lock lock(_lock);
        if (video) {
            _lastVideoConfigId = mp.configId;
            if (auto info = _rtspSource->GetVideoInfo())
                _InitVideoCodec(*info);
        } else {
            _lastAudioConfigId = mp.configId;
            if (auto info = _rtspSource->GetAudioInfo())
                _InitAudioCodec(*info);
        }
        codec = _GetCodecInfo();
    }
    // Pushed without the lock: connecting a destination holds the graph's
    // lock while it asks for the description, so pushing under ours could
    // deadlock against it. Only this thread pushes, so nothing overtakes it.
    if (codec)
        _PushData(codec);
}

void FFRTSPSource::_PushData(const std::shared_ptr<FFData>& record)
{
    while (AnyDestinationBusy() && _running && !_stopRequested)
        av_usleep(kPushWaitUs);
    PushToDestinations(record);
}

// ---------------------------------------------------------------- reconnection

bool FFRTSPSource::_Reconnect()
{
    // The announcements go out without the lock (see _HandleCodecChange);
    // replacing and reopening the client happen under it.
    const int32_t attempt = ++_reconnectAttempts;
    const std::string text = "RTSP connection lost, reconnection attempt " + std::to_string(attempt);
    LogInfo() << text;
    _AnnounceConnection(ConnectionStatus::ConnectionLost, text);

    std::string url;
    {
        Lock lock(_lock);
        _ReplaceClient();
        _lastVideoConfigId = 0;
        _lastAudioConfigId = 0;
        url = _url;
    }
    LogInfo() << "RTSP source reopen attempt " << attempt;
    if (_stopRequested)
        return false;
    _reconnecting = true;
    const bool ok = OpenSource(url);
    _reconnecting = false;
    if (ok) {
        _AnnounceConnection(ConnectionStatus::Connected, "RTSP connection reestablished");
        _reconnectAttempts = 0;
    }
    return ok;
}

void FFRTSPSource::_ReplaceClient()
{
    // The old connection goes first: a camera may accept one session only.
    std::lock_guard<std::mutex> guard(_clientGuard);
    _rtspSource.reset();
    _rtspSource = CreateRTSPClient();
}

void FFRTSPSource::_AnnounceConnection(ConnectionStatus status, const std::string& text)
{
    FFSourceConnectionStatusArgs args(status, text);
    RaiseEvent(args);
    _PushData(std::make_shared<FFConnectionInfo>(status, text));
}

void FFRTSPSource::_WaitBeforeNextAttempt()
{
    // Held under the lock like the attempt itself; only a stop cuts it short.
    Lock lock(_lock);
    const auto end = std::chrono::steady_clock::now() + _reconnectInterval;
    while (!_stopRequested && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(kBackOffStep);
}

// ---------------------------------------------------------------- stream facts

int FFRTSPSource::Width()
{
    Lock lock(_lock);
    const int width = _videoCodecContext ? _videoCodecContext->width : 0;
    LogInfo() << "FFRTSPSource::Width" << ": " << width;
    return width;
}

int FFRTSPSource::Height()
{
    Lock lock(_lock);
    const int height = _videoCodecContext ? _videoCodecContext->height : 0;
    LogInfo() << "FFRTSPSource::Height" << ": " << height;
    return height;
}

int FFRTSPSource::RenderWidth()
{
    Lock lock(_lock);
    const int width = _videoCodecContext ? _videoCodecContext->width : 0;
    LogInfo() << "FFRTSPSource::RenderWidth" << ": " << width;
    return width;
}

int FFRTSPSource::RenderHeight()
{
    Lock lock(_lock);
    const int height = _videoCodecContext ? _videoCodecContext->height : 0;
    LogInfo() << "FFRTSPSource::RenderHeight" << ": " << height;
    return height;
}

void FFRTSPSource::GetDimensions(int* width, int* height)
{
    LogInfo() << "FFRTSPSource::GetDimensions";
    Lock lock(_lock);
    if (!_videoCodecContext || !width || !height)
        return;
    *width = _videoCodecContext->width;
    *height = _videoCodecContext->height;
    LogInfo() << "Returning - width: " << *width << " - height: " << *height;
}

bool FFRTSPSource::HasAudio()
{
    Lock lock(_lock);
    return _audioCodecContext != nullptr;
}

bool FFRTSPSource::GetAudioFormat(int* rate, int* bits, int* channels)
{
    Lock lock(_lock);
    if (!_audioCodecContext)
        return false;
    const int r = _audioCodecContext->sample_rate;
    const int c = _audioCodecContext->ch_layout.nb_channels;
    if (rate)
        *rate = r;
    if (bits)
        *bits = 16;
    if (channels)
        *channels = c;
    LogInfo() << "Returning - rate: " << r << " - bits: " << 16 << " - channels: " << c;
    return true;
}

double FFRTSPSource::GetDuration() { return 0.0; }

void FFRTSPSource::Seek(double seconds)
{
    // A live camera cannot be repositioned.
    LogInfo() << "FFRTSPSource::Seek" << ": " << seconds;
}

} // namespace Quillet
