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

namespace Quillet {
namespace {

constexpr int64_t kMaxProbeUs = 3'000'000;     // longest wait for the first picture's size
constexpr int64_t kTeardownUs = 500'000;       // time allowed to say goodbye to the camera
constexpr int kMaxSizeParses = 50;             // give up on sizes the parser cannot find
constexpr int64_t kDefaultFrameUs = 40'000;    // until two timestamps show the real spacing

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

struct PictureFacts {
    int width = 0;
    int height = 0;
    ::AVPixelFormat format = AV_PIX_FMT_NONE;
};

// What FFmpeg's parser learns about the picture from the configuration and
// one packet: enough to describe a stream whose SDP carries no size, and to
// follow a camera that switches resolution in-band.
PictureFacts ParsePicture(AVCodecID codec, const std::vector<uint8_t>& extradata, const AVPacket& packet)
{
    PictureFacts facts;
    AVCodecParserContext* parser = av_parser_init(codec);
    if (parser == nullptr)
        return facts;
    AVCodecContext* context = avcodec_alloc_context3(nullptr);
    if (context != nullptr) {
        context->codec_type = AVMEDIA_TYPE_VIDEO;
        context->codec_id = codec;
        if (!extradata.empty()) {
            context->extradata = static_cast<uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
            if (context->extradata != nullptr) {
                std::copy(extradata.begin(), extradata.end(), context->extradata);
                context->extradata_size = static_cast<int>(extradata.size());
            }
        }
        parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
        uint8_t* out = nullptr;
        int outSize = 0;
        av_parser_parse2(parser, context, &out, &outSize, packet.data, packet.size, AV_NOPTS_VALUE,
                         AV_NOPTS_VALUE, 0);
        facts.width = parser->width > 0 ? parser->width : context->width;
        facts.height = parser->height > 0 ? parser->height : context->height;
        facts.format = static_cast<::AVPixelFormat>(parser->format);
        avcodec_free_context(&context);
    }
    av_parser_close(parser);
    return facts;
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

struct RTSPConnection::Stream {
    Stream(const AVStream& stream, MediaPacket::MediaType mediaType, bool filterTimes)
        : index(stream.index), type(mediaType), codecId(stream.codecpar->codec_id), timeBase(stream.time_base),
          parameters(stream.codecpar), frameRate(av_q2d(stream.avg_frame_rate.num > 0 ? stream.avg_frame_rate
                                                                                      : stream.r_frame_rate)),
          clock(stream.time_base, filterTimes)
    {
        frameDuration = std::max<int64_t>(1, av_rescale_q(kDefaultFrameUs, AVRational{1, 1000000}, timeBase));
        if (parameters->extradata_size > 0)
            extradata.assign(parameters->extradata, parameters->extradata + parameters->extradata_size);
        sets = FindParameterSets(codecId, extradata.data(), extradata.size());
        if (parameters->width > 0 && parameters->height > 0)
            picture = {parameters->width, parameters->height, static_cast<::AVPixelFormat>(parameters->format)};
    }

    std::shared_ptr<const MediaInfoStruct> Describe() const
    {
        auto info = std::make_shared<MediaInfoStruct>();
        info->streamIndex = index;
        info->codec = CameraCodecOf(codecId);
        info->codecName = avcodec_get_name(codecId);
        info->clockRate = timeBase.num > 0 ? static_cast<int32_t>(timeBase.den / timeBase.num) : 0;
        info->extradata = extradata;
        info->configId = configId;
        if (type == MediaPacket::Video) {
            info->width = picture.width;
            info->height = picture.height;
            const auto format = picture.format != AV_PIX_FMT_NONE ? picture.format
                                                                  : static_cast<::AVPixelFormat>(parameters->format);
            info->pixelFormat = CameraPixelFormatOf(format);
            info->frameRate = frameRate;
        } else {
            info->width = 0;
            info->height = 0;
            info->channels = parameters->ch_layout.nb_channels;
            info->sampleRate = parameters->sample_rate;
            int64_t bitRate = parameters->bit_rate;
            if (bitRate <= 0 && parameters->bits_per_coded_sample > 0)
                bitRate = int64_t(parameters->bits_per_coded_sample) * parameters->sample_rate * std::max(1, info->channels);
            info->bitRateKbps = static_cast<int32_t>(bitRate / 1000);
        }
        return info;
    }

    bool PictureKnown() const { return picture.width > 0 && picture.height > 0; }

    int index;
    MediaPacket::MediaType type;
    AVCodecID codecId;
    AVRational timeBase;
    const AVCodecParameters* parameters;
    double frameRate;
    PacketClock clock;
    int64_t frameDuration = 1;

    int32_t configId = 1;
    std::vector<uint8_t> extradata;
    ParameterSets sets;
    PictureFacts picture;
    std::shared_ptr<const MediaInfoStruct> info;
    int sizeParses = 0;
    bool sawKey = false;
    bool emittedAny = false;

    bool hasLastTimestamp = false;
    int64_t lastTimestamp = 0;
    // A packet without any timestamp that waits for the next one to place it.
    PacketPtr held;
    int64_t heldReceivedUs = 0;
    std::shared_ptr<const MediaInfoStruct> heldInfo;
};

void RTSPConnection::FormatDeleter::operator()(AVFormatContext* context) const
{
    avformat_close_input(&context);
}

void RTSPConnection::PacketDeleter::operator()(AVPacket* packet) const
{
    av_packet_free(&packet);
}

RTSPConnection::RTSPConnection(RTSPSourceSettings settings)
    : _settings(std::move(settings)),
      _timeoutUs(int64_t(std::max(_settings.packetTimeoutMs, 1)) * 1000)
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
    return static_cast<RTSPConnection*>(opaque)->_ShouldAbort();
}

int RTSPConnection::_ShouldAbort()
{
    const int64_t now = NowUs();
    const int64_t deadline = _deadlineUs.load();
    if (_tearingDown)
        return now > deadline ? 1 : 0;
    if (_interrupted)
        return 1;
    if (deadline != 0 && now > deadline)
        return 1;
    if (_stalled)
        return 1;
    if (_watchStall && now - _lastPacketUs.load() > _timeoutUs) {
        if (!_stalled.exchange(true))
            _Log(int(CameraLogLevel::Warn),
                 "No packet for " + std::to_string(_settings.packetTimeoutMs) + " ms from " + _logUrl);
        return 1;
    }
    return 0;
}

void RTSPConnection::Interrupt()
{
    _interrupted = true;
}

bool RTSPConnection::Open(const std::string& url)
{
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
    _lastPacketUs = NowUs();
    _watchStall = true;
    if (!_ProbeVideo())
        return false;
    _PublishInitialInfo();
    _connectedUs = NowUs();
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

    _deadlineUs = NowUs() + _timeoutUs;
    const std::string openUrl = UrlWithCredentials(url, _settings.username, _settings.password);
    const int result = avformat_open_input(&context, openUrl.c_str(), nullptr, &options);
    const bool timedOut = NowUs() > _deadlineUs.load();
    _deadlineUs = 0;

    // FFmpeg silently keeps options it does not know (a failed open keeps
    // them all); a renamed option would otherwise quietly stop working.
    const AVDictionaryEntry* entry = nullptr;
    while (result >= 0 && (entry = av_dict_get(options, "", entry, AV_DICT_IGNORE_SUFFIX)) != nullptr)
        _Log(int(CameraLogLevel::Warn), std::string("Option not recognised by the RTSP demuxer: ") + entry->key);
    av_dict_free(&options);

    if (result < 0) {
        const std::string reason = _interrupted ? "closed while connecting"
                                   : timedOut  ? "no answer within " + std::to_string(_settings.packetTimeoutMs) + " ms"
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
            _streams.push_back(std::make_unique<Stream>(*stream, MediaPacket::Video, _settings.enableTimeFilter));
        } else if (kind == AVMEDIA_TYPE_AUDIO && !haveAudio && Wanted(_settings.mediaTypes, MediaPacket::Audio)) {
            haveAudio = true;
            _streams.push_back(std::make_unique<Stream>(*stream, MediaPacket::Audio, _settings.enableTimeFilter));
        } else {
            stream->discard = AVDISCARD_ALL;
        }
    }
    for (auto& stream : _streams)
        stream->info = stream->Describe();
    return !_streams.empty();
}

// The SDP rarely carries the picture size; read until the first video packet
// tells it, so the description handed out after Connect is complete.
bool RTSPConnection::_ProbeVideo()
{
    Stream* video = nullptr;
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
            const std::string reason = _interrupted ? "closed while connecting"
                                       : _stalled  ? "no media within " + std::to_string(_settings.packetTimeoutMs) + " ms"
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
        if (info->configId == stream->configId)
            info = stream->info; // the same configuration, maybe with its size found meanwhile
        const int slot = _Slot(stream->type);
        _published[slot] = info;
        _deliveredConfig[slot] = info->configId;
    }
}

void RTSPConnection::_ReadLoop()
{
    int result = 0;
    while (!_interrupted) {
        result = _ReadOne();
        if (result == AVERROR(EAGAIN)) {
            av_usleep(5000);
            continue;
        }
        if (result < 0)
            break;
    }
    _ended = true;
    if (_interrupted)
        return;
    const std::string reason = _stalled                  ? "no packet for " + std::to_string(_settings.packetTimeoutMs) + " ms"
                               : result == AVERROR_EOF ? "the camera ended the session"
                                                       : ErrorText(result);
    _Log(int(CameraLogLevel::Warn), "Stream from " + _logUrl + " stopped: " + reason);
}

int RTSPConnection::_ReadOne()
{
    PacketPtr packet(av_packet_alloc());
    if (!packet)
        return AVERROR(ENOMEM);
    const int result = av_read_frame(_input.get(), packet.get());
    if (result < 0)
        return result;
    // A read that timed out may still hand back a frame the parser held;
    // it says nothing about the camera being alive.
    if (_stalled || _interrupted)
        return AVERROR_EXIT;
    const int64_t now = NowUs();
    _lastPacketUs = now;
    _HandlePacket(std::move(packet), now);
    return 0;
}

RTSPConnection::Stream* RTSPConnection::_StreamOf(int index)
{
    for (auto& stream : _streams)
        if (stream->index == index)
            return stream.get();
    return nullptr;
}

void RTSPConnection::_HandlePacket(PacketPtr packet, int64_t receivedUs)
{
    Stream* stream = _StreamOf(packet->stream_index);
    if (stream == nullptr)
        return;
    _TrackConfiguration(*stream, *packet);
    if (packet->flags & AV_PKT_FLAG_KEY)
        stream->sawKey = true;
    auto info = stream->info;

    const int64_t timestamp = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (timestamp != AV_NOPTS_VALUE) {
        if (stream->held)
            _Emit(*stream, std::move(stream->held), timestamp - stream->frameDuration, true, stream->heldReceivedUs,
                  std::move(stream->heldInfo));
        if (stream->hasLastTimestamp) {
            const int64_t step = timestamp - stream->lastTimestamp;
            if (step > 0 && step < av_rescale_q(1, AVRational{1, 1}, stream->timeBase))
                stream->frameDuration = step;
        }
        stream->lastTimestamp = timestamp;
        stream->hasLastTimestamp = true;
        _Emit(*stream, std::move(packet), timestamp, false, receivedUs, std::move(info));
        return;
    }
    // No time at all (the first video packet after connecting never has
    // one): place it one frame after the previous packet, or hold it until
    // the next packet shows where it belongs.
    if (!stream->hasLastTimestamp && !stream->held) {
        stream->held = std::move(packet);
        stream->heldReceivedUs = receivedUs;
        stream->heldInfo = std::move(info);
        return;
    }
    if (stream->held) {
        _Emit(*stream, std::move(stream->held), 0, true, stream->heldReceivedUs, std::move(stream->heldInfo));
        stream->lastTimestamp = 0;
        stream->hasLastTimestamp = true;
    }
    stream->lastTimestamp += stream->frameDuration;
    _Emit(*stream, std::move(packet), stream->lastTimestamp, true, receivedUs, std::move(info));
}

void RTSPConnection::_TrackConfiguration(Stream& stream, const AVPacket& packet)
{
    bool changed = false;
    std::size_t sideSize = 0;
    const uint8_t* side = av_packet_get_side_data(&packet, AV_PKT_DATA_NEW_EXTRADATA, &sideSize);
    if (side != nullptr && sideSize > 0) {
        std::vector<uint8_t> extradata(side, side + sideSize);
        if (extradata != stream.extradata) {
            stream.extradata = std::move(extradata);
            stream.sets = FindParameterSets(stream.codecId, stream.extradata.data(), stream.extradata.size());
            changed = true;
        }
    }
    if (HasParameterSets(stream.codecId)) {
        const ParameterSets found = FindParameterSets(stream.codecId, packet.data, std::size_t(packet.size));
        if (!found.Empty()) {
            ParameterSets merged = MergeParameterSets(stream.sets, found);
            if (merged != stream.sets) {
                // Sets first seen in-band complete the first configuration
                // rather than start a new one, as long as nothing went out.
                changed = changed || !(stream.sets.Empty() && !stream.emittedAny);
                stream.sets = std::move(merged);
                stream.extradata = stream.sets.ToAnnexB();
                if (!changed)
                    stream.info = stream.Describe();
            }
        }
    }

    if (stream.type != MediaPacket::Video) {
        if (changed) {
            ++stream.configId;
            stream.info = stream.Describe();
            _Log(int(CameraLogLevel::Info), "Audio configuration " + std::to_string(stream.configId));
        }
        return;
    }
    if (changed) {
        ++stream.configId;
        stream.picture = ParsePicture(stream.codecId, stream.extradata, packet);
        stream.sizeParses = 0;
        stream.info = stream.Describe();
        _Log(int(CameraLogLevel::Info), "Video configuration " + std::to_string(stream.configId) + ": " +
                                            std::to_string(stream.picture.width) + "x" +
                                            std::to_string(stream.picture.height));
        return;
    }
    if (!stream.PictureKnown() && stream.sizeParses < kMaxSizeParses) {
        ++stream.sizeParses;
        const PictureFacts facts = ParsePicture(stream.codecId, stream.extradata, packet);
        if (facts.width > 0 && facts.height > 0) {
            stream.picture = facts;
            stream.info = stream.Describe();
        }
    }
}

void RTSPConnection::_Emit(Stream& stream, PacketPtr packet, int64_t timestamp, bool estimated, int64_t receivedUs,
                           std::shared_ptr<const MediaInfoStruct> info)
{
    stream.emittedAny = true;
    auto record = std::make_shared<MediaPacketStruct>();
    AVPacket* raw = packet.release();
    record->storage = std::shared_ptr<const AVPacket>(raw, PacketDeleter{});
    record->data = raw->data;
    record->size = raw->size;
    record->streamIndex = raw->stream_index;
    record->mediaType = stream.type;
    record->frameType = (raw->flags & AV_PKT_FLAG_KEY) ? MediaPacket::KeyFrame : MediaPacket::OtherFrame;
    record->configId = info->configId;

    const int64_t senderReportBase = _input->start_time_realtime;
    if (HasSenderReportBase(senderReportBase) && !_senderReportSeen.exchange(true))
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
    timing->timestampEstimated = estimated;
    timing->pcTimeUTC = wall.microseconds * 10;
    timing->trustIndex = wall.trust;
    timing->receivedUTC = receivedUs * 10;
    record->timing = std::move(timing);

    _WriteTimingLog(*record);
    _Enqueue({std::move(record), std::move(info)});
}

void RTSPConnection::_Enqueue(QueueEntry entry)
{
    std::lock_guard lock(_queueMutex);
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
    if (!_started || _ended || _stalled || _rtcpMissing)
        return false;
    const int64_t now = NowUs();
    if (now - _lastPacketUs.load() > _timeoutUs) {
        // The reader may sit in a read that has not timed out yet.
        if (!_stalled.exchange(true))
            _Log(int(CameraLogLevel::Warn),
                 "No packet for " + std::to_string(_settings.packetTimeoutMs) + " ms from " + _logUrl);
        return false;
    }
    if (_settings.requireRTCP && !_senderReportSeen && now - _connectedUs > int64_t(_settings.rtcpTimeoutMs) * 1000) {
        if (!_rtcpMissing.exchange(true))
            _Log(int(CameraLogLevel::Warn), "No RTCP sender report within " + std::to_string(_settings.rtcpTimeoutMs) +
                                                " ms from " + _logUrl);
        Interrupt();
        return false;
    }
    return true;
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
        _deadlineUs = NowUs() + std::min(_timeoutUs, kTeardownUs);
        _tearingDown = true;
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
