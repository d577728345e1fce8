#include "source/CameraCodecMap.h"

#include <algorithm>
#include <iterator>
#include <new>
#include <stdexcept>

#include "core/WireNumbering.h"

namespace Quillet {
namespace {

// Sampling frequencies by their AudioSpecificConfig index.
constexpr int kAacSampleRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
constexpr int kAacNoRateIndex = 16;

bool Carried(AVCodecID id)
{
    try {
        Wire::ToWireCodecId(id);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace

AVCodecID CameraVideoCodecId(MediaPacket::Codec codec)
{
    switch (codec) {
    case MediaPacket::H264:
    case MediaPacket::H264Alias: return AV_CODEC_ID_H264;
    case MediaPacket::MPEG4: return AV_CODEC_ID_MPEG4;
    case MediaPacket::MJPEG:
    case MediaPacket::JPEG: return AV_CODEC_ID_MJPEG;
    case MediaPacket::HEVC: return AV_CODEC_ID_HEVC;
    default: return AV_CODEC_ID_NONE;
    }
}

AVCodecID CameraAudioCodecId(MediaPacket::Codec codec)
{
    switch (codec) {
    case MediaPacket::PCMU: return AV_CODEC_ID_PCM_MULAW;
    case MediaPacket::PCMA: return AV_CODEC_ID_PCM_ALAW;
    case MediaPacket::G726: return AV_CODEC_ID_ADPCM_G726;
    case MediaPacket::AAC: return AV_CODEC_ID_AAC;
    case MediaPacket::OPUS: return AV_CODEC_ID_OPUS;
    case MediaPacket::G722: return AV_CODEC_ID_ADPCM_G722;
    case MediaPacket::AACLATM: return AV_CODEC_ID_AAC_LATM;
    default: return AV_CODEC_ID_NONE;
    }
}

::AVPixelFormat CameraPixelFormat(MediaPacket::AVPixelFormat format)
{
    switch (format) {
    case MediaPacket::YUV422: return AV_PIX_FMT_YUV422P;
    case MediaPacket::YUV444: return AV_PIX_FMT_YUV444P;
    case MediaPacket::Gray8: return AV_PIX_FMT_GRAY8;
    default: return AV_PIX_FMT_YUV420P;
    }
}

std::string CameraCodecRefusal(AVCodecID id, const MediaInfoStruct& info, bool video)
{
    if (id != AV_CODEC_ID_NONE && Carried(id))
        return {};
    std::string name = id != AV_CODEC_ID_NONE ? avcodec_get_name(id) : info.codecName;
    if (name.empty())
        name = "with camera code " + std::to_string(static_cast<int>(info.codec));
    return std::string("Unsupported camera ") + (video ? "video" : "audio") + " codec " + name;
}

bool HasInterPictures(AVCodecID id)
{
    return id == AV_CODEC_ID_H264 || id == AV_CODEC_ID_HEVC || id == AV_CODEC_ID_MPEG4;
}

bool FillAacConfig(AVCodecContext* context)
{
    const auto* begin = std::begin(kAacSampleRates);
    const auto* found = std::find(begin, std::end(kAacSampleRates), context->sample_rate);
    const bool known = found != std::end(kAacSampleRates);
    const int index = known ? static_cast<int>(found - begin) : kAacNoRateIndex;
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
    return known;
}

} // namespace Quillet
