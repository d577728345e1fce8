#include "camera/CameraStream.h"

#include <algorithm>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/mathematics.h>
}

#include "camera/CameraCodes.h"

namespace Quillet {
namespace {

constexpr int kMaxSizeParses = 50;          // give up on sizes the parser cannot find
constexpr int64_t kDefaultFrameUs = 40'000; // until two timestamps show the real spacing

// What FFmpeg's parser learns about the picture from the configuration and
// one packet: enough to describe a stream whose SDP carries no size, and to
// follow a camera that switches resolution in-band.
// A JPEG picture's size is in its start-of-frame segment; FFmpeg's parser
// does not report it.
PictureFacts JpegPicture(const AVPacket& packet)
{
    PictureFacts facts;
    const uint8_t* d = packet.data;
    for (int i = 0; i + 9 < packet.size; ++i) {
        if (d[i] != 0xFF || d[i + 1] < 0xC0 || d[i + 1] > 0xC3)
            continue;
        facts.height = (d[i + 5] << 8) | d[i + 6];
        facts.width = (d[i + 7] << 8) | d[i + 8];
        // The first component's sampling factors tell 4:2:2 from 4:2:0.
        facts.format = i + 11 < packet.size && d[i + 11] == 0x21 ? AV_PIX_FMT_YUVJ422P : AV_PIX_FMT_YUVJ420P;
        break;
    }
    return facts;
}

PictureFacts ParsePicture(AVCodecID codec, const std::vector<uint8_t>& extradata, const AVPacket& packet)
{
    PictureFacts facts;
    if (codec == AV_CODEC_ID_MJPEG)
        return JpegPicture(packet);
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

} // namespace

CameraStream::CameraStream(int streamIndex, const MediaFacts& facts, MediaPacket::MediaType mediaType,
                           bool filterTimes)
    : index(streamIndex), type(mediaType), codecId(facts.codec), timeBase(AVRational{1, std::max(facts.clockRate, 1)}),
      clock(timeBase, filterTimes), _facts(facts), _frameRate(facts.frameRate)
{
    _frameDuration = std::max<int64_t>(1, av_rescale_q(kDefaultFrameUs, AVRational{1, 1000000}, timeBase));
    _extradata = facts.extradata;
    _sets = FindParameterSets(codecId, _extradata.data(), _extradata.size());
    info = Describe();
}

std::shared_ptr<const MediaInfoStruct> CameraStream::Describe() const
{
    auto description = std::make_shared<MediaInfoStruct>();
    description->streamIndex = index;
    description->codec = CameraCodecOf(codecId);
    description->codecName = avcodec_get_name(codecId);
    description->clockRate = timeBase.num > 0 ? static_cast<int32_t>(timeBase.den / timeBase.num) : 0;
    description->extradata = _extradata;
    description->configId = _configId;
    if (type == MediaPacket::Video) {
        description->width = _picture.width;
        description->height = _picture.height;
        description->pixelFormat = CameraPixelFormatOf(_picture.format);
        description->frameRate = _frameRate;
        return description;
    }
    description->width = 0;
    description->height = 0;
    description->channels = _facts.channels;
    description->sampleRate = _facts.sampleRate;
    const int64_t bitRate = int64_t(_facts.bitsPerCodedSample) * _facts.sampleRate * std::max(1, description->channels);
    description->bitRateKbps = static_cast<int32_t>(bitRate / 1000);
    return description;
}

bool CameraStream::IsKey(const AVPacket& packet) const
{
    if (codecId == AV_CODEC_ID_HEVC || codecId == AV_CODEC_ID_H264)
        return HasKeyPicture(codecId, packet.data, std::size_t(packet.size));
    return (packet.flags & AV_PKT_FLAG_KEY) != 0;
}

std::string CameraStream::TrackConfiguration(const AVPacket& packet)
{
    bool changed = false;
    std::size_t sideSize = 0;
    const uint8_t* side = av_packet_get_side_data(&packet, AV_PKT_DATA_NEW_EXTRADATA, &sideSize);
    if (side != nullptr && sideSize > 0) {
        std::vector<uint8_t> extradata(side, side + sideSize);
        if (extradata != _extradata) {
            _extradata = std::move(extradata);
            _sets = FindParameterSets(codecId, _extradata.data(), _extradata.size());
            changed = true;
        }
    }
    if (HasParameterSets(codecId)) {
        const ParameterSets found = FindParameterSets(codecId, packet.data, std::size_t(packet.size));
        if (!found.Empty()) {
            ParameterSets merged = MergeParameterSets(_sets, found);
            if (merged != _sets) {
                // Sets first seen in-band complete the first configuration
                // rather than start a new one, as long as nothing went out.
                changed = changed || !(_sets.Empty() && !emittedAny);
                _sets = std::move(merged);
                _extradata = _sets.ToAnnexB();
                if (!changed)
                    info = Describe();
            }
        }
    }

    if (changed) {
        ++_configId;
        if (type == MediaPacket::Audio) {
            info = Describe();
            return "Audio configuration " + std::to_string(_configId);
        }
        _picture = ParsePicture(codecId, _extradata, packet);
        _sizeParses = 0;
        info = Describe();
        return "Video configuration " + std::to_string(_configId) + ": " + std::to_string(_picture.width) + "x" +
               std::to_string(_picture.height);
    }
    if (type == MediaPacket::Video && !PictureKnown() && _sizeParses < kMaxSizeParses) {
        ++_sizeParses;
        const PictureFacts facts = ParsePicture(codecId, _extradata, packet);
        if (facts.width > 0 && facts.height > 0) {
            _picture = facts;
            info = Describe();
        }
    }
    return {};
}

std::vector<PlacedPacket> CameraStream::Place(CameraPacketPtr packet, int64_t receivedUs)
{
    std::vector<PlacedPacket> ready;
    const int64_t timestamp = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (timestamp != AV_NOPTS_VALUE) {
        if (_held.packet) {
            _held.timestamp = timestamp - _frameDuration;
            ready.push_back(std::move(_held));
            _held = {};
        }
        if (_hasLastTimestamp) {
            const int64_t step = timestamp - _lastTimestamp;
            if (step > 0 && step < av_rescale_q(1, AVRational{1, 1}, timeBase))
                _frameDuration = step;
        }
        _lastTimestamp = timestamp;
        _hasLastTimestamp = true;
        ready.push_back({std::move(packet), timestamp, false, receivedUs, info});
        return ready;
    }
    // No time at all (the first video packet after connecting never has
    // one): place it one frame after the previous packet, or hold it until
    // the next packet shows where it belongs.
    if (!_hasLastTimestamp && !_held.packet) {
        _held = {std::move(packet), 0, true, receivedUs, info};
        return ready;
    }
    if (_held.packet) {
        _held.timestamp = 0;
        ready.push_back(std::move(_held));
        _held = {};
        _lastTimestamp = 0;
        _hasLastTimestamp = true;
    }
    _lastTimestamp += _frameDuration;
    ready.push_back({std::move(packet), _lastTimestamp, true, receivedUs, info});
    return ready;
}

} // namespace Quillet
