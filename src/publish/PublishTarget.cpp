#include "publish/PublishTarget.h"

#include <cstdlib>
#include <stdexcept>

#include "core/UrlForLog.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avio.h>
}

namespace Quillet {
namespace {

bool StartsWith(const std::string& s, const char* prefix)
{
    return s.rfind(prefix, 0) == 0;
}

bool IsPlaylistPath(const std::string& path)
{
    const std::string suffix = ".m3u8";
    return path.size() > suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void ReadHlsOption(PublishTarget& target, const std::string& key, const std::string& value)
{
    char* end = nullptr;
    if (key == "segments" && (value == "ts" || value == "fmp4")) {
        target.fmp4Segments = value == "fmp4";
    } else if (key == "window") {
        const long n = std::strtol(value.c_str(), &end, 10);
        if (end == value.c_str() || *end != '\0' || n < 1 || n > 1000)
            throw std::invalid_argument("HLS window must be 1..1000 segments: " + value);
        target.window = static_cast<int>(n);
    } else if (key == "time") {
        const double s = std::strtod(value.c_str(), &end);
        if (end == value.c_str() || *end != '\0' || !(s >= 0.1 && s <= 60.0))
            throw std::invalid_argument("HLS segment time must be 0.1..60 seconds: " + value);
        target.segmentSeconds = s;
    } else {
        throw std::invalid_argument("Unknown HLS option: " + key + "=" + value);
    }
}

void ReadHlsOptions(PublishTarget& target, const std::string& query)
{
    size_t start = 0;
    while (start < query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string::npos)
            end = query.size();
        const std::string pair = query.substr(start, end - start);
        const size_t eq = pair.find('=');
        if (eq == std::string::npos)
            throw std::invalid_argument("HLS option without a value: " + pair);
        ReadHlsOption(target, pair.substr(0, eq), pair.substr(eq + 1));
        start = end + 1;
    }
}

const char* CodecName(AVCodecID id)
{
    const char* name = avcodec_get_name(id);
    return name ? name : "unknown";
}

} // namespace

PublishTarget PublishTarget::FromUrl(const std::string& url)
{
    PublishTarget target;
    target.url = url;
    target.address = url;
    if (StartsWith(url, "rtsp://")) {
        target.protocol = PublishProtocol::Rtsp;
    } else if (StartsWith(url, "rtmp://")) {
        target.protocol = PublishProtocol::Rtmp;
    } else if (StartsWith(url, "srt://")) {
        if (!SrtAvailable())
            throw std::invalid_argument("This FFmpeg build has no SRT support: " + UrlForLog(url));
        target.protocol = PublishProtocol::Srt;
    } else {
        const size_t query = url.find('?');
        const std::string path = url.substr(0, query);
        if (path.find("://") != std::string::npos || !IsPlaylistPath(path))
            throw std::invalid_argument("Cannot publish to " + UrlForLog(url) +
                                        ": expected rtsp://, rtmp://, srt:// or a .m3u8 playlist path");
        target.protocol = PublishProtocol::Hls;
        target.address = path;
        if (query != std::string::npos)
            ReadHlsOptions(target, url.substr(query + 1));
    }
    return target;
}

const char* PublishTarget::MuxerName() const
{
    switch (protocol) {
    case PublishProtocol::Rtsp:
        return "rtsp";
    case PublishProtocol::Rtmp:
        return "flv";
    case PublishProtocol::Srt:
        return "mpegts";
    case PublishProtocol::Hls:
        return "hls";
    }
    return "mpegts";
}

const char* PublishTarget::ContainerName() const
{
    if (protocol == PublishProtocol::Hls)
        return fmp4Segments ? "mp4" : "mpegts";
    return MuxerName();
}

void PublishTarget::CheckCodecs(const FFAVCodec& codec) const
{
    if (!codec.video || !codec.video->Context())
        throw std::invalid_argument("Nothing to publish to " + UrlForLog(url) + ": the source has no video");
    if (protocol != PublishProtocol::Rtmp)
        return;
    const AVCodecID video = codec.video->Context()->codec_id;
    if (video != AV_CODEC_ID_H264)
        throw std::invalid_argument(std::string("RTMP carries H.264 video only, the source sends ") +
                                    CodecName(video) + ": " + UrlForLog(url));
    if (codec.audio && codec.audio->Context() && codec.audio->Context()->codec_id != AV_CODEC_ID_AAC)
        throw std::invalid_argument(std::string("RTMP carries AAC audio only, the source sends ") +
                                    CodecName(codec.audio->Context()->codec_id) + ": " + UrlForLog(url));
}

bool SrtAvailable()
{
    static const bool available = [] {
        void* opaque = nullptr;
        while (const char* name = avio_enum_protocols(&opaque, 1))
            if (std::string(name) == "srt")
                return true;
        return false;
    }();
    return available;
}

} // namespace Quillet
