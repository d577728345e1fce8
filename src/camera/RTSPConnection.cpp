#include "camera/RTSPConnection.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
#include <libavutil/time.h>
}

#include "camera/CameraCodes.h"
#include "camera/CameraLog.h"
#include "camera/PacketClock.h"
#include "camera/ParameterSets.h"
#include "camera/RtspUrl.h"
#include "core/KeyPicture.h"

namespace Quillet {
namespace {

constexpr int64_t kMaxProbeUs = 3'000'000;     // longest wait for the first picture's size
constexpr int64_t kTeardownUs = 500'000;       // time allowed to say goodbye to the camera

int64_t NowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

std::string ErrorText(int error)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof(text));
    return text;
}

std::string AllowedMediaTypes(const std::vector<MediaPacket::MediaType>& types)
{
    const bool video = types.empty() || std::find(types.begin(), types.end(), MediaPacket::Video) != types.end();
    const bool audio = types.empty() || std::find(types.begin(), types.end(), MediaPacket::Audio) != types.end();
    if (video && audio)
        return "video+audio";
    return video ? "video" : (audio ? "audio" : "video+audio");
}

bool Wanted(const std::vector<MediaPacket::MediaType>& types, MediaPacket::MediaType type)
{
    return types.empty() || std::find(types.begin(), types.end(), type) != types.end();
}

std::string TimestampForFileName()
{
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32] = {};
    std::strftime(text, sizeof(text), "%Y%m%d-%H%M%S", &utc);
    return text;
}

} // namespace

void RTSPConnection::FormatDeleter::operator()(AVFormatContext* context) const
{
    avformat_close_input(&context);
}

RTSPConnection::RTSPConnection(RTSPSourceSettings settings, std::function<void()> changed)
    : _settings(std::move(settings)),
      _timeoutUs(int64_t(std::max(_settings.packetTimeoutMs, 1)) * 1000),
      _watch(_timeoutUs, int64_t(_settings.rtcpTimeoutMs) * 1000, _settings.requireRTCP),
      _changed(std::move(changed))
{
    static std::once_flag networkInit;
    std::call_once(networkInit, [] { avformat_network_init(); });
}

RTSPConnection::~RTSPConnection()
{
    Shutdown();
}

void RTSPConnection::_Log(int level, const std::string& text) const
{
    CameraLog(static_cast<CameraLogLevel>(level), _settings.logPrefix, text);
}

int RTSPConnection::_InterruptCallback(void* opaque)
{
    auto* self = static_cast<RTSPConnection*>(opaque);
    if (self->_settings.cancel && self->_settings.cancel())
        return 1;
    ConnectionWatch::Finding finding = ConnectionWatch::Finding::None;
    const bool abort = self->_watch.ShouldAbort(NowUs(), finding);
    self->_Report(finding);
    return abort ? 1 : 0;
}

void RTSPConnection::_Report(ConnectionWatch::Finding finding) const
{
    if (finding == ConnectionWatch::Finding::Stalled)
        _Log(int(CameraLogLevel::Warn), "No packet for " + std::to_string(_settings.packetTimeoutMs) + " ms from " + _logUrl);
    else if (finding == ConnectionWatch::Finding::NoSenderReport)
        _Log(int(CameraLogLevel::Warn), "No RTCP sender report within " + std::to_string(_settings.rtcpTimeoutMs) +
                                            " ms from " + _logUrl);
}

bool RTSPConnection::Open(const std::string& url)
{
    _failure = ConnectFailure::Other;
    _openedUs = NowUs();
    _logUrl = UrlForLog(UrlWithCredentials(url, _settings.username, _settings.password));
    _Log(int(CameraLogLevel::Info), "Connecting to " + _logUrl + " over " +
                                        (_settings.streamUsingTCP ? "TCP" : "UDP") + ", media " +
                                        AllowedMediaTypes(_settings.mediaTypes) + ", timeout " +
                                        std::to_string(_settings.packetTimeoutMs) + " ms");
    if (!_OpenInput(url))
        return false;
    if (!_SelectStreams()) {
        _Log(int(CameraLogLevel::Warn), "No video or audio stream at " + _logUrl);
        return false;
    }
    _OpenTimingLog();
    _watch.WatchPackets(NowUs());
    if (!_ProbeVideo())
        return false;
    _PublishInitialInfo();
    _watch.Connected(NowUs());
    _failure = ConnectFailure::None;
    _started = true;
    _reader = std::thread(&RTSPConnection::_ReadLoop, this);

    std::string summary = "Connected to " + _logUrl;
    for (const auto& stream : _streams) {
        const auto& info = *stream->info;
        summary += stream->type == MediaPacket::Video
                       ? ", video " + info.codecName + " " + std::to_string(info.width) + "x" + std::to_string(info.height)
                       : ", audio " + info.codecName + " " + std::to_string(info.sampleRate) + " Hz " +
                             std::to_string(info.channels) + " ch";
    }
    _Log(int(CameraLogLevel::Info), summary);
    return true;
}

bool RTSPConnection::_OpenInput(const std::string& url)
{
    AVFormatContext* context = avformat_alloc_context();
    if (context == nullptr) {
        _Log(int(CameraLogLevel::Error), "Out of memory opening " + _logUrl);
        return false;
    }
    context->interrupt_callback.callback = &RTSPConnection::_InterruptCallback;
    context->interrupt_callback.opaque = this;

    AVDictionary* options = nullptr;
    av_dict_set(&options, "rtsp_transport", _settings.streamUsingTCP ? "tcp" : "udp", 0);
    // Socket timeout in microseconds; it also bounds the TCP connect.
    av_dict_set(&options, "timeout", std::to_string(_timeoutUs).c_str(), 0);
    av_dict_set(&options, "allowed_media_types", AllowedMediaTypes(_settings.mediaTypes).c_str(), 0);

    _watch.SetDeadline(NowUs() + _timeoutUs);
    const std::string openUrl = UrlWithCredentials(url, _settings.username, _settings.password);
    const int result = avformat_open_input(&context, openUrl.c_str(), nullptr, &options);
    const bool timedOut = _watch.DeadlinePassed(NowUs());
    _watch.SetDeadline(0);

    // FFmpeg silently keeps options it does not know (a failed open keeps
    // them all); a renamed option would otherwise quietly stop working.
    const AVDictionaryEntry* entry = nullptr;
    while (result >= 0 && (entry = av_dict_get(options, "", entry, AV_DICT_IGNORE_SUFFIX)) != nullptr)
        _Log(int(CameraLogLevel::Warn), std::string("Option not recognised by the RTSP demuxer: ") + entry->key);
    av_dict_free(&options);

    if (result < 0) {
        // Told apart from an unreachable camera: the user has to fix the
        // credentials, not the network. The reason never quotes them.
        const bool refused = result == AVERROR_HTTP_UNAUTHORIZED || result == AVERROR_HTTP_FORBIDDEN;
        if (refused)
            _failure = ConnectFailure::AuthorizationFailed;
        else if (timedOut)
            _failure = ConnectFailure::TimedOut;
        else if (result == AVERROR(ECONNREFUSED))
            _failure = ConnectFailure::ConnectionRefused;
        const std::string reason = _watch.Interrupted() ? "closed while connecting"
                                   : refused            ? "authorization failed"
                                   : timedOut ? "no answer within " + std::to_string(_settings.packetTimeoutMs) + " ms"
                                              : ErrorText(result);
        _Log(int(CameraLogLevel::Warn), "Cannot open " + _logUrl + ": " + reason);
        return false; // FFmpeg freed the context
    }
    _input.reset(context);
    return true;
}

bool RTSPConnection::_SelectStreams()
{
    bool haveVideo = false;
    bool haveAudio = false;
    for (unsigned i = 0; i < _input->nb_streams; ++i) {
        AVStream* stream = _input->streams[i];
        const AVMediaType kind = stream->codecpar->codec_type;
        if (kind == AVMEDIA_TYPE_VIDEO && !haveVideo && Wanted(_settings.mediaTypes, MediaPacket::Video)) {
            haveVideo = true;
            _streams.push_back(std::make_unique<CameraStream>(*stream, MediaPacket::Video, _settings.enableTimeFilter));
        } else if (kind == AVMEDIA_TYPE_AUDIO && !haveAudio && Wanted(_settings.mediaTypes, MediaPacket::Audio)) {
            haveAudio = true;
            _streams.push_back(std::make_unique<CameraStream>(*stream, MediaPacket::Audio, _settings.enableTimeFilter));
        } else {
            stream->discard = AVDISCARD_ALL;
        }
    }
    return !_streams.empty();
}

// The SDP rarely carries the picture size; read until the first video packet
// tells it, so the description handed out after Connect is complete.
bool RTSPConnection::_ProbeVideo()
{
    CameraStream* video = nullptr;
    for (auto& stream : _streams)
        if (stream->type == MediaPacket::Video)
            video = stream.get();
    if (video == nullptr || video->PictureKnown())
        return true;
    const int64_t probeEnd = NowUs() + std::min(_timeoutUs, kMaxProbeUs);
    while (!video->PictureKnown() && !video->sawKey && NowUs() < probeEnd) {
        const int result = _ReadOne();
        if (result == AVERROR(EAGAIN)) {
            av_usleep(5000);
            continue;
        }
        if (result < 0) {
            const std::string reason = _watch.Interrupted() ? "closed while connecting"
                                       : _watch.Stalled()     ? "no media within " + std::to_string(_settings.packetTimeoutMs) + " ms"
                                                   : ErrorText(result);
            _Log(int(CameraLogLevel::Warn), "Cannot read from " + _logUrl + ": " + reason);
            return false;
        }
    }
    if (!video->PictureKnown())
        _Log(int(CameraLogLevel::Info), "Picture size of " + _logUrl + " not known yet");
    return true;
}

void RTSPConnection::_PublishInitialInfo()
{
    std::lock_guard lock(_queueMutex);
    for (auto& stream : _streams) {
        // The first queued packet's configuration, so that packet does not
        // look like a change.
        std::shared_ptr<const MediaInfoStruct> info = stream->info;
        for (const auto& entry : _queue) {
            if (entry.packet->mediaType == stream->type) {
                info = entry.info;
                break;
            }
        }
        if (info->configId == stream->info->configId)
            info = stream->info; // the same configuration, maybe with its size found meanwhile
        const int slot = _Slot(stream->type);
        _published[slot] = info;
        _deliveredConfig[slot] = info->configId;
    }
}

void RTSPConnection::_ReadLoop()
{
    int result = 0;
    while (!_watch.Interrupted()) {
        result = _ReadOne();
        if (result == AVERROR(EAGAIN)) {
            av_usleep(5000);
            continue;
        }
        if (result < 0)
            break;
    }
    _ended = true;
    if (_changed)
        _changed();
    if (_watch.Interrupted())
        return;
    const std::string reason = _watch.Stalled()                  ? "no packet for " + std::to_string(_settings.packetTimeoutMs) + " ms"
                               : result == AVERROR_EOF ? "the camera ended the session"
                                                       : ErrorText(result);
    _Log(int(CameraLogLevel::Warn), "Stream from " + _logUrl + " stopped: " + reason);
}

int RTSPConnection::_ReadOne()
{
    CameraPacketPtr packet(av_packet_alloc());
    if (!packet)
        return AVERROR(ENOMEM);
    const int result = av_read_frame(_input.get(), packet.get());
    if (result < 0)
        return result;
    // A read that timed out may still hand back a frame the parser held;
    // it says nothing about the camera being alive.
    if (_watch.Stalled() || _watch.Interrupted())
        return AVERROR_EXIT;
    const int64_t now = NowUs();
    _watch.PacketArrived(now);
    _HandlePacket(std::move(packet), now);
    return 0;
}

CameraStream* RTSPConnection::_StreamOf(int index)
{
    for (auto& stream : _streams)
        if (stream->index == index)
            return stream.get();
    return nullptr;
}

void RTSPConnection::_HandlePacket(CameraPacketPtr packet, int64_t receivedUs)
{
    CameraStream* stream = _StreamOf(packet->stream_index);
    if (stream == nullptr)
        return;
    const std::string change = stream->TrackConfiguration(*packet);
    if (!change.empty())
        _Log(int(CameraLogLevel::Info), change);
    // When the camera goes away between an access unit's delimiter and its
    // first slice, FFmpeg's parser hands back the delimiter alone: written
    // out, that is an access unit without a picture and a damaged file.
    if (!HasPicture(stream->codecId, packet->data, std::size_t(packet->size))) {
        _Log(int(CameraLogLevel::Debug), "A video packet of " + std::to_string(packet->size) +
                                             " bytes without a picture is left out");
        return;
    }
    if (stream->IsKey(*packet))
        packet->flags |= AV_PKT_FLAG_KEY;
    else
        packet->flags &= ~AV_PKT_FLAG_KEY;
    if (IsCleanKey(*packet))
        stream->sawKey = true;
    for (PlacedPacket& placed : stream->Place(std::move(packet), receivedUs))
        _Emit(*stream, std::move(placed));
}

void RTSPConnection::_Emit(CameraStream& stream, PlacedPacket placed)
{
    const int64_t timestamp = placed.timestamp;
    const int64_t receivedUs = placed.receivedUs;
    auto info = std::move(placed.info);
    stream.emittedAny = true;
    auto record = std::make_shared<MediaPacketStruct>();
    AVPacket* raw = placed.packet.release();
    record->storage = std::shared_ptr<const AVPacket>(raw, CameraPacketDeleter{});
    record->data = raw->data;
    record->size = raw->size;
    record->streamIndex = raw->stream_index;
    record->mediaType = stream.type;
    record->frameType = IsCleanKey(*raw) ? MediaPacket::KeyFrame : MediaPacket::OtherFrame;
    record->configId = info->configId;

    const int64_t senderReportBase = _input->start_time_realtime;
    if (HasSenderReportBase(senderReportBase) && _watch.SenderReportArrived())
        _Log(int(CameraLogLevel::Info), "First RTCP sender report " +
                                            std::to_string((receivedUs - _openedUs) / 1000) +
                                            " ms after connecting");
    int64_t producerTime = -1;
    std::size_t sideSize = 0;
    const uint8_t* side = av_packet_get_side_data(raw, AV_PKT_DATA_PRFT, &sideSize);
    if (side != nullptr && sideSize >= sizeof(AVProducerReferenceTime))
        producerTime = reinterpret_cast<const AVProducerReferenceTime*>(side)->wallclock;
    // An interpolated timestamp is still good enough to carry the filter.
    WallTime wall = stream.clock.Estimate(timestamp, true, receivedUs, senderReportBase, producerTime);
    const double latencyMs = stream.type == MediaPacket::Video ? _settings.videoLatencyMs : _settings.audioLatencyMs;
    wall.microseconds += static_cast<int64_t>((_settings.syncShiftMs - latencyMs) * 1000.0);

    auto timing = std::make_shared<TimingDataStruct>();
    timing->timestamp = timestamp;
    timing->timestampEstimated = placed.estimated;
    timing->pcTimeUTC = wall.microseconds * 10;
    timing->trustIndex = wall.trust;
    timing->receivedUTC = receivedUs * 10;
    record->timing = std::move(timing);

    _WriteTimingLog(*record);
    _Enqueue({std::move(record), std::move(info)});
}

void RTSPConnection::_Enqueue(QueueEntry entry)
{
    {
        std::lock_guard lock(_queueMutex);
        _EnqueueLocked(std::move(entry));
    }
    if (_changed)
        _changed();
}

void RTSPConnection::_EnqueueLocked(QueueEntry entry)
{
    const std::size_t capacity = std::max<std::size_t>(_settings.maxQueuedPackets, 1);
    while (_queue.size() >= capacity) {
        _queue.pop_front();
        ++_dropped;
        if (_dropped == 1 || _dropped % 100 == 0)
            _Log(int(CameraLogLevel::Warn), "Packet queue full, dropped the oldest packet (" +
                                                std::to_string(_dropped) + " so far)");
    }
    _queue.push_back(std::move(entry));
}

bool RTSPConnection::HasPacket() const
{
    std::lock_guard lock(_queueMutex);
    return !_queue.empty();
}

std::shared_ptr<MediaPacketStruct> RTSPConnection::Pop()
{
    std::lock_guard lock(_queueMutex);
    if (_queue.empty())
        return nullptr;
    QueueEntry entry = std::move(_queue.front());
    _queue.pop_front();
    // Decided here rather than on arrival, so a change still shows when the
    // packet that brought it was dropped from a full queue.
    const int slot = _Slot(entry.packet->mediaType);
    if (entry.info->configId != _deliveredConfig[slot]) {
        entry.packet->codecChanged = true;
        _deliveredConfig[slot] = entry.info->configId;
        _published[slot] = entry.info;
    }
    return std::move(entry.packet);
}

std::unique_ptr<MediaInfoStruct> RTSPConnection::Info(MediaPacket::MediaType type) const
{
    std::lock_guard lock(_queueMutex);
    const auto& info = _published[_Slot(type)];
    return info ? std::make_unique<MediaInfoStruct>(*info) : nullptr;
}

bool RTSPConnection::IsRunning()
{
    if (!_started || _ended)
        return false;
    ConnectionWatch::Finding finding = ConnectionWatch::Finding::None;
    const bool healthy = _watch.Healthy(NowUs(), finding);
    _Report(finding);
    return healthy;
}

void RTSPConnection::Shutdown()
{
    std::lock_guard lock(_shutdownMutex);
    Interrupt();
    if (_reader.joinable())
        _reader.join();
    if (_input) {
        // Reading is over; give the TEARDOWN a short chance to leave so the
        // camera frees the session at once instead of at its own timeout.
        _watch.BeginTeardown(NowUs() + std::min(_timeoutUs, kTeardownUs));
        _input.reset();
    }
    _streams.clear();
    {
        std::lock_guard queueLock(_queueMutex);
        _queue.clear();
        _published = {};
    }
    if (_timingLog.is_open())
        _timingLog.close();
}

void RTSPConnection::_OpenTimingLog()
{
    if (!_settings.createTimingLog)
        return;
    static std::atomic<unsigned> counter{0};
    std::string folder = _settings.timingLogFolder.empty() ? "." : _settings.timingLogFolder;
    const std::string path = folder + "/rtsp-timing-" + TimestampForFileName() + "-" + std::to_string(++counter) + ".csv";
    _timingLog.open(path);
    if (!_timingLog) {
        _Log(int(CameraLogLevel::Warn), "Cannot write the timing log " + path);
        return;
    }
    _timingLog << "media,configId,key,timestamp,estimated,pcTimeUTC,receivedUTC,trustIndex,size\n";
    _Log(int(CameraLogLevel::Info), "Timing log " + path);
}

void RTSPConnection::_WriteTimingLog(const MediaPacketStruct& packet)
{
    if (!_timingLog.is_open())
        return;
    const TimingDataStruct& t = *packet.timing;
    _timingLog << (packet.mediaType == MediaPacket::Video ? "video" : "audio") << ',' << packet.configId << ','
               << int(packet.frameType) << ',' << t.timestamp << ',' << int(t.timestampEstimated) << ','
               << t.pcTimeUTC << ',' << t.receivedUTC << ',' << int(t.trustIndex) << ',' << packet.size << '\n';
}

} // namespace Quillet
