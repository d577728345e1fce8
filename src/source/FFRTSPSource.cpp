#include "source/FFRTSPSource.h"

#include "core/CallScope.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "core/UrlForLog.h"
#include "core/FFControlInfo.h"
#include "core/FFError.h"
#include "core/FFPacket.h"
#include "source/CameraClientSettings.h"
#include "source/CameraCodecMap.h"
#include "source/SourceInterrupt.h"

namespace Quillet {
namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

// The RTP clock of video; used when a description comes without a clock.
constexpr int32_t kDefaultVideoClock = 90000;
// Told to the application when the camera refuses the credentials.
constexpr const char* kAuthorizationFailed = "RTSP authorization failed";

bool BeginsWithRtsp(const std::string& url) { return url.size() >= 4 && url.compare(0, 4, "rtsp") == 0; }

} // namespace

// ---------------------------------------------------------------- life cycle

FFRTSPSource::FFRTSPSource() : _rtspSource(CreateRTSPClient()) {}

std::shared_ptr<IRTSPClient> FFRTSPSource::_Client()
{
    std::lock_guard<std::mutex> guard(_clientGuard);
    return _rtspSource;
}

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
    _reconnectInterval = interval;
}

// ---------------------------------------------------------------- open / close

void FFRTSPSource::SetInterrupt(std::shared_ptr<SourceInterrupt> interrupt, double networkTimeoutSeconds)
{
    Lock lock(_lock);
    _interrupt = std::move(interrupt);
    _networkTimeoutSeconds = networkTimeoutSeconds;
}

bool FFRTSPSource::OpenSource(const std::string& url)
{
    LogInfo() << "FFRTSPSource::OpenSource" << ": " << UrlForLog(url);
    OpenOutcome outcome;
    _opening->store(true);
    const bool ok = _Open(url, outcome);
    _opening->store(false);
    _openFailure = ok ? OpenFailure::None : outcome.failure;
    // Raised outside the lock: a handler may well ask this source (through
    // its engine) about the stream it has just been told about.
    if (outcome.connected) {
        FFSourceConnectionStatusArgs args(ConnectionStatus::Connected, "RTSP connected");
        RaiseEvent(args);
    }
    if (outcome.authorizationFailed) {
        FFSourceConnectionStatusArgs args(ConnectionStatus::Disconnected, kAuthorizationFailed);
        RaiseEvent(args);
    }
    _AnnounceRefusals(outcome.refusals);
    return ok;
}

bool FFRTSPSource::_Open(const std::string& url, OpenOutcome& outcome)
{
    std::shared_ptr<IRTSPClient> client;
    RTSPSourceSettings settings;
    {
        Lock lock(_lock);
        _url = url;
        if (!BeginsWithRtsp(url)) {
            LogWarn() << "Attempting to open non-rtsp";
            return false;
        }
        settings = CameraClientSettings(_sourceSettings.get());
        if (_networkTimeoutSeconds > 0)
            settings.connectTimeoutMs = static_cast<int32_t>(std::min(_networkTimeoutSeconds * 1000.0, 2e9));
        settings.cancel = [interrupt = _interrupt, opening = _opening] {
            return opening->load() && interrupt && interrupt->Fired();
        };
        client = _Client();
    }
    LogInfo() << "Applying Settings: " << "streamUsingTCP=" << settings.streamUsingTCP << ", "
              << "enableTimeFilter=" << settings.enableTimeFilter;
    for (MediaPacket::MediaType type : settings.mediaTypes)
        LogInfo() << "mediaTypes=" << static_cast<int>(type);

    // Connecting may take the whole packet timeout; the stream facts stay
    // answerable meanwhile, so the lock is not held.
    client->SetupSource(settings);
    if (!client->Connect(url)) {
        LogWarn() << "Failed to connect " << UrlForLog(url);
        switch (client->LastConnectFailure()) {
        case ConnectFailure::AuthorizationFailed:
            LogWarn() << kAuthorizationFailed;
            outcome.authorizationFailed = true;
            outcome.failure = OpenFailure::AuthorizationFailed;
            break;
        case ConnectFailure::ConnectionRefused: outcome.failure = OpenFailure::ConnectionRefused; break;
        case ConnectFailure::TimedOut: outcome.failure = OpenFailure::TimedOut; break;
        default: break;
        }
        return false;
    }
    outcome.connected = true;

    Lock lock(_lock);
    bool videoOk = false;
    if (auto info = client->GetVideoInfo()) {
        _videoStreamIndex = info->streamIndex;
        LogInfo() << "Video stream index: " << _videoStreamIndex;
        videoOk = _contexts.SetVideo(*info, outcome.refusals);
    } else {
        LogWarn() << "No video info available";
    }
    bool audioOk = false;
    if (auto info = client->GetAudioInfo()) {
        _audioStreamIndex = info->streamIndex;
        LogInfo() << "Audio stream index: " << _audioStreamIndex;
        audioOk = _contexts.SetAudio(*info, outcome.refusals);
    } else {
        LogWarn() << "No audio info available";
    }
    return videoOk || audioOk;
}

OpenFailure FFRTSPSource::LastOpenFailure() const { return _openFailure; }

void FFRTSPSource::_AnnounceRefusals(const std::vector<std::string>& refusals)
{
    for (const std::string& refusal : refusals) {
        FFSourceConnectionStatusArgs args(ConnectionStatus::Disconnected, refusal);
        RaiseEvent(args);
        ReportError("FFRTSPSource", std::invalid_argument(refusal), FFMessageType::RTSPSourceError);
    }
}

void FFRTSPSource::CloseSource()
{
    LogInfo() << "FFRTSPSource::CloseSource";
    _Client()->Close();
    Lock lock(_lock);
    _videoStreamIndex = -1;
    _audioStreamIndex = -1;
}

// ---------------------------------------------------------------- descriptions

std::shared_ptr<FFCodecInfo> FFRTSPSource::_GetVideoCodecInfo()
{
    LogInfo() << "FFRTSPSource::_GetVideoCodecInfo";
    if (!_contexts.Video()) {
        LogWarn() << "Returning null codec info";
        return nullptr;
    }
    auto mediaInfo = _Client()->GetVideoInfo();
    if (!mediaInfo) {
        LogWarn() << "videoInfo null from source - returning null";
        return nullptr;
    }
    return _contexts.DescribeVideo(mediaInfo->clockRate > 0 ? mediaInfo->clockRate : kDefaultVideoClock);
}

std::shared_ptr<FFCodecInfo> FFRTSPSource::_GetAudioCodecInfo()
{
    LogInfo() << "FFRTSPSource::_GetAudioCodecInfo";
    if (!_contexts.Audio()) {
        LogWarn() << "Returning null codec info";
        return nullptr;
    }
    auto mediaInfo = _Client()->GetAudioInfo();
    if (!mediaInfo) {
        LogWarn() << "Returning null codec info 2";
        return nullptr;
    }
    const int32_t clock = mediaInfo->clockRate > 0    ? mediaInfo->clockRate
                          : mediaInfo->sampleRate > 0 ? mediaInfo->sampleRate
                                                      : kDefaultVideoClock;
    return _contexts.DescribeAudio(clock);
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
    // A reader asked to stop from its own handler is still inside its loop;
    // this runs under the engine's lock, so only an ended one is joined here.
    if (_readThread.IsCurrentThread())
        throw FFError("The read thread cannot start itself again");
    if (_readThread.IsRunning())
        throw FFError("The read thread is still stopping");
    LogInfo() << "Starting source thread";
    // A worker that ended on an error is finished; let go of its handle.
    _readThread.Join();
    _stop.Reset();
    _running = true;
    _readThread.Start(this, &FFRTSPSource::_ReadFramesFromSource, _messenger);
}

void FFRTSPSource::RequestStop()
{
    _stop.Raise();
    _Client()->WakeWaiter(); // the worker may sleep on the client's queue
    _InterruptConnect();
}

bool FFRTSPSource::StopReadThread()
{
    LogInfo() << "FFRTSPSource::StopReadThread";
    RequestStop();
    std::unique_lock<std::recursive_mutex> lock(_lock);
    if (_running) {
        LogInfo() << "Stopping rtsp source thread";
        _running = false;
    }
    lock.unlock();
    // Also a worker that ended on its own after an error. On the worker
    // itself (a handler) it ends when the handler returns.
    if (!_readThread.Join())
        return false;
    LogInfo() << "Stopped waiting for rtsp source thread";
    return true;
}

void FFRTSPSource::_InterruptConnect()
{
    if (_reconnecting)
        _Client()->Close();
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
        ReportError("FFRTSPSource::_ReadFramesFromSource", e, FFMessageType::RTSPSourceError);
    }
}

void FFRTSPSource::_ReadLoop()
{
    while (_running && !_stop.Raised()) {
        // What the camera sent before the connection ended is still waiting
        // in the client; it belongs in the graph (and in the file that the
        // loss closes) before the client goes.
        const auto client = _Client();
        const bool running = client->IsRunning();
        std::shared_ptr<MediaPacketStruct> mp = client->ReadFrame();
        if (!running && !mp) {
            _ReconnectOnce();
            continue;
        }
        if (mp && (mp->mediaType == MediaPacket::Video || mp->mediaType == MediaPacket::Audio)) {
            // Events the packet raises reach their handlers once it is
            // through the graph, with no lock of the graph held.
            CallScope scope;
            _ForwardPacket(*mp);
        }
        // Asleep until the camera sends, the connection ends or a stop
        // (StopReadThread raises _stop before it wakes the client's waiter).
        if (!mp && !_stop.Raised())
            client->WaitForPacket(std::chrono::steady_clock::time_point::max());
    }
}

void FFRTSPSource::_ReconnectOnce()
{
    // Each step's events reach the handlers before the next step begins: the
    // application hears of the loss at once, not after a reopen that may take
    // the whole network timeout, and nothing it is told waits out the pause
    // between attempts.
    {
        CallScope scope;
        _AnnounceLoss();
    }
    bool reopened = false;
    {
        CallScope scope;
        reopened = _Reopen();
    }
    if (!reopened)
        _WaitBeforeNextAttempt();
}

void FFRTSPSource::_ForwardPacket(const MediaPacketStruct& mp)
{
    auto packet = std::make_shared<FFPacket>();
    _ConvertPacket(mp, *packet);
    packet->liveTime = mp.timing ? mp.timing->pcTimeUTC : 0;
    packet->liveFlag = mp.timing && mp.timing->trustIndex == MediaPacket::SenderReport;
    // A camera's times never run backwards for the application: not when
    // its first sender report replaces arrival times by the earlier capture
    // times, nor across a reconnection to a camera that restarted its clock.
    int64_t& last = mp.mediaType == MediaPacket::Video ? _lastVideoLiveTime : _lastAudioLiveTime;
    if (packet->liveTime != 0 && packet->liveTime < last)
        packet->liveTime = last;
    last = std::max(last, packet->liveTime);
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
        if (_contexts.Video() && !HasInterPictures(_contexts.Video()->codec_id))
            frameType = MediaPacket::KeyFrame;
    } else {
        frameType = MediaPacket::KeyFrame;
    }
    if (frameType == MediaPacket::KeyFrame)
        p->flags |= AV_PKT_FLAG_KEY;
    if (mp.corrupt)
        p->flags |= AV_PKT_FLAG_CORRUPT;

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
    std::vector<std::string> refusals;
    {
        Lock lock(_lock);
        const auto client = _Client();
        if (video) {
            _lastVideoConfigId = mp.configId;
            if (auto info = client->GetVideoInfo())
                _contexts.SetVideo(*info, refusals);
        } else {
            _lastAudioConfigId = mp.configId;
            if (auto info = client->GetAudioInfo())
                _contexts.SetAudio(*info, refusals);
        }
        // The description pushed below covers both streams: the other one's
        // current configuration goes with it, so its first packet does not
        // push a second description, which would restart the decoder after
        // the key picture it has just been given.
        if (auto other = video ? client->GetAudioInfo() : client->GetVideoInfo()) {
            int32_t& last = video ? _lastAudioConfigId : _lastVideoConfigId;
            if (other->configId != last) {
                last = other->configId;
                if (video)
                    _contexts.SetAudio(*other, refusals);
                else
                    _contexts.SetVideo(*other, refusals);
            }
        }
        codec = _GetCodecInfo();
    }
    _AnnounceRefusals(refusals);
    // Pushed without the lock: connecting a destination holds the graph's
    // lock while it asks for the description, so pushing under ours could
    // deadlock against it. Only this thread pushes, so nothing overtakes it.
    if (codec)
        _PushData(codec);
}

void FFRTSPSource::_PushData(const std::shared_ptr<FFData>& record)
{
    // A camera does not wait: every destination gets the record now, and
    // one that answers Full copes by its own rule (the player gives up
    // pictures, the recording queues, a served client skips to a key
    // picture). Waiting here would only pile the packets up in the client
    // until its bounded queue dropped them, for every destination at once.
    PushToDestinations(record);
}

// ---------------------------------------------------------------- reconnection

void FFRTSPSource::_AnnounceLoss()
{
    // The announcements go out without the lock (see _HandleCodecChange);
    // replacing and reopening the client happen under it.
    const int32_t attempt = ++_reconnectAttempts;
    const std::string text = "RTSP connection lost, reconnection attempt " + std::to_string(attempt);
    LogInfo() << text;
    _AnnounceConnection(ConnectionStatus::ConnectionLost, text);
}

bool FFRTSPSource::_Reopen()
{
    const int32_t attempt = _reconnectAttempts;
    _ReplaceClient();
    std::string url;
    {
        Lock lock(_lock);
        _lastVideoConfigId = 0;
        _lastAudioConfigId = 0;
        url = _url;
    }
    LogInfo() << "RTSP source reopen attempt " << attempt;
    if (_stop.Raised())
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
    // The old connection ends before the new one connects (a camera may
    // accept one session only); its teardown holds none of our locks.
    std::shared_ptr<IRTSPClient> old = CreateRTSPClient();
    {
        std::lock_guard<std::mutex> guard(_clientGuard);
        std::swap(old, _rtspSource);
    }
    old.reset();
}

void FFRTSPSource::_AnnounceConnection(ConnectionStatus status, const std::string& text)
{
    FFSourceConnectionStatusArgs args(status, text);
    RaiseEvent(args);
    _PushData(std::make_shared<FFConnectionInfo>(status, text));
}

void FFRTSPSource::_WaitBeforeNextAttempt()
{
    // Not under _lock: the stream facts stay answerable; a stop ends it.
    _stop.WaitFor(_reconnectInterval.load());
}

// ---------------------------------------------------------------- stream facts

int FFRTSPSource::_VideoSize(const char* operation, bool width)
{
    Lock lock(_lock);
    const int size = !_contexts.Video() ? 0 : width ? _contexts.Video()->width : _contexts.Video()->height;
    LogInfo() << operation << ": " << size;
    return size;
}

int FFRTSPSource::Width() { return _VideoSize("FFRTSPSource::Width", true); }

int FFRTSPSource::Height() { return _VideoSize("FFRTSPSource::Height", false); }

int FFRTSPSource::RenderWidth() { return _VideoSize("FFRTSPSource::RenderWidth", true); }

int FFRTSPSource::RenderHeight() { return _VideoSize("FFRTSPSource::RenderHeight", false); }

void FFRTSPSource::GetDimensions(int* width, int* height)
{
    LogInfo() << "FFRTSPSource::GetDimensions";
    Lock lock(_lock);
    if (!_contexts.Video() || !width || !height)
        return;
    *width = _contexts.Video()->width;
    *height = _contexts.Video()->height;
    LogInfo() << "Returning - width: " << *width << " - height: " << *height;
}

bool FFRTSPSource::HasAudio()
{
    Lock lock(_lock);
    return _contexts.Audio() != nullptr;
}

bool FFRTSPSource::GetAudioFormat(int* rate, int* bits, int* channels)
{
    Lock lock(_lock);
    if (!_contexts.Audio())
        return false;
    const int r = _contexts.Audio()->sample_rate;
    const int c = _contexts.Audio()->ch_layout.nb_channels;
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
